// What client and server share about a queue: the owner of a queue
// descriptor and the endpoint text "/" + name that names the queue.
#pragma once

#include <mqueue.h>

#include <cstdlib>
#include <utility>

#include "unique_handle.hpp"

namespace kv::rpc {

class UniqueMq {
public:
    UniqueMq() noexcept = default;
    explicit UniqueMq(mqd_t queue) noexcept : queue_(queue) {}
    UniqueMq(UniqueMq&& other) noexcept : queue_(std::exchange(other.queue_, kNone)) {}
    UniqueMq& operator=(UniqueMq&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.queue_, kNone));
        return *this;
    }
    UniqueMq(const UniqueMq&) = delete;
    UniqueMq& operator=(const UniqueMq&) = delete;
    ~UniqueMq() { reset(); }

    mqd_t get() const noexcept { return queue_; }
    explicit operator bool() const noexcept { return queue_ != kNone; }
    void reset(mqd_t queue = kNone) noexcept {
        if (queue_ != kNone)
            (void)mq_close(queue_);
        queue_ = queue;
    }

    static constexpr mqd_t kNone = static_cast<mqd_t>(-1);

private:
    mqd_t queue_ = kNone;
};

inline void free_memory(void* p) noexcept { std::free(p); }
using EndpointText = UniquePtr<char, free_memory>;

// "/" followed by name, or null when out of memory.
EndpointText make_endpoint(const char* name) noexcept;

}  // namespace kv::rpc
