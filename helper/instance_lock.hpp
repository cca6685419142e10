// The single-instance lock: the named semaphore "com.korvane.kvkvkv",
// backed by an flock()ed file under /run held for the holder's life, so a
// holder that died without removing the name (SIGKILL) is recognised and
// its lock taken over. The fatal-signal handler removes the name when the
// holder dies of a fatal signal. Shared by both helper libraries.
#pragma once

#include <csignal>

// Set while the fatal-signal handler runs (defined by each library's exports).
extern "C" volatile sig_atomic_t fatal_error_in_progress;

namespace kv::helper {

inline constexpr char kInstanceSemaphoreName[] = "com.korvane.kvkvkv";
// Held with flock() by the live holder; root's, mode 0600.
inline constexpr char kInstanceLockPath[] = "/run/com.korvane.kvkvkv.lock";

// Takes the lock: 0 taken (a name left by a dead holder is replaced);
// -EEXIST when a live instance holds it; -errno of the failed creation
// otherwise. On success installs the fatal-signal handler for SIGABRT,
// SIGBUS, SIGFPE, SIGILL, SIGQUIT, SIGTERM and SIGINT, each only where the
// disposition is the default (ignored signals and the process's own
// handlers stay).
int open_instance_lock() noexcept;

// Removes the semaphore's name (and gives up this process's hold of the
// lock file): 0, or -errno of sem_unlink.
int unlink_instance_lock() noexcept;

// At library unload: restores the default disposition where the handler is
// still installed, and removes the name only if this process created it.
void release_instance_lock_at_unload() noexcept;

}  // namespace kv::helper
