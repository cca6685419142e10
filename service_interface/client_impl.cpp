// Service client: command sends over one shared private system-bus
// connection, the broadcast listener on a second one, and the command
// wrappers. Lock order: bus lock, then libdbus's own connection locks.
#include "client_impl.hpp"

#include <dbus/dbus.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "dbus_handles.hpp"
#include "json_fields.hpp"
#include "log.hpp"
#include "protocol.hpp"
#include "trace.hpp"

namespace kv::svc {
namespace {

constexpr const char kComponent[] = "ClientImpl";
constexpr int kReadTimeoutMs = 1000;

using MessagePtr = kv::DBusMessagePtr;
using PendingPtr = kv::DBusPendingPtr;
using kv::close_private_connection;

struct ModuleState {
    std::mutex bus_lock;
    DBusConnection* client = nullptr;                 // guarded by bus_lock
    std::atomic<ServiceSignalCallback> callback{nullptr};
    std::atomic<void*> context{nullptr};
    std::atomic<bool> running{false};
    // Listener lifecycle: written only by the starting/stopping thread.
    std::mutex lifecycle;
    pthread_t listener{};
    bool listener_started = false;                    // guarded by lifecycle
};

ModuleState& state() noexcept {
    static ModuleState s;
    return s;
}

// A referenced handle on the command connection, opened on first use. Check,
// open and store happen in one critical section so concurrent first sends
// share one connection; one that the bus dropped is replaced.
DBusConnection* acquire_client_connection() noexcept {
    ModuleState& s = state();
    std::lock_guard<std::mutex> lock(s.bus_lock);
    if (s.client != nullptr && !dbus_connection_get_is_connected(s.client)) {
        close_private_connection(s.client);
        s.client = nullptr;
    }
    if (s.client == nullptr) {
        DBusError error;
        dbus_error_init(&error);
        s.client = kv::open_private_system_bus(&error);
        if (dbus_error_is_set(&error)) {
            KV_LOG_ERROR("%s: Connection Error sendMessageToService (%s)", kComponent, error.message);
            dbus_error_free(&error);
        }
        if (s.client == nullptr)
            return nullptr;
    }
    return dbus_connection_ref(s.client);
}

struct ConnectionRef {
    DBusConnection* c;
    ~ConnectionRef() {
        if (c != nullptr)
            dbus_connection_unref(c);   // closed already or still owned by the module
    }
};

// Copies the reply's first argument into `reply` when it is a string.
void take_reply_text(DBusMessage* message, char* reply) noexcept {
    DBusMessageIter it;
    if (!dbus_message_iter_init(message, &it)) {
        KV_LOG_ERROR("%s: Message has no arguments sendMessageToService", kComponent);
        return;
    }
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING) {
        KV_LOG_ERROR("%s: Argument is not a string sendMessageToService", kComponent);
        return;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(&it, &text);
    const std::size_t n = strnlen(text, kReplyBufferSize - 1);
    std::memmove(reply, text, n);
    reply[n] = '\0';
}

void kvProcessUISignal(DBusMessage* message) noexcept {
    DBusMessageIter it;
    if (!dbus_message_iter_init(message, &it)) {
        KV_LOG_ERROR("%s: listenForServiceSignals Message Has No Parameters", kComponent);
        return;
    }
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING) {
        KV_LOG_ERROR("%s: listenForServiceSignals Argument is not string", kComponent);
        return;
    }
    const char* name = nullptr;
    dbus_message_iter_get_basic(&it, &name);
    if (name == nullptr || name[0] == '\0') {
        KV_LOG_ERROR("%s: kvProcessUISignal missing signal", kComponent);
        return;
    }
    ModuleState& s = state();
    const ServiceSignalCallback callback = s.callback.load();
    void* const context = s.context.load();
    if (callback == nullptr || context == nullptr)
        return;
    trace("received signal: %s\n", name);
    callback(context, signal_index(name));
}

// Opens the listener connection and adds the match rule; null on failure
// (logged). Holds the bus lock only while opening.
DBusConnection* open_listener_connection(bool log_failures) noexcept {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().bus_lock);
        c = kv::open_private_system_bus(&error);
    }
    if (dbus_error_is_set(&error)) {
        if (log_failures)
            KV_LOG_ERROR("%s: listenForServiceSignals Connection Error (%s)", kComponent, error.message);
        dbus_error_free(&error);
    }
    if (c == nullptr) {
        if (log_failures)
            KV_LOG_ERROR("%s: Connection Null listenForServiceSignals", kComponent);
        return nullptr;
    }
    dbus_bus_add_match(c, kSignalMatchRule, &error);
    dbus_connection_flush(c);
    if (dbus_error_is_set(&error)) {
        if (log_failures)
            KV_LOG_ERROR("%s: listenForServiceSignals Match Error (%s)", kComponent, error.message);
        dbus_error_free(&error);
        close_private_connection(c);
        return nullptr;
    }
    return c;
}

