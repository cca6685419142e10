// The thread that reads the HostCache for the details window, so a large or
// slow file never holds up the main loop. Requests are read one at a time,
// in order; the main loop gets each result through `on_result` (a task of
// its queue) and calls done() once it has applied it, which lets the next
// request be read. The checksums belong to the thread.
#pragma once

#include <glib.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "hostcache_reader.hpp"

namespace kv::ui {

class HostCacheLoader {
public:
    using ResultCallback = void (*)(void* user_data, std::unique_ptr<HostCacheSnapshot> snapshot);

    // Starts the thread; null when it cannot be started.
    static HostCacheLoader* start(ResultCallback on_result, void* user_data) noexcept;
    // Joins the thread and drops a result not yet delivered. Null: no-op.
    static void stop(HostCacheLoader* loader) noexcept;

    // Queues a read of `mask` (a request equal to one still waiting is
    // merged into it: it reads the files as they are when it runs).
    void request(std::uint64_t mask) noexcept;
    // The main loop has applied the last result.
    void done() noexcept;
    // True while a request waits, is read, or its result is not yet applied.
    bool busy() const noexcept;

private:
    HostCacheLoader() = default;
    void run() noexcept;
    static void deliver(void* self) noexcept;

    ResultCallback on_result_ = nullptr;
    void* user_data_ = nullptr;
    pthread_t thread_{};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::uint64_t> requests_;          // under mutex_
    std::unique_ptr<HostCacheSnapshot> result_;   // under mutex_, until delivered
    bool in_flight_ = false;                      // under mutex_: read or being applied
    bool stopping_ = false;                       // under mutex_
    HostCacheChecksums sums_;                     // loader thread only
};

}  // namespace kv::ui
