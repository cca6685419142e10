// Servers, their listener threads and request dispatch.
// Lock: g_list_mutex guards g_servers and every record's `next`; callbacks
// and queue receives never run under it.
#include "mq_server.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "cefrpc.h"
#include "large_data.hpp"
#include "log.hpp"
#include "tlv_codec.hpp"

namespace kv::rpc {
namespace {

constexpr char kLogName[] = "CefRPCServerHelper";
constexpr char kListener[] = "listenForRequests";

std::mutex g_list_mutex;
ServerData* g_servers = nullptr;   // newest first

using LargeBuffer = UniquePtr<void, free_memory>;
// ReceiveLargeData lives in the client library, which the host process
// loads beside this one; it is looked up by name, never linked.
using ReceiveFn = decltype(&ReceiveLargeData);

ServerCallback find_callback(std::int32_t code) noexcept {
    std::lock_guard<std::mutex> lock(g_list_mutex);
    for (const ServerData* s = g_servers; s != nullptr; s = s->next) {
        if (s->code == code)
            return s->callback;
    }
    return nullptr;
}

// Fetches the file a large-data message names into *ret_buffer; false (and
// logged) when the message is to be dropped. Only a file directly inside
// the large-data directory is ever read or deleted.
bool receive_large_payload(const TlvMessage& m, LargeBuffer* ret_buffer,
                           std::uint32_t* ret_size) noexcept {
    char path[PATH_MAX];
    std::int64_t status = -large_data_reference(reinterpret_cast<const char*>(m.payload),
                                                m.payload_record_length, path, sizeof path);
    ReceiveFn receive = nullptr;
    if (status == 0) {
        receive = reinterpret_cast<ReceiveFn>(dlsym(RTLD_DEFAULT, "ReceiveLargeData"));
        if (receive == nullptr)
            status = ENOSYS;
    }
    std::uint32_t size = 0;
    if (status == 0)
        status = receive(path, nullptr, &size);
    if (status != 0) {
        KV_LOG_ERROR("%s:%s: ReceiveLargeData error(%ld)\n", kLogName, kLogName,
                     static_cast<long>(status));
        return false;
    }
    LargeBuffer buffer(std::malloc(size != 0 ? size : 1));
    if (!buffer) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call failed to malloc\n", kLogName, kLogName);
        return false;
    }
    void* data = buffer.get();
    status = receive(path, &data, &size);
    if (status != 0) {
        KV_LOG_ERROR("%s:%s: ReceiveLargeData error(%ld)\n", kLogName, kLogName,
                     static_cast<long>(status));
        return false;
    }
    *ret_buffer = std::move(buffer);
    *ret_size = size;
    return true;
}

// Seconds of the clock the receive deadline is measured on. time() reads a
// coarse clock that can still show the old second when the deadline has
// just passed, which would put the listener to sleep after every timeout.
std::time_t realtime_seconds() noexcept {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

void* listen_for_requests(void* arg) noexcept {
    auto* record = static_cast<ServerData*>(arg);
    if (record == nullptr) {
        KV_LOG_ERROR("%s:%s:No server data", kLogName, kListener);
        return nullptr;
    }
    if (!record->queue) {
        KV_LOG_ERROR("%s:%s:No server connection", kLogName, kListener);
        return nullptr;
    }
    const mqd_t queue = record->queue.get();
    std::uint8_t buffer[kMessageSize];
    while (record->running.load(std::memory_order_acquire)) {
        const std::time_t t0 = realtime_seconds();
        timespec deadline{};
        deadline.tv_sec = t0 + 1;
        const ssize_t n = mq_timedreceive(queue, reinterpret_cast<char*>(buffer), sizeof buffer,
                                          nullptr, &deadline);
        const int error = errno;
        // Checked before dispatch: a request received in the cycle that ends
        // the server is not handed out.
        if (!record->running.load(std::memory_order_acquire)) {
            KV_LOG_ERROR("%s:%s:shutting down", kLogName, kListener);
            break;
        }
        if (n > 0) {
            dispatch_message(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            KV_LOG_ERROR("%s:%s: warning - received 0 byte message from queue using conn=%d",
                         kLogName, kListener, static_cast<int>(queue));
        } else if (error != ETIMEDOUT) {
            KV_LOG_ERROR("%s:%s: Error receiving message from queue using conn=%d errno=%d (%s)",
                         kLogName, kListener, static_cast<int>(queue), error,
                         std::strerror(error));
        }
        // An error that returns at once must not spin; after a timeout the
        // clock has moved on and the next receive starts straight away.
        if (realtime_seconds() == t0)
            (void)sleep(1);
    }
    record->queue.reset();
    (void)mq_unlink(record->endpoint.get());
    return nullptr;
}

}  // namespace

int open_server_queue(const char* endpoint, UniqueMq* ret_queue) noexcept {
    mq_attr attributes{};
    attributes.mq_flags = 0;
    attributes.mq_maxmsg = kQueueMaxMessages;
    attributes.mq_msgsize = static_cast<long>(kMessageSize);
    UniqueMq queue(mq_open(endpoint, O_RDONLY | O_CREAT, kQueueMode, &attributes));
    if (!queue)
        return -errno;
    // The queue filesystem is world-writable, so the name may have been
    // taken first by someone else, with other rights or another size.
    struct stat st {};
    if (fstat(queue.get(), &st) != 0)
        return -errno;
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return -EPERM;
    mq_attr actual{};
    if (mq_getattr(queue.get(), &actual) != 0)
        return -errno;
    if (actual.mq_msgsize != static_cast<long>(kMessageSize))
        return -EINVAL;
    *ret_queue = std::move(queue);
    return 0;
}

int server_start(const char* endpoint_name, std::int32_t code, ServerCallback callback) noexcept {
    if (callback == nullptr || endpoint_name == nullptr)
        return -EINVAL;
    std::unique_ptr<ServerData> record(new (std::nothrow) ServerData);
    if (!record)
        return -ENOMEM;
    record->endpoint = make_endpoint(endpoint_name);
    if (!record->endpoint) {
        KV_LOG_ERROR("%s:Creating the endpoint name string failed", kLogName);
        return -ENOMEM;
    }
    record->code = code;
    record->callback = callback;
    // Set before the listener exists and never by it, so a stop that comes
    // right after the start cannot be overwritten.
    record->running.store(true, std::memory_order_relaxed);
    int r = open_server_queue(record->endpoint.get(), &record->queue);
    if (r < 0) {
        KV_LOG_ERROR("%s:%s:Connection failed to open: %s %s", kLogName, "start_queue",
                     record->endpoint.get(), std::strerror(-r));
        return r;
    }
    {
        // Listed before the listener runs, so requests already waiting in
        // the queue find their callback. The thread is created under the
        // mutex, so no stop can see a listed record without a listener.
        std::lock_guard<std::mutex> lock(g_list_mutex);
        record->next = g_servers;
        g_servers = record.get();
        r = pthread_create(&record->listener, nullptr, listen_for_requests, record.get());
        if (r != 0)
            g_servers = record->next;
    }
    if (r != 0) {
        KV_LOG_ERROR("%s:Listener thread creation failed", kLogName);
        record->queue.reset();
        (void)mq_unlink(record->endpoint.get());
        return -r;
    }
    (void)record.release();   // owned by the list until server_stop
    return 0;
}

void server_stop(std::int32_t code) noexcept {
    ServerData* record = find_server(code);
    if (record == nullptr)
        return;
    record->running.store(false, std::memory_order_release);
    // The listener notices within one receive deadline, then closes and
    // unlinks the queue.
    (void)pthread_join(record->listener, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        for (ServerData** link = &g_servers; *link != nullptr; link = &(*link)->next) {
            if (*link == record) {
                *link = record->next;
                break;
            }
        }
    }
    delete record;
}

ServerData* find_server(std::int32_t code) noexcept {
    std::lock_guard<std::mutex> lock(g_list_mutex);
    for (ServerData* s = g_servers; s != nullptr; s = s->next) {
        if (s->code == code)
            return s;
    }
    return nullptr;
}

int large_data_reference(const char* value, std::size_t length, char* path,
                         std::size_t path_size) noexcept {
    if (value == nullptr || std::memchr(value, '\0', length) == nullptr || value[0] != '/')
        return -EINVAL;
    const char* slash = std::strrchr(value, '/');
    const char* base = slash + 1;
    if (*base == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0)
        return -EINVAL;
    char directory[PATH_MAX];
    const std::size_t directory_length = slash == value ? 1 : static_cast<std::size_t>(slash - value);
    if (directory_length >= sizeof directory)
        return -ENAMETOOLONG;
    std::memcpy(directory, value, directory_length);
    directory[directory_length] = '\0';
    // Same directory by identity, whatever links or dot-dots the text used;
    // the file is then reached only through the fixed directory path.
    struct stat named {}, expected {};
    if (stat(directory, &named) != 0)
        return -errno;
    if (stat(kLargeDataDir, &expected) != 0)
        return -errno;
    if (!S_ISDIR(named.st_mode) || named.st_dev != expected.st_dev || named.st_ino != expected.st_ino)
        return -EPERM;
    const int n = std::snprintf(path, path_size, "%s/%s", kLargeDataDir, base);
    if (n < 0 || static_cast<std::size_t>(n) >= path_size)
        return -ENAMETOOLONG;
    return 0;
}

void dispatch_message(const std::uint8_t* message, std::size_t length) noexcept {
    TlvMessage m;
    if (tlv_decode(message, length, &m) < 0 || !tlv_dispatchable(m)) {
        KV_LOG_ERROR("%s:%s: cefDecodeTLVBuffer error\n", kLogName, kLogName);
        return;
    }
    // The callback listed under the request's code, whichever server's
    // queue carried it.
    const ServerCallback callback = find_callback(static_cast<std::int32_t>(m.code));
    if (callback == nullptr) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call error finding callback for CRC '%c'", kLogName,
                     kLogName, static_cast<int>(m.code));
        return;
    }
    const void* payload = m.payload;
    std::uint64_t payload_length = m.payload_length;
    LargeBuffer large;
    if (m.large) {
        std::uint32_t size = 0;
        if (!receive_large_payload(m, &large, &size))
            return;
        payload = large.get();
        payload_length = size;
    }
    callback(m.message_id, m.name, std::strlen(m.name), payload, payload_length);
}

}  // namespace kv::rpc
