// Recording notification server for desktop tests: owns
// org.freedesktop.Notifications on the session bus, answers like a small
// desktop notification daemon and appends one JSON object per Notify call
// to the log file (one line each, flushed). Ends when the bus goes away.
// Usage: kv_test_notification_server --log FILE [--capability NAME]...
#include <dbus/dbus.h>
#include <json-c/json.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kName[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
// What a server does with expire_timeout -1.
constexpr std::int32_t kDefaultTimeoutMs = 5000;
constexpr dbus_uint32_t kReasonExpired = 1;
constexpr dbus_uint32_t kReasonClosedByCall = 3;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

std::int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A hint's value as text: basic types as they read, containers as their
// signature (image data and the like are not compared by tests).
std::string variant_text(DBusMessageIter* variant) {
    DBusMessageIter inner;
    dbus_message_iter_recurse(variant, &inner);
    const int type = dbus_message_iter_get_arg_type(&inner);
    char buf[64];
    switch (type) {
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_SIGNATURE: {
        const char* s = nullptr;
        dbus_message_iter_get_basic(&inner, &s);
        return s != nullptr ? s : "";
    }
    case DBUS_TYPE_BOOLEAN: {
        dbus_bool_t b = FALSE;
        dbus_message_iter_get_basic(&inner, &b);
        return b ? "true" : "false";
    }
    case DBUS_TYPE_BYTE: {
        unsigned char v = 0;
        dbus_message_iter_get_basic(&inner, &v);
        std::snprintf(buf, sizeof buf, "%u", v);
        return buf;
    }
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_INT64:
    case DBUS_TYPE_UINT16:
    case DBUS_TYPE_UINT32:
    case DBUS_TYPE_UINT64: {
        DBusBasicValue v{};
        dbus_message_iter_get_basic(&inner, &v);
        switch (type) {
        case DBUS_TYPE_INT16: return std::to_string(v.i16);
        case DBUS_TYPE_INT32: return std::to_string(v.i32);
        case DBUS_TYPE_INT64: return std::to_string(v.i64);
        case DBUS_TYPE_UINT16: return std::to_string(v.u16);
        case DBUS_TYPE_UINT32: return std::to_string(v.u32);
        default: return std::to_string(v.u64);
        }
    }
    case DBUS_TYPE_DOUBLE: {
        double d = 0;
        dbus_message_iter_get_basic(&inner, &d);
        std::snprintf(buf, sizeof buf, "%g", d);
        return buf;
    }
    default: {
        char* sig = dbus_message_iter_get_signature(&inner);
        std::string out = std::string("<") + (sig != nullptr ? sig : "?") + ">";
        dbus_free(sig);
        return out;
    }
    }
}

struct Notification {
    std::string app_name, app_icon, summary, body;
    dbus_uint32_t replaces_id = 0;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;
    std::int32_t expire_timeout = 0;
};

bool next_string(DBusMessageIter* it, std::string& out) {
    if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_STRING)
        return false;
    const char* s = nullptr;
    dbus_message_iter_get_basic(it, &s);
    out = s;
    dbus_message_iter_next(it);
    return true;
}

// Notify(susssasa{sv}i); false when the arguments do not have that shape.
bool parse_notify(DBusMessage* m, Notification& n) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(m, &it) || !next_string(&it, n.app_name))
        return false;
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_UINT32)
        return false;
    dbus_message_iter_get_basic(&it, &n.replaces_id);
    dbus_message_iter_next(&it);
    if (!next_string(&it, n.app_icon) || !next_string(&it, n.summary) || !next_string(&it, n.body))
        return false;
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY)
        return false;
    DBusMessageIter arr;
    dbus_message_iter_recurse(&it, &arr);
    std::string action;
    while (next_string(&arr, action))
        n.actions.push_back(action);
    dbus_message_iter_next(&it);
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY)
        return false;
    dbus_message_iter_recurse(&it, &arr);
    while (dbus_message_iter_get_arg_type(&arr) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&arr, &entry);
        std::string key;
        if (next_string(&entry, key) && dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_VARIANT)
            n.hints[key] = variant_text(&entry);
        dbus_message_iter_next(&arr);
    }
    dbus_message_iter_next(&it);
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_INT32)
        return false;
    dbus_message_iter_get_basic(&it, &n.expire_timeout);
    return true;
}

void append_record(FILE* log, const Notification& n, dbus_uint32_t id) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "id", json_object_new_int64(id));
    json_object_object_add(o, "app_name", json_object_new_string(n.app_name.c_str()));
    json_object_object_add(o, "replaces_id", json_object_new_int64(n.replaces_id));
    json_object_object_add(o, "app_icon", json_object_new_string(n.app_icon.c_str()));
    json_object_object_add(o, "summary", json_object_new_string(n.summary.c_str()));
    json_object_object_add(o, "body", json_object_new_string(n.body.c_str()));
    json_object* actions = json_object_new_array();
    for (const auto& a : n.actions)
        json_object_array_add(actions, json_object_new_string(a.c_str()));
    json_object_object_add(o, "actions", actions);
    json_object* hints = json_object_new_object();
    for (const auto& [k, v] : n.hints)
        json_object_object_add(hints, k.c_str(), json_object_new_string(v.c_str()));
    json_object_object_add(o, "hints", hints);
    json_object_object_add(o, "expire_timeout", json_object_new_int(n.expire_timeout));
    std::fprintf(log, "%s\n", json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
    std::fflush(log);
    json_object_put(o);
}

