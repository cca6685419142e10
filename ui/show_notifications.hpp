// The show-notifications setting: the stored value and the user-changed
// mark (both persisted), the policy default, the mark of a change the
// program made to the check menu item itself, and the rules that combine
// them. Pure logic; the settings store and the menu item are the caller's.
#pragma once

#include <atomic>

namespace kv::ui {

struct ShowNotificationsSetting {
    // Atomic: the bus listener reads them (getter) and the setter writes
    // them; everything else happens on the main loop.
    std::atomic<bool> stored{false};
    std::atomic<bool> user_changed{false};
    std::atomic<bool> policy_default{false};
    bool programmatic = false;   // main loop only

    bool effective() const noexcept { return user_changed.load() ? stored.load() : policy_default.load(); }
};

// The check item was toggled to `item_active`. The caller saves both keys.
void on_item_toggled(ShowNotificationsSetting& s, bool item_active) noexcept;

enum class Reconcile {
    none,            // nothing to save
    save_and_set_item,   // saved value changed; set the item (its handler saves again)
    save_and_emit,   // no item: save, then emit "showNotificationsChanged"
};

// After a policy answer: `has_item` / `item_active` describe the check
// item. Sets the programmatic mark and the stored value as the rule says.
Reconcile reconcile_with_policy(ShowNotificationsSetting& s, bool has_item, bool item_active) noexcept;

// "setShowNotifications" over the bus: only the exact text "true" is true.
void set_from_bus(ShowNotificationsSetting& s, const char* argument) noexcept;

}  // namespace kv::ui