// Handles every message queued on `c`.
void drain_messages(DBusConnection* c) noexcept {
    while (MessagePtr m{dbus_connection_pop_message(c)}) {
        if (dbus_message_is_signal(m.get(), kSignalInterface, kSignalMember))
            kvProcessUISignal(m.get());
    }
}

// After the bus went away: reconnects with a back-off, noticing a stop
// within a second. Null when stopped.
DBusConnection* reconnect_listener() noexcept {
    KV_LOG_ERROR("%s: listenForServiceSignals Connection lost, reconnecting", kComponent);
    DBusConnection* c = kv::reconnect_with_backoff([] { return state().running.load(); },
                                                   [] { return open_listener_connection(false); });
    if (c != nullptr)
        KV_LOG_ERROR("%s: listenForServiceSignals Connection restored", kComponent);
    return c;
}

void* listener_thread(void*) noexcept {
    ModuleState& s = state();
    DBusConnection* c = open_listener_connection(true);
    if (c == nullptr) {
        s.running.store(false);
        return nullptr;
    }
    while (s.running.load()) {
        const bool connected = dbus_connection_read_write(c, kReadTimeoutMs);
        if (!s.running.load()) {
            KV_LOG_ERROR("%s: listenForServiceSignals shutting down", kComponent);
            break;
        }
        // Everything already queued is handled now, not one per read.
        drain_messages(c);
        if (!connected || !dbus_connection_get_is_connected(c)) {
            close_private_connection(c);
            c = reconnect_listener();
            if (c == nullptr)
                break;
        }
    }
    close_private_connection(c);
    s.running.store(false);
    return nullptr;
}

// Zero-fills `buffer` and puts `text` at its start.
void prepare_buffer(char (&buffer)[kReplyBufferSize], const char* text) noexcept {
    std::memset(buffer, 0, sizeof buffer);
    const std::size_t n = strnlen(text, kReplyBufferSize - 1);
    std::memcpy(buffer, text, n);
}

bool send_request(const char* text) noexcept {
    char buffer[kReplyBufferSize];
    prepare_buffer(buffer, text);
    return sendMessageToService(buffer, buffer) && isReplyOk(buffer);
}

// Sends a query and parses its reply; `log_name` names the wrapper in the
// "Bad reply" line, or null when a reply that does not parse is not logged.
JsonPtr send_query(const char* text, const char* log_name) noexcept {
    char buffer[kReplyBufferSize];
    prepare_buffer(buffer, text);
    if (!sendMessageToService(buffer, buffer))
        return nullptr;
    JsonPtr reply = json_parse_text(buffer);
    if (reply == nullptr && log_name != nullptr)
        KV_LOG_ERROR("%s: Bad reply back in %s", kComponent, log_name);
    return reply;
}

bool reply_ok(const json_object* reply) noexcept {
    std::string resp;
    return json_get_string(reply, kReplyResult, &resp) == 0 && resp == kReplyOk;
}

bool query_int(const char* text, const char* name, int* ret) noexcept {
    if (ret == nullptr)
        return false;
    const JsonPtr reply = send_query(text, name);
    std::int64_t value = 0;
    if (!reply_ok(reply.get()) || json_get_int64(reply.get(), kReplyValue, &value) != 0)
        return false;
    *ret = static_cast<int>(static_cast<std::uint32_t>(value));   // the low 32 bits
    return true;
}

}  // namespace

std::mutex& bus_lock() noexcept { return state().bus_lock; }

