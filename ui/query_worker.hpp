// The worker thread that runs the blocking service queries, fed one command
// byte at a time through a pipe. Its answers go to the main loop, which
// alone changes the state machine and the settings.
#pragma once

#include "tray_context.hpp"

namespace kv::ui {

// Creates the pipe and starts the thread; 0 or -errno (nothing left open).
int worker_start(TrayContext& ctx) noexcept;
// Sends the stop command, closes the write end and joins. Idempotent.
void worker_stop(TrayContext& ctx) noexcept;

// Main loop: after a policy answer (queued by the worker).
void reconcile_show_notifications(TrayContext& ctx) noexcept;

}  // namespace kv::ui
