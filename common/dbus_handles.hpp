// Owners for libdbus handles, and the one way a private connection is let
// go: closed before its last reference is dropped (libdbus aborts otherwise).
#pragma once

#include <dbus/dbus.h>

#include "unique_handle.hpp"

namespace kv {

inline void dbus_message_release(DBusMessage* m) noexcept { dbus_message_unref(m); }
inline void dbus_pending_release(DBusPendingCall* p) noexcept { dbus_pending_call_unref(p); }
using DBusMessagePtr = UniquePtr<DBusMessage, dbus_message_release>;
using DBusPendingPtr = UniquePtr<DBusPendingCall, dbus_pending_release>;

// Closes and releases a private connection and forgets it; null is a no-op.
inline void close_private_connection(DBusConnection*& c) noexcept {
    if (c == nullptr)
        return;
    dbus_connection_close(c);
    dbus_connection_unref(c);
    c = nullptr;
}

// Opens a private system-bus connection that does not end the process when
// the bus goes away. libdbus's thread support is on before the first one.
inline DBusConnection* open_private_system_bus(DBusError* error) noexcept {
    (void)dbus_threads_init_default();
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, error);
    if (c != nullptr)
        dbus_connection_set_exit_on_disconnect(c, FALSE);
    return c;
}

}  // namespace kv
