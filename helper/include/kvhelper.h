/* libkvhelper: the agent service's helper library.
 *
 * D-Bus command server: the service registers one handler per four-letter
 * command code and a sender verifier, then starts the server. The library
 * owns the system-bus connections and one listener thread, which verifies
 * every sender, runs the handlers one at a time and calls the network
 * callbacks. All functions may be called from any thread of the service
 * unless noted. Nothing here throws; strings are NUL-terminated UTF-8. */
#ifndef KVHELPER_H
#define KVHELPER_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KV_EXPORT __attribute__((visibility("default")))

/* Command handler, called on the listener thread. On entry `buffer` holds the
 * request text (NUL-terminated) and *length its length. The handler writes
 * its reply into `buffer` (at most `capacity` bytes) and sets *length to the
 * reply's length without terminator. When the reply does not fit it sets
 * *length to the length it needs (capacity or more) and is called once more
 * with a larger buffer, holding the request again; replies are bounded by
 * 5 MiB - 1 bytes. The buffer belongs to the library. */
typedef void (*KvCommandHandler)(char* buffer, int capacity, int* length);

/* Sender verifier, called on the listener thread with "/proc/<pid>/exe" of
 * the sending process (the link, not resolved); returns true to trust it. */
typedef bool (*KvSenderVerifier)(const char* exe_link_path);

typedef void (*KvNetworkStateChangeFunc)(bool connected);
typedef void (*KvAddressChangeFunc)(void);

/* Starts the server; a null verifier keeps the one stored before.
 * Returns 0 when started, -1 when it failed or is already started. */
KV_EXPORT int KvStartServerLinux(KvSenderVerifier verifier);
KV_EXPORT int StartServer(KvSenderVerifier verifier);

/* Stops the listener (within about a second), closes the connections and
 * forgets every registered handler. Harmless when not started. */
KV_EXPORT void KvStopServer(void);
KV_EXPORT void StopServer(void);

/* Registers `handler` for `command` (compared over 16 bytes; the newest
 * registration of a code wins). Register before starting the server.
 * Returns 0, -2 when an argument is null, -1 when out of memory. */
KV_EXPORT int KvSetServerCallbackForCommand(const char* command, KvCommandHandler handler);
KV_EXPORT int SetServerCallbackForCommand(const char* command, KvCommandHandler handler);

/* The handler registered for `key` (16-byte comparison), or null. */
KV_EXPORT KvCommandHandler findCallbackForKey(const char* key);

/* Broadcasts `text` as the "Broadcast" signal while the server is serving;
 * does nothing otherwise. */
KV_EXPORT void KvSignalUI(const char* text);
KV_EXPORT void SignalUI(const char* text);

/* Broadcasts the first `length` bytes of `data` as text. Returns 0, or -1
 * when out of memory. */
KV_EXPORT int KvBroadcastMessageWithNoReply(const char* data, size_t length);
KV_EXPORT int broadcastMessageWithNoReply(const char* data, size_t length);

/* At most one callback of each kind: registering returns 1, or 0 when one is
 * registered already or `func` is null. Callbacks run on the listener thread
 * under the callback mutex and must not register or unregister callbacks.
 * After an unregister returns, the callback is not running and will not run. */
KV_EXPORT int KvRegisterNetworkStateChange(KvNetworkStateChangeFunc func);
KV_EXPORT int RegisterNetworkStateChangeFunc(KvNetworkStateChangeFunc func);
KV_EXPORT void KvUnRegisterNetworkStateChange(void);
KV_EXPORT void UnRegisterNetworkStateChange(void);
KV_EXPORT int KvRegisterAddressChange(KvAddressChangeFunc func);
KV_EXPORT int RegisterAddressChangeFunc(KvAddressChangeFunc func);
KV_EXPORT void KvUnRegisterAddressChange(void);
KV_EXPORT void UnRegisterAddressChange(void);

/* The library's version text, "3.1.1000.340", the content of its
 * "__version" section. */
KV_EXPORT extern const char version_number[];

#ifdef __cplusplus
}
#endif

#endif /* KVHELPER_H */
