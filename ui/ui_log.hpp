// The tray's console output: diagnostics only with the verbose option (the
// option errors and the exit-signal line always),
// line-buffered so a reader of a pipe sees each line as it is printed.
#pragma once

namespace kv::ui {

void set_verbose(bool on) noexcept;
bool verbose() noexcept;

// Prints under the verbose option only.
[[gnu::format(printf, 1, 2)]] void verbose_print(const char* format, ...) noexcept;
// Prints whatever the option says (errors and the exit-signal line).
[[gnu::format(printf, 1, 2)]] void always_print(const char* format, ...) noexcept;

}  // namespace kv::ui
