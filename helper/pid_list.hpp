// Process ids of the running tray programs, as pgrep lists them. Shared by
// both helper libraries.
#pragma once

namespace kv::helper {

// Positive outcome of tray_pids: more ids were found than fit.
inline constexpr int kPidsDidNotFit = 1;

// Runs "/usr/bin/pgrep korvaneui" and stores its lines as decimal ids in
// pids[0..*count); *count becomes the number of lines. 0 when all fit,
// kPidsDidNotFit when not, -errno when pgrep could not be run.
int tray_pids(int* pids, unsigned int* count) noexcept;

}  // namespace kv::helper
