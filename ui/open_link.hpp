// Opens a web address in the user's browser through xdg-open, started
// asynchronously with an argument vector (no shell, nothing waited for).
#pragma once

namespace kv::ui {

inline constexpr char kXdgOpen[] = "/usr/bin/xdg-open";

// 0, or -1 when the program could not be started ("error: …" printed).
int open_link(const char* url) noexcept;

}  // namespace kv::ui
