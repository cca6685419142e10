// SIGINT, SIGTERM and SIGQUIT end the main loop from the main loop itself:
// the handler only writes the signal number into a pipe that a main-loop
// watch reads (GLib's own unix-signal sources do not take SIGQUIT).
#pragma once

namespace kv::ui {

// Installs the handlers and the watch; 0 or -errno.
int exit_signals_install() noexcept;

}  // namespace kv::ui
