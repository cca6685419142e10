// The show-notifications rules.
#include "show_notifications.hpp"

#include <cstring>

namespace kv::ui {

void on_item_toggled(ShowNotificationsSetting& s, bool item_active) noexcept {
    if (s.programmatic)
        s.programmatic = false;
    else
        s.user_changed.store(true);
    s.stored.store(item_active);
}

Reconcile reconcile_with_policy(ShowNotificationsSetting& s, bool has_item, bool item_active) noexcept {
    if (has_item)
        s.stored.store(item_active);
    if (s.user_changed.load())
        return Reconcile::none;
    if (s.stored.load() == s.policy_default.load())
        return Reconcile::none;
    s.programmatic = true;
    s.stored.store(s.policy_default.load());
    return has_item ? Reconcile::save_and_set_item : Reconcile::save_and_emit;
}

void set_from_bus(ShowNotificationsSetting& s, const char* argument) noexcept {
    s.stored.store(argument != nullptr && std::strcmp(argument, "true") == 0);
    s.user_changed.store(true);
}

}  // namespace kv::ui
