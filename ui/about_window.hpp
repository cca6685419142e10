// The About window: the program's version from its own "__version" section
// and the policy texts the worker learnt, as they were when it was built.
// At most one exists; closing it destroys it. Main loop only.
#pragma once

#include <string>
#include <vector>

namespace kv::ui {

struct TrayContext;

// Presents the window when it exists, else builds and shows a new one.
void open_about_window(TrayContext& ctx) noexcept;
void about_window_destroy(TrayContext& ctx) noexcept;

// The window's text lines, each cut to fit a 255-byte buffer on a character boundary.
std::vector<std::string> about_lines(TrayContext& ctx);

}  // namespace kv::ui
