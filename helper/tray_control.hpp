// Starting the tray program in each desktop user's session and stopping
// every running tray program.
#pragma once

#include <sys/types.h>

#include <string>

namespace kv::helper {

// For each user id in order: finds the user's desktop session, its local
// DISPLAY, and starts the tray as that user through su. Ids of -1 and
// users that cannot be handled are skipped (each logged).
void start_trays(const int* uids, int count) noexcept;

// Signals every running tray program with SIGTERM and stores the uid of
// each one's owner (-1 when unknown) in uids[0..*count); *count becomes the
// number found. 0 when stopped (or *count was 0); -ENOENT when none runs;
// -E2BIG when more run than fit (nothing is signalled); -EINVAL.
int stop_trays(int* uids, unsigned int* count) noexcept;

// The value of the entry that starts exactly with "DISPLAY=" in the
// environment block of `pid`. 0, -ENOENT without one, -errno when it
// cannot be read.
int process_display(pid_t pid, std::string* ret_display);

// The effective uid of `pid` from its status file, or -1.
int process_owner_uid(pid_t pid) noexcept;

}  // namespace kv::helper
