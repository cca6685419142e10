// The queue of tasks for the tray's main loop.
#include "main_loop_queue.hpp"

#include <glib-unix.h>
#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>

#include "unique_handle.hpp"

namespace kv::ui {
namespace {

struct Task {
    MainLoopTask run;
    MainLoopTask discard;
    void* data;
};

// Lock order: the queue mutex is a leaf; no task runs under it.
std::mutex queue_mutex;
std::deque<Task> queued_tasks;   // under queue_mutex
bool queue_is_open = false;      // under queue_mutex
kv::UniqueFd wake_fd;            // written by posters, read by the main loop
guint wake_watch = 0;            // main thread only

void drop(Task& task) noexcept {
    if (task.discard != nullptr)
        task.discard(task.data);
}

// One task at a time, each taken under the lock: a task may cancel others
// (a loader stopped by an earlier task must not get its result after).
gboolean run_tasks(gint fd, GIOCondition, gpointer) noexcept {
    std::uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    for (;;) {
        Task task{};
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            if (queued_tasks.empty())
                break;
            task = queued_tasks.front();
            queued_tasks.pop_front();
        }
        task.run(task.data);
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main_loop_queue_open() noexcept {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (queue_is_open)
        return 0;
    kv::UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        return -errno;
    wake_watch = g_unix_fd_add(wake.get(), G_IO_IN, run_tasks, nullptr);
    if (wake_watch == 0)
        return -ENOMEM;
    wake_fd = std::move(wake);
    queue_is_open = true;
    return 0;
}

void main_loop_queue_close() noexcept {
    std::deque<Task> left;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (!queue_is_open)
            return;
        queue_is_open = false;
        left.swap(queued_tasks);
    }
    if (wake_watch != 0)
        (void)g_source_remove(wake_watch);
    wake_watch = 0;
    wake_fd.reset();
    for (Task& task : left)
        drop(task);
}

bool main_loop_post(MainLoopTask run, void* data, MainLoopTask discard) noexcept {
    if (run == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (!queue_is_open)
        return false;
    queued_tasks.push_back(Task{run, discard, data});
    // Under the lock, so close() cannot take the descriptor away meanwhile;
    // a full counter (EAGAIN) already means the loop will wake.
    const std::uint64_t one = 1;
    while (write(wake_fd.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

void main_loop_cancel(void* data) noexcept {
    std::deque<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        for (auto it = queued_tasks.begin(); it != queued_tasks.end();) {
            if (it->data == data) {
                dropped.push_back(*it);
                it = queued_tasks.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Task& task : dropped)
        drop(task);
}

}  // namespace kv::ui
