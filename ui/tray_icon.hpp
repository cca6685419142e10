// The status icon in the notification area and its context menu.
#pragma once

#include "tray_context.hpp"

namespace kv::ui {

// Builds the menu and the status icon (yellow, visible); on failure prints
// its line and leaves the program running without them. 0 or -ENOMEM.
int tray_icon_create(TrayContext& ctx) noexcept;
// Destroys the icon and the menu. Idempotent.
void tray_icon_destroy(TrayContext& ctx) noexcept;

// The check item's "toggled" handler body (main loop).
void on_show_notifications_toggled(TrayContext& ctx, bool active) noexcept;

}  // namespace kv::ui
