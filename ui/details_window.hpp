// The details window's frame: header (status image, product logo, host
// name), separator, the notebook the views fill, and the footer with the
// status line and the help button. Built hidden at start-up.
#pragma once

#include "tray_context.hpp"

namespace kv::ui {

inline constexpr char kGuardImagePath[] = "/opt/korvane/desktop/guard.png";
inline constexpr char kHelpImagePath[] = "/opt/korvane/desktop/help.png";

// Builds the window hidden, refreshes the status line, adds the views'
// pages and runs the start-up HostCache refresh. 0 or -ENOMEM.
int details_window_build(TrayContext& ctx) noexcept;
// Builds it when missing; shows it the first time, presents it afterwards.
void show_details_window(TrayContext& ctx) noexcept;
void details_window_destroy(TrayContext& ctx) noexcept;

}  // namespace kv::ui