bool sendMessageToService(const char* text, char* reply) noexcept {
    if (text == nullptr)
        return false;
    KV_LOG_INFO("%s: Calling remote method with %s", kComponent, text);

    // libdbus aborts the process on a string that is not UTF-8.
    DBusError error;
    dbus_error_init(&error);
    if (!dbus_validate_utf8(text, &error)) {
        KV_LOG_ERROR("%s: Invalid UTF-8 in command sendMessageToService", kComponent);
        dbus_error_free(&error);
        return false;
    }

    ConnectionRef conn{acquire_client_connection()};
    if (conn.c == nullptr)
        return false;

    MessagePtr call{dbus_message_new_method_call(kServiceName, kCommandPath, kCommandInterface,
                                                 kCommandMethod)};
    if (call == nullptr) {
        KV_LOG_ERROR("%s: Message Null sendMessageToService", kComponent);
        return false;
    }
    if (!dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) {
        KV_LOG_ERROR("%s: Out Of Memory sendMessageToService", kComponent);
        return false;
    }

    if (reply == nullptr) {
        if (dbus_connection_send(conn.c, call.get(), nullptr))
            dbus_connection_flush(conn.c);
        else
            KV_LOG_ERROR("%s: Out Of Memory, sendMessageToService", kComponent);
        return true;
    }

    DBusPendingCall* raw_pending = nullptr;
    if (!dbus_connection_send_with_reply(conn.c, call.get(), &raw_pending, DBUS_TIMEOUT_USE_DEFAULT)) {
        KV_LOG_ERROR("%s: Out Of Memory sendMessageToService", kComponent);
        return false;
    }
    PendingPtr pending{raw_pending};
    if (pending == nullptr) {
        KV_LOG_ERROR("%s: Pending Call Null sendMessageToService", kComponent);
        return false;
    }
    dbus_connection_flush(conn.c);
    call.reset();
    dbus_pending_call_block(pending.get());
    MessagePtr answer{dbus_pending_call_steal_reply(pending.get())};
    if (answer == nullptr) {
        KV_LOG_ERROR("%s: Reply Null sendMessageToService", kComponent);
        return false;
    }
    take_reply_text(answer.get(), reply);
    return true;
}

bool listenForServiceSignals(ServiceSignalCallback callback, void* context) noexcept {
    ModuleState& s = state();
    if (callback == nullptr || context == nullptr) {
        KV_LOG_ERROR("%s: Invalid cb or user_data parameters", kComponent);
        return false;
    }
    std::lock_guard<std::mutex> life(s.lifecycle);
    {
        std::lock_guard<std::mutex> lock(s.bus_lock);
        if (s.client != nullptr || s.listener_started) {
            KV_LOG_ERROR("%s: Client DBus connection already established", kComponent);
            return false;
        }
        DBusError error;
        dbus_error_init(&error);
        s.client = kv::open_private_system_bus(&error);
        if (dbus_error_is_set(&error)) {
            KV_LOG_ERROR("%s: DBus Connection Error (%s)", kComponent, error.message);
            dbus_error_free(&error);
        }
        if (s.client == nullptr)
            return false;
    }
    s.callback.store(callback);
    s.context.store(context);
    // Set before the thread exists, so a stop that comes first is not lost.
    s.running.store(true);
    if (pthread_create(&s.listener, nullptr, listener_thread, nullptr) != 0) {
        KV_LOG_ERROR("%s: Listener thread creation failed", kComponent);
        s.running.store(false);
        return true;
    }
    s.listener_started = true;
    return true;
}

void clearServiceSignalCallback() noexcept { state().callback.store(nullptr); }

void stopServiceClient() noexcept {
    ModuleState& s = state();
    std::lock_guard<std::mutex> life(s.lifecycle);
    s.running.store(false);
    // A started thread is joined exactly once, also when it ended by itself.
    if (s.listener_started) {
        (void)pthread_join(s.listener, nullptr);
        s.listener_started = false;
    }
    DBusConnection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.bus_lock);
        c = s.client;
        s.client = nullptr;
    }
    close_private_connection(c);
}

bool queryDriverConnected(int* ret_connected) noexcept {
    return query_int(kCmdDriverConnected, "queryDriverConnected", ret_connected);
}

