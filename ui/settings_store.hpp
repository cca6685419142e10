// The tray's persistent settings in GConf: its two boolean keys, read
// without defaults and written whole. Main loop only.
#pragma once

#include "show_notifications.hpp"

namespace kv::ui {

inline constexpr char kShowNotificationsKey[] = "/apps/korvaneui/show_notifications";
inline constexpr char kUserChangedKey[] = "/apps/korvaneui/user_changed_show_notifications";

struct SettingsStore;

// The default GConf engine; null when it cannot be had.
SettingsStore* settings_open() noexcept;
void settings_close(SettingsStore* store) noexcept;

// 0 with the value, -ENOENT when unset, -EINVAL when not a boolean.
int settings_read_bool(SettingsStore* store, const char* key, bool* ret_value) noexcept;
// A failed write is ignored by the callers; 0 or -EIO.
int settings_write_bool(SettingsStore* store, const char* key, bool value) noexcept;

// Both keys, the stored value first.
void settings_save(SettingsStore* store, const ShowNotificationsSetting& s) noexcept;
// Start-up: each key that is missing or not a boolean makes both keys be
// written from the current values; present keys are taken.
void settings_load(SettingsStore* store, ShowNotificationsSetting& s) noexcept;

}  // namespace kv::ui
