// The client side of a request channel: a connection to a server's queue,
// and sending one request inline or through a large-data file.
#pragma once

#include <cstdint>

#include "mq_endpoint.hpp"

namespace kv::rpc {

// Result codes of the client; a failed large-data write yields its errno.
enum ClientResult : std::int64_t {
    kClientOk = 0,
    kClientBadInput = 1,
    kClientNoConnectionData = 2,
    kClientQueueOpenFailed = 3,
    kClientNoEndpoint = 4,
    kClientEncodeFailed = 5,
    kClientSendFailed = 6,
    kClientMissingArgument = 87,
};

// Payloads above this many bytes travel through a large-data file.
inline constexpr std::uint64_t kInlineLimit = 6144;
// The sender's buffer for a large-data path.
inline constexpr std::size_t kPathBufferSize = 512;

// clientConnectionData: the write end of the server's queue and its name.
struct ClientConnection {
    UniqueMq queue;
    EndpointText endpoint;
};

// Each returns a ClientResult (client_send also an errno) and logs the
// failure it ends with.
std::int64_t client_start(const char* endpoint_name, std::uint64_t* ret_handle) noexcept;
std::int64_t client_send(std::uint32_t code, std::uint64_t handle, std::uint32_t message_id,
                         const char* name, const void* payload, std::uint64_t length) noexcept;
void client_stop(std::uint64_t handle) noexcept;

}  // namespace kv::rpc
