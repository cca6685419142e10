/* One-way requests between processes over POSIX message queues:
 * libcefrpcclient (client, TLV codec, large-data files) and libcefrpcserver
 * (server, TLV codec). All multi-byte wire fields are little-endian. */
#ifndef CEFRPC_H
#define CEFRPC_H

#include <stdint.h>

#define CEFRPC_API __attribute__((visibility("default")))

/* Nothing unwinds out of these functions into a caller. */
#ifdef __cplusplus
#define CEFRPC_NOEXCEPT noexcept
#else
#define CEFRPC_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Both libraries ------------------------------------------------------ */

/* The version text "1.5.0.3", the whole content of the ELF section
 * "__version". */
CEFRPC_API extern const char version_number[];

/* Builds one five-record message into buffer[0..capacity).
 * code: dispatch code; message_id: handed to the server's callback;
 * name: zero-terminated, at most 65,534 bytes; payload: *length_inout bytes,
 * 1 to 65,535; large: non-zero marks the payload as a large-data path.
 * On success *length_inout receives the total size (37 + name + payload).
 * Returns 0 on success, 1 on a missing argument, an over-long field or a
 * message larger than capacity. Reentrant; writes nothing on failure. */
CEFRPC_API int64_t cefEncodeTLVBuffer(void* buffer, uint64_t capacity, uint32_t code,
                                      uint32_t message_id, const char* name,
                                      const void* payload, uint64_t* length_inout,
                                      uint8_t large) CEFRPC_NOEXCEPT;

/* Parses one message of length bytes. Every output is cleared first; a
 * record that is absent leaves its output cleared. Records are accepted in
 * any order; at most five are read. name_out and payload_out point into
 * buffer (nothing is copied, the name is not checked for a terminator).
 * *large_out is 1 when the message carries a large-data path.
 * Returns 0 on success, 1 on a missing argument or a malformed message.
 * Reentrant. */
CEFRPC_API int64_t cefDecodeTLVBuffer(const void* buffer, uint64_t length, uint32_t* code_out,
                                      uint32_t* message_id_out, const char** name_out,
                                      const void** payload_out, uint64_t* payload_length_out,
                                      uint8_t* large_out) CEFRPC_NOEXCEPT;

/* ---- libcefrpcclient ----------------------------------------------------- */

/* The name of the section holding version_number: "__version". */
CEFRPC_API extern const char* const version_section_string;

/* Writes length bytes of payload to a new file (mode 0600) under
 * "/opt/korvane/desktop/ld" (created 0700 when missing) and puts its path in
 * path_out, which must hold at least 256 bytes. The file is removed again
 * when it cannot be written completely.
 * Returns 0 on success, EINVAL on a missing argument, otherwise the error
 * number. Thread-safe. */
CEFRPC_API int64_t SendLargeData(const void* payload, uint32_t length, char* path_out,
                                 uint32_t path_size) CEFRPC_NOEXCEPT;

/* Reads the regular file at path (a symbolic link is refused) and deletes
 * it. With buffer_inout or *buffer_inout null this is a size query: the file
 * size goes to *size_inout and the file stays. Otherwise *buffer_inout must
 * hold *size_inout bytes; *size_inout receives the file size.
 * Returns 0 on success (and for a null or empty path or null size_inout),
 * -1 when the buffer is too small (the file stays), otherwise the error
 * number. Thread-safe. */
CEFRPC_API int64_t ReceiveLargeData(const char* path, void** buffer_inout,
                                    uint32_t* size_inout) CEFRPC_NOEXCEPT;

/* Connects to the queue "/" + endpoint_name, which the server owns. On
 * success *handle_out receives a non-zero handle, the connection's address
 * (its high word is 0 in the 32-bit build). Release it with CefStopClient.
 * Returns 0; 1 bad input; 2 or 4 out of memory; 3 the queue could not be
 * opened. */
CEFRPC_API int64_t CefStartClient(const char* endpoint_name,
                                  uint64_t* handle_out) CEFRPC_NOEXCEPT;

/* Sends one request: payloads above 6144 bytes travel through a large-data
 * file whose path the message carries. Blocks while the queue is full.
 * Returns 0; 87 a missing argument, zero length or zero handle; 5 the
 * message could not be encoded; 6 it could not be sent; otherwise the error
 * number from SendLargeData. Several threads may send on one handle, but a
 * handle must not be stopped while another thread sends on it. */
CEFRPC_API int64_t CefSendMessage(uint32_t code, uint64_t handle, uint32_t message_id,
                                  const char* name, const void* payload,
                                  uint64_t length) CEFRPC_NOEXCEPT;

/* Closes the connection and frees it; a zero handle is ignored. */
CEFRPC_API void CefStopClient(uint64_t handle) CEFRPC_NOEXCEPT;

/* ---- libcefrpcserver ----------------------------------------------------- */

/* Called on a server's listener thread for each request whose code it is
 * registered under. name and payload are valid only during the call. */
typedef void (*CefServerCallback)(uint32_t message_id, const char* name, uint64_t name_length,
                                  const void* payload, uint64_t payload_length);

/* The library's record of one started server (opaque). */
typedef struct CefServerData CefServerData;

/* Creates (or reuses, when this user owns it, no one else may write it and
 * its messages are 7168 bytes) the queue "/" + endpoint_name and starts its
 * listener thread; the server is listed under code (newest first) before the
 * listener starts. Large-data requests need libcefrpcclient loaded in the
 * process with its symbols visible.
 * Returns 0, or -1 on a missing argument, a queue that cannot be opened or a
 * thread that cannot be started. */
CEFRPC_API int64_t CefStartServer(const char* endpoint_name, int32_t code,
                                  CefServerCallback callback) CEFRPC_NOEXCEPT;

/* Stops the newest server listed under code: its listener ends within about
 * one second plus the callback in progress, the queue is closed and
 * unlinked, the record freed. Must not be called from that server's own
 * callback, nor while requests for code are still being handed out. */
CEFRPC_API void CefStopServer(int32_t code) CEFRPC_NOEXCEPT;

/* The newest server listed under code, or null. The record stays valid
 * until CefStopServer(code). */
CEFRPC_API CefServerData* findServerDataForCRC(int32_t code) CEFRPC_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* CEFRPC_H */
