// The server side of a request channel: started servers, each owning one
// queue and one listener thread, listed newest first in one process-wide
// list, and the dispatch of each received request by its code.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "mq_endpoint.hpp"

namespace kv::rpc {

using ServerCallback = void (*)(std::uint32_t message_id, const char* name,
                                std::uint64_t name_length, const void* payload,
                                std::uint64_t payload_length);

// Queue attributes of a server: at most 10 messages of kMessageSize bytes.
inline constexpr long kQueueMaxMessages = 10;
inline constexpr unsigned kQueueMode = 0644;

// One started server. Written by server_start before the record is listed;
// afterwards only `running` changes (server_stop writes, the listener
// reads), and `queue` belongs to the listener.
struct ServerData {
    ServerData* next = nullptr;          // guarded by the list mutex
    EndpointText endpoint;
    pthread_t listener{};
    UniqueMq queue;
    std::atomic<bool> running{false};
    std::int32_t code = 0;
    ServerCallback callback = nullptr;
};

// Opens (creating when missing) the queue of endpoint for reading, and
// accepts it only when this effective user owns it, no one else may write
// it and its messages are kMessageSize bytes. 0, -EPERM, -EINVAL or -errno.
int open_server_queue(const char* endpoint, UniqueMq* ret_queue) noexcept;

// Starts a server: lists it, then starts its listener. 0 or -errno; the
// failure is logged.
int server_start(const char* endpoint_name, std::int32_t code, ServerCallback callback) noexcept;

// Stops the newest server listed under code; no-op when there is none.
void server_stop(std::int32_t code) noexcept;

// The newest server listed under code, or null.
ServerData* find_server(std::int32_t code) noexcept;

// Turns the path a large-data message carries (value[0..length)) into the
// path of the same file built from kLargeDataDir, when the value is a
// terminated absolute path whose directory resolves to kLargeDataDir and
// whose last component is a plain name. 0, -EINVAL (malformed), -EPERM
// (another directory), -ENAMETOOLONG, or -errno from resolving.
int large_data_reference(const char* value, std::size_t length, char* path,
                         std::size_t path_size) noexcept;

// Decodes one received message and hands it to the callback listed under
// its code; drops (and logs) anything it cannot deliver.
void dispatch_message(const std::uint8_t* message, std::size_t length) noexcept;

}  // namespace kv::rpc
