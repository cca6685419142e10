// Stand-in for NetworkManager's daemon on the system bus, bind-mounted over
// /usr/sbin/NetworkManager in tests. Emits the signals the command server
// watches, may send a command like any client, and stays connected for a
// while afterwards so that the bus can still name its process.
// Usage: network_manager_standin [state:N | properties | call:TEXT | linger:MS]...
#include <dbus/dbus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kPath[] = "/org/freedesktop/NetworkManager";
constexpr char kInterface[] = "org.freedesktop.NetworkManager";

bool emit_state(DBusConnection* c, dbus_uint32_t state) {
    DBusMessage* m = dbus_message_new_signal(kPath, kInterface, "StateChanged");
    if (m == nullptr)
        return false;
    dbus_message_append_args(m, DBUS_TYPE_UINT32, &state, DBUS_TYPE_INVALID);
    const bool ok = dbus_connection_send(c, m, nullptr);
    dbus_message_unref(m);
    return ok;
}

bool emit_properties(DBusConnection* c) {
    DBusMessage* m = dbus_message_new_signal(kPath, kInterface, "PropertiesChanged");
    if (m == nullptr)
        return false;
    DBusMessageIter it, dict;
    dbus_message_iter_init_append(m, &it);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
    dbus_message_iter_close_container(&it, &dict);
    const bool ok = dbus_connection_send(c, m, nullptr);
    dbus_message_unref(m);
    return ok;
}

void call(DBusConnection* c, const char* text) {
    DBusMessage* m = dbus_message_new_method_call("com.korvane.agent_server.command_listen", "/",
                                                  "com.korvane.agent_server.command", "command_method");
    dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, m, 1500, &error);
    dbus_message_unref(m);
    const char* answer = nullptr;
    if (reply != nullptr && dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID))
        std::printf("reply: %s\n", answer);
    else
        std::printf("no reply: %s\n", error.name != nullptr ? error.name : "?");
    if (reply != nullptr)
        dbus_message_unref(reply);
    dbus_error_free(&error);
}

}  // namespace

int main(int argc, char** argv) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (c == nullptr) {
        std::fprintf(stderr, "network_manager_standin: %s\n", error.message);
        return 2;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "state:", 6) == 0)
            emit_state(c, static_cast<dbus_uint32_t>(std::strtoul(a + 6, nullptr, 10)));
        else if (std::strcmp(a, "properties") == 0)
            emit_properties(c);
        else if (std::strncmp(a, "call:", 5) == 0)
            call(c, a + 5);
        else if (std::strncmp(a, "linger:", 7) == 0)
            (void)usleep(static_cast<useconds_t>(std::atoi(a + 7)) * 1000u);
        dbus_connection_flush(c);
    }
    std::fflush(stdout);
    dbus_connection_close(c);
    dbus_connection_unref(c);
    return 0;
}