class Server {
public:
    Server(DBusConnection* c, FILE* log, std::vector<std::string> capabilities)
        : conn_(c), log_(log), capabilities_(std::move(capabilities)) {}

    void handle(DBusMessage* m) {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL)
            return;
        DBusMessage* reply = nullptr;
        if (dbus_message_is_method_call(m, kInterface, "GetCapabilities")) {
            reply = dbus_message_new_method_return(m);
            DBusMessageIter it, arr;
            dbus_message_iter_init_append(reply, &it);
            dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &arr);
            for (const auto& cap : capabilities_) {
                const char* s = cap.c_str();
                dbus_message_iter_append_basic(&arr, DBUS_TYPE_STRING, &s);
            }
            dbus_message_iter_close_container(&it, &arr);
        } else if (dbus_message_is_method_call(m, kInterface, "GetServerInformation")) {
            const char* name = "kv-test-notification-server";
            const char* vendor = "korvane-tests";
            const char* version = "1.0";
            const char* spec = "1.2";
            reply = dbus_message_new_method_return(m);
            dbus_message_append_args(reply, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &vendor, DBUS_TYPE_STRING,
                                     &version, DBUS_TYPE_STRING, &spec, DBUS_TYPE_INVALID);
        } else if (dbus_message_is_method_call(m, kInterface, "Notify")) {
            Notification n;
            if (!parse_notify(m, n)) {
                reply = dbus_message_new_error(m, DBUS_ERROR_INVALID_ARGS, "expected (susssasa{sv}i)");
            } else {
                // A replacement keeps the id it replaces, when that one is still shown.
                dbus_uint32_t id = n.replaces_id;
                if (id == 0 || expiry_.find(id) == expiry_.end())
                    id = next_id_++;
                const std::int32_t timeout = n.expire_timeout < 0 ? kDefaultTimeoutMs : n.expire_timeout;
                expiry_[id] = timeout == 0 ? INT64_MAX : now_ms() + timeout;
                append_record(log_, n, id);
                reply = dbus_message_new_method_return(m);
                dbus_message_append_args(reply, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
            }
        } else if (dbus_message_is_method_call(m, kInterface, "CloseNotification")) {
            dbus_uint32_t id = 0;
            if (dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID) && expiry_.erase(id) > 0)
                emit_closed(id, kReasonClosedByCall);
            reply = dbus_message_new_method_return(m);
        } else if (!dbus_message_get_no_reply(m)) {
            reply = dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "unknown method");
        }
        if (reply != nullptr) {
            dbus_connection_send(conn_, reply, nullptr);
            dbus_message_unref(reply);
        }
    }

    // Milliseconds until the next notification expires (-1: none pending).
    int next_timeout() const {
        std::int64_t soonest = INT64_MAX;
        for (const auto& [id, at] : expiry_)
            soonest = at < soonest ? at : soonest;
        if (soonest == INT64_MAX)
            return -1;
        const std::int64_t left = soonest - now_ms();
        return left <= 0 ? 0 : left > 1000 ? 1000 : static_cast<int>(left);
    }

    void expire() {
        const std::int64_t now = now_ms();
        for (auto it = expiry_.begin(); it != expiry_.end();) {
            if (it->second <= now) {
                emit_closed(it->first, kReasonExpired);
                it = expiry_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    void emit_closed(dbus_uint32_t id, dbus_uint32_t reason) {
        DBusMessage* s = dbus_message_new_signal(kPath, kInterface, "NotificationClosed");
        if (s == nullptr)
            return;
        dbus_message_append_args(s, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &reason, DBUS_TYPE_INVALID);
        dbus_connection_send(conn_, s, nullptr);
        dbus_message_unref(s);
    }

    DBusConnection* conn_;
    FILE* log_;
    std::vector<std::string> capabilities_;
    std::map<dbus_uint32_t, std::int64_t> expiry_;  // id -> monotonic ms
    dbus_uint32_t next_id_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
    const char* log_path = nullptr;
    std::vector<std::string> capabilities;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            log_path = argv[++i];
        } else if (std::strcmp(argv[i], "--capability") == 0 && i + 1 < argc) {
            capabilities.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s --log FILE [--capability NAME]...\n", argv[0]);
            return 2;
        }
    }
    if (log_path == nullptr) {
        std::fprintf(stderr, "%s: --log FILE is required\n", argv[0]);
        return 2;
    }
    FILE* log = std::fopen(log_path, "ae");
    if (log == nullptr) {
        std::perror(log_path);
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    if (c == nullptr) {
        std::fprintf(stderr, "%s: session bus: %s\n", argv[0], error.message);
        dbus_error_free(&error);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    const int r = dbus_bus_request_name(c, kName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "%s: cannot own %s: %s\n", argv[0], kName, error.message ? error.message : "taken");
        dbus_error_free(&error);
        dbus_connection_close(c);
        dbus_connection_unref(c);
        return 1;
    }
    Server server(c, log, std::move(capabilities));
    while (g_stop == 0) {
        const int timeout = server.next_timeout();
        if (!dbus_connection_read_write(c, timeout < 0 ? 1000 : timeout))
            break;  // disconnected: the session is over
        while (DBusMessage* m = dbus_connection_pop_message(c)) {
            server.handle(m);
            dbus_message_unref(m);
        }
        if (!dbus_connection_get_is_connected(c))
            break;
        server.expire();
        dbus_connection_flush(c);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
    std::fclose(log);
    return 0;
}
