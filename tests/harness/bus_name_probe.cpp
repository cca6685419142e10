// Test tool: asks the system (or session) bus for a well-known name and says whether this
// process became its owner. Exit 0 when it did, 1 when refused, 2 on error.
#include <dbus/dbus.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const bool session = argc == 3 && std::strcmp(argv[1], "--session") == 0;
    if (argc != 2 && !session) {
        std::fprintf(stderr, "usage: bus_name_probe [--session] NAME\n");
        return 2;
    }
    const char* name = argv[argc - 1];
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_bus_get_private(session ? DBUS_BUS_SESSION : DBUS_BUS_SYSTEM, &error);
    if (c == nullptr) {
        std::printf("connect-failed: %s\n", error.message);
        dbus_error_free(&error);
        return 2;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    const int r = dbus_bus_request_name(c, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    int status = 1;
    if (r == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::printf("owner\n");
        status = 0;
    } else if (dbus_error_is_set(&error)) {
        std::printf("refused: %s\n", error.name);
    } else {
        std::printf("not-owner: %d\n", r);
    }
    dbus_error_free(&error);
    dbus_connection_close(c);
    dbus_connection_unref(c);
    return status;
}
