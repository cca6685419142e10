// The tray program's start-up, main loop and teardown, in their fixed
// order; main() only calls run_tray.
#pragma once

namespace kv::ui {

inline constexpr char kLocaleDir[] = "/opt/korvane/desktop/locales";
inline constexpr char kTextDomain[] = "korvane";
inline constexpr char kAppIconPath[] = "/opt/korvane/desktop/korvaneui.png";
inline constexpr const char* kColourImagePaths[] = {
    "/opt/korvane/desktop/icon_green.png",
    "/opt/korvane/desktop/icon_yellow.png",
    "/opt/korvane/desktop/icon_red.png",
};

// The program's exit status: 0, 1 (context or bus name), 255 (options,
// signal handlers).
int run_tray(int argc, char** argv) noexcept;

}  // namespace kv::ui
