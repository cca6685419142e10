// Owners for libdbus handles, and the one way a private connection is let
// go: closed before its last reference is dropped (libdbus aborts otherwise).
#pragma once

#include <dbus/dbus.h>
#include <unistd.h>

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

// After a bus went away: calls open() after 1, 2, 4 … 30 s until it gives a
// connection, while keep_going() holds; that is checked every second, so a
// stop is noticed within one. Null once stopped.
template <class KeepGoing, class Open>
DBusConnection* reconnect_with_backoff(KeepGoing keep_going, Open open) noexcept {
    constexpr unsigned kMaxDelaySeconds = 30;
    for (unsigned delay = 1;; delay = delay * 2 > kMaxDelaySeconds ? kMaxDelaySeconds : delay * 2) {
        for (unsigned i = 0; i < delay; ++i) {
            if (!keep_going())
                return nullptr;
            (void)::usleep(1000 * 1000);
        }
        if (!keep_going())
            return nullptr;
        if (DBusConnection* c = open())
            return c;
    }
}

}  // namespace kv
