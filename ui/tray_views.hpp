// Where the tray's views plug into the state machine: the notifications
// raised for service signals, the HostCache refresh of the details window's
// pages, the unsafe counter that holds the icon red, and the About window.
// The state machine (service_state) calls only these.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

namespace kv::ui {

struct TrayContext;

// The views' own records, held by the context.
struct TrayViews {
    // Unsafe-only threats listed since start-up; never decreases.
    std::uint64_t unsafe_counter = 0;
};

// Adds the details window's pages to its notebook (once, at start-up).
void views_build_pages(TrayContext& ctx, GtkNotebook* notebook) noexcept;

// Re-reads the HostCache files that `mask` selects; 0 = the mask of
// header.log. Main loop only.
void refresh_from_hostcache(TrayContext& ctx, std::uint64_t mask) noexcept;

// Every service signal the state machine does not handle itself (the
// blocked, terminated, policy and scan broadcasts, and those that change
// nothing): the notification it raises, if any. Main loop only.
void notify_service_signal(TrayContext& ctx, int signal_index) noexcept;

// Opens the About window, or presents it when it is open. Main loop only.
void open_about_window(TrayContext& ctx) noexcept;

// Drops what the views hold (teardown, before the windows go).
void views_teardown(TrayContext& ctx) noexcept;

}  // namespace kv::ui
