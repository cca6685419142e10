// Client connections and request sending. No global state and no locks: a
// handle is the connection's address, and mq_send on one descriptor is safe
// from several threads.
#include "mq_client.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "large_data.hpp"
#include "log.hpp"
#include "tlv_codec.hpp"

namespace kv::rpc {
namespace {

constexpr char kLogName[] = "CefRPCClientHelper";

ClientConnection* connection_of(std::uint64_t handle) noexcept {
    return reinterpret_cast<ClientConnection*>(static_cast<std::uintptr_t>(handle));
}

}  // namespace

std::int64_t client_start(const char* endpoint_name, std::uint64_t* ret_handle) noexcept {
    if (endpoint_name == nullptr || ret_handle == nullptr) {
        KV_LOG_ERROR("%s: Bad input parameter", kLogName);
        return kClientBadInput;
    }
    std::unique_ptr<ClientConnection> connection(new (std::nothrow) ClientConnection);
    if (!connection) {
        KV_LOG_ERROR("%s: Creating the clientConnectionData failed ", kLogName);
        return kClientNoConnectionData;
    }
    connection->endpoint = make_endpoint(endpoint_name);
    if (!connection->endpoint) {
        KV_LOG_ERROR("%s: Creating endpoint string failed", kLogName);
        return kClientNoEndpoint;
    }
    // The server owns and creates the queue; a client only ever opens it.
    const mqd_t queue = mq_open(connection->endpoint.get(), O_WRONLY);
    if (queue == UniqueMq::kNone) {
        const int error = errno;
        KV_LOG_ERROR("%s.%s: Queue Connection Error %d (%s)", kLogName, "CefStartClient", error,
                     std::strerror(error));
        KV_LOG_ERROR("Unable to create endpoint: %s", connection->endpoint.get());
        return kClientQueueOpenFailed;
    }
    connection->queue.reset(queue);
    *ret_handle = reinterpret_cast<std::uintptr_t>(connection.release());
    return kClientOk;
}

std::int64_t client_send(std::uint32_t code, std::uint64_t handle, std::uint32_t message_id,
                         const char* name, const void* payload, std::uint64_t length) noexcept {
    if (name == nullptr || payload == nullptr || length == 0 || handle == 0)
        return kClientMissingArgument;
    const ClientConnection* connection = connection_of(handle);

    char path[kPathBufferSize];
    const void* body = payload;
    std::uint64_t body_length = length;
    const bool large = length > kInlineLimit;
    if (large) {
        const int r = send_large_data(payload, static_cast<std::uint32_t>(length), path, sizeof path);
        if (r < 0)
            return -r;
        body = path;
        body_length = strnlen(path, sizeof path) + 1;
    }

    std::uint8_t buffer[kMessageSize];
    std::uint64_t total = 0;
    if (tlv_encode(buffer, sizeof buffer, code, message_id, name, body, body_length, large,
                   &total) < 0) {
        KV_LOG_ERROR("%s: Error building queue message", kLogName);
        if (large)
            (void)unlink(path);   // no message will ever name the file
        return kClientEncodeFailed;
    }
    // Blocks while the queue is full: the descriptor is not O_NONBLOCK.
    if (mq_send(connection->queue.get(), reinterpret_cast<const char*>(buffer), total, 0) != 0) {
        const int error = errno;
        KV_LOG_ERROR("%s.%s: Error sending message of size=%d(%d) to the queue using conn=%d "
                     "errno=%d (%s)",
                     kLogName, "CefSendMessage", static_cast<int>(total), large ? 1 : 0,
                     static_cast<int>(connection->queue.get()), error, std::strerror(error));
        if (large)
            (void)unlink(path);
        return kClientSendFailed;
    }
    return kClientOk;
}

void client_stop(std::uint64_t handle) noexcept {
    delete connection_of(handle);   // closes the queue, frees the endpoint; null is a no-op
}

}  // namespace kv::rpc
