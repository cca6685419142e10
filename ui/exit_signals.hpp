// SIGINT, SIGTERM and SIGQUIT end the main loop from the main loop itself:
// they are blocked in every thread and read from a signalfd that a
// main-loop watch reads, so no code runs in signal context at all (and
// every thread created later inherits the blocked mask).
#pragma once

#include <signal.h>

namespace kv::ui {

// Blocks the signals and installs the watch; call before any thread
// exists. 0 or -errno.
int exit_signals_install() noexcept;

// The signals as children must get them back: for a spawned child's setup
// (between fork and exec; async-signal-safe).
void exit_signals_unblock_in_child() noexcept;

}  // namespace kv::ui