bool getLogLevel(int* ret_level) noexcept {
    return query_int(kCmdGetLogLevel, "getLogLevel", ret_level);
}

bool setLogLevel(std::uint32_t level) noexcept {
    char text[kReplyBufferSize];
    (void)std::snprintf(text, sizeof text, kFmtSetLogLevel, level);
    return send_request(text);
}

bool getPolicyTime(std::string* ret_time) noexcept {
    if (ret_time == nullptr)
        return false;
    const JsonPtr reply = send_query(kCmdPolicyTime, nullptr);
    std::string value;
    if (!reply_ok(reply.get()) || json_get_string(reply.get(), kReplyValue, &value) != 0)
        return false;
    *ret_time = std::move(value);
    return true;
}

bool getPolicyInfo(char* buffer, std::size_t* size, bool* ret_notify, bool* ret_local) noexcept {
    if (buffer == nullptr || size == nullptr || *size == 0 || ret_notify == nullptr ||
        ret_local == nullptr)
        return false;
    const JsonPtr reply = send_query(kCmdPolicyInfo, nullptr);
    std::string resp, name, mode, notify;
    if (json_get_string(reply.get(), kReplyResult, &resp) != 0 ||
        json_get_string(reply.get(), "PNAME", &name) != 0 ||
        json_get_string(reply.get(), "PMODE", &mode) != 0 ||
        json_get_string(reply.get(), "PNOTF", &notify) != 0 || resp != kReplyOk)
        return false;
    const int full = std::snprintf(buffer, *size, "%s (%s)", name.c_str(), mode.c_str());
    *size = full < 0 ? 0 : static_cast<std::size_t>(full);
    *ret_notify = notify.compare(0, 2, "OK") == 0;
    *ret_local = mode.compare(0, 12, "Local Policy") == 0;
    return true;
}

bool requestPolicyCheck() noexcept { return send_request(kCmdPolicyCheck); }

bool requestUpdateCheck() noexcept {
    KV_LOG_INFO("Sending check for updates message");
    return sendMessageToService(kCmdUpdateCheck, nullptr);
}

bool startBackgroundScan() noexcept { return send_request(kCmdScanStart); }

bool stopBackgroundScan() noexcept { return send_request(kCmdScanStop); }

bool requestDirectoryScan(const char* path) noexcept {
    if (path == nullptr)
        return false;
    // Inserted values are escaped: a crafted directory name must not add
    // members (a second "CMD_") to the command.
    const std::string value = json_escape_value(path);
    const int length =
        std::snprintf(nullptr, 0, kFmtScanDirectory, kCommandMember, "SCAN", "START", value.c_str());
    if (length < 0 || static_cast<std::size_t>(length) > kMaxCommandLength)
        return false;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    (void)std::snprintf(text.data(), text.size(), kFmtScanDirectory, kCommandMember, "SCAN", "START", value.c_str());
    char reply[kReplyBufferSize] = {};
    return sendMessageToService(text.c_str(), reply) && isReplyOk(reply);
}

bool sendThreatAction(const char* action, const char* id) noexcept {
    if (action == nullptr || id == nullptr)
        return false;
    char upper[kReplyBufferSize] = {};
    for (std::size_t i = 0; i < kReplyBufferSize - 1 && id[i] != '\0'; ++i)
        upper[i] = (id[i] >= 'a' && id[i] <= 'z') ? static_cast<char>(id[i] - 'a' + 'A') : id[i];
    const std::string action_value = json_escape_value(action);
    const std::string id_value = json_escape_value(upper);
    const int length = std::snprintf(nullptr, 0, kFmtThreatAction, action_value.c_str(), id_value.c_str());
    if (length <= 0)
        return false;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    (void)std::snprintf(text.data(), text.size(), kFmtThreatAction, action_value.c_str(), id_value.c_str());
    return sendMessageToService(text.c_str(), upper) && isReplyOk(upper);
}

bool quarantineThreat(const char* id) noexcept { return sendThreatAction("QUARANTINE", id); }

bool waiveThreat(const char* id) noexcept { return sendThreatAction("WAIVE", id); }

}  // namespace kv::svc
