// GConf behind the tray's settings.
#include "settings_store.hpp"

#include <gconf/gconf.h>

#include <cerrno>
#include <new>

namespace kv::ui {

struct SettingsStore {
    GConfEngine* engine = nullptr;
};

SettingsStore* settings_open() noexcept {
    GConfEngine* engine = gconf_engine_get_default();
    if (engine == nullptr)
        return nullptr;
    auto* store = new (std::nothrow) SettingsStore;
    if (store == nullptr) {
        gconf_engine_unref(engine);
        return nullptr;
    }
    store->engine = engine;
    return store;
}

void settings_close(SettingsStore* store) noexcept {
    if (store == nullptr)
        return;
    gconf_engine_unref(store->engine);
    delete store;
}

int settings_read_bool(SettingsStore* store, const char* key, bool* ret_value) noexcept {
    if (store == nullptr)
        return -ENOENT;
    GError* error = nullptr;
    GConfValue* value = gconf_engine_get_without_default(store->engine, key, &error);
    if (error != nullptr)
        g_error_free(error);
    if (value == nullptr)
        return -ENOENT;
    int r = -EINVAL;
    if (value->type == GCONF_VALUE_BOOL) {
        *ret_value = gconf_value_get_bool(value) != FALSE;
        r = 0;
    }
    gconf_value_free(value);
    return r;
}

int settings_write_bool(SettingsStore* store, const char* key, bool value) noexcept {
    if (store == nullptr)
        return -EIO;
    GError* error = nullptr;
    const gboolean ok = gconf_engine_set_bool(store->engine, key, value ? TRUE : FALSE, &error);
    if (error != nullptr)
        g_error_free(error);
    return ok ? 0 : -EIO;
}

void settings_save(SettingsStore* store, const ShowNotificationsSetting& s) noexcept {
    (void)settings_write_bool(store, kShowNotificationsKey, s.stored.load());
    (void)settings_write_bool(store, kUserChangedKey, s.user_changed.load());
}

void settings_load(SettingsStore* store, ShowNotificationsSetting& s) noexcept {
    bool value = false;
    if (settings_read_bool(store, kShowNotificationsKey, &value) == 0)
        s.stored.store(value);
    else
        settings_save(store, s);
    if (settings_read_bool(store, kUserChangedKey, &value) == 0)
        s.user_changed.store(value);
    else
        settings_save(store, s);
}

}  // namespace kv::ui
