// Starting the tray program in each desktop user's session and stopping
// every running tray program.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

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

// The same over an environment block (NUL-separated entries).
int display_in_environ(std::string_view block, std::string* ret_display);

// Outcomes of local_display_value.
inline constexpr int kDisplayNotLocal = 1;
inline constexpr int kDisplayInvalid = 2;

// A local display value is ':' followed by digits and '.', cut at the first
// line feed or carriage return: 0 with *ret_display the cut value;
// kDisplayNotLocal without the leading ':'; kDisplayInvalid for any other
// character; -ENOENT when empty.
int local_display_value(std::string_view value, std::string* ret_display);

}  // namespace kv::helper
