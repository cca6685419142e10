// Work handed from the tray's threads (the query worker, the service
// listener, the bus endpoint's listener, the HostCache loader) to the main
// loop. The queue is a list under our own mutex with an eventfd the main
// loop watches, both made on the main thread before any thread starts: a
// thread that posts allocates nothing of GLib's, and every hand-off is
// ordered by a lock a race detector can see.
#pragma once

namespace kv::ui {

using MainLoopTask = void (*)(void* data);

// Main thread, before a thread may post: 0, or -errno when the eventfd or
// its watch cannot be made. A second open while open is 0.
int main_loop_queue_open() noexcept;
// Main thread, after every posting thread has ended: tasks not yet run are
// dropped, each through its `discard` (if any). Closed: no-op.
void main_loop_queue_close() noexcept;

// Any thread: `run(data)` is called on the main loop, in posting order.
// False (nothing queued; the caller still owns `data`) when the queue is
// closed (the tray is built without exceptions: running out of memory for
// the list ends the program). `discard(data)` is called instead of `run`
// when the queue is closed first or the task is cancelled.
bool main_loop_post(MainLoopTask run, void* data, MainLoopTask discard = nullptr) noexcept;

// Main thread: drops the tasks posted with this `data` that have not run
// (each through its discard), so their target can go away.
void main_loop_cancel(void* data) noexcept;

}  // namespace kv::ui
