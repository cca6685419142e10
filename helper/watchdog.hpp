// The watchdog: a thread that, once per cycle, adds up the scores of its
// monitors (only the deadlock monitor, fed by keep-alives) and after three
// critical cycles escalates SIGHUP, SIGTERM, SIGKILL against the process.
// Armed only in the agent service's own process.
#pragma once

namespace kv::helper {

// Cycle interval of the watchdog thread, in milliseconds.
int watchdog_cycle_ms() noexcept;

// Load: creates the mutex and the monotonic condition, then starts the
// thread when the process is the agent service. Unload: sets the stop flag
// and signals the condition under the mutex, joins the thread (at once, not
// after a cycle) and destroys both.
void watchdog_load() noexcept;
void watchdog_unload() noexcept;

// Whether this process's executable is "/opt/korvane/desktop/korvanesvc".
bool is_agent_service_process() noexcept;

// Starts the thread (once per load); 0, or -errno (logged).
int watchdog_start_thread() noexcept;

// The flags the service sets from any thread; keep-alive is one relaxed
// atomic store. Disable and stop also wake the thread so that it ends now.
void watchdog_set_keepalive() noexcept;
void watchdog_set_disabled() noexcept;
void watchdog_set_checks_active(bool active) noexcept;

// The monitors' scores.
int deadlock_score() noexcept;
int cpu_score() noexcept;
int memory_score() noexcept;

// The thread's body; returns null.
void* watchdog_main(void* arg) noexcept;

}  // namespace kv::helper
