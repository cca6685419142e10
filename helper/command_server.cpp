// D-Bus command server. Three private system-bus connections: the listener's
// (owns the name, receives requests and signals; used only by the listener
// thread), the sender-query one (listener thread, and start/stop while no
// listener runs) and the broadcast one (under the connection mutex).
#include "command_server.hpp"

#include <dbus/dbus.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_dispatch.hpp"
#include "command_table.hpp"
#include "dbus_handles.hpp"
#include "log.hpp"
#include "sender_cache.hpp"
#include "utf8_text.hpp"

namespace kv::helper {
namespace {

constexpr char kServerImpl[] = "ServerImpl";
constexpr char kListen[] = "listenForUIRequests";
constexpr char kVerify[] = "serverimpl_verify_msg_sender";
constexpr char kReply[] = "reply_to_method_call";

constexpr char kServiceName[] = "com.korvane.agent_server.command_listen";
constexpr char kCommandInterface[] = "com.korvane.agent_server.command";
constexpr char kCommandMethod[] = "command_method";
constexpr char kSignalPath[] = "/com/korvane/agent_server/signal";
constexpr char kSignalInterface[] = "com.korvane.agent_server.signal";
constexpr char kSignalMember[] = "Broadcast";
constexpr char kNetworkManagerInterface[] = "org.freedesktop.NetworkManager";
constexpr char kNetworkManagerExe[] = "/usr/sbin/NetworkManager";
constexpr const char* kMatchRules[] = {
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
    "type='signal',path='/org/freedesktop/NetworkManager',interface='org.freedesktop.NetworkManager',"
    "member='StateChanged'",
    "type='signal',path='/org/freedesktop/NetworkManager',interface='org.freedesktop.NetworkManager',"
    "member='PropertiesChanged'",
};
constexpr int kReadTimeoutMs = 1000;

using MessagePtr = kv::DBusMessagePtr;
using PendingPtr = kv::DBusPendingPtr;
using kv::close_private_connection;

struct ServerState {
    std::mutex library;        // the library mutex
    std::mutex connection;     // listener set-up, name request, broadcast connection, network state
    std::mutex callbacks;      // the two network callbacks, held while one runs
    std::mutex lifecycle;      // serialises start and stop

    DBusConnection* ServerImpl_Auth_Conn = nullptr;
    DBusConnection* ServerImpl_SignalUI_Conn = nullptr;   // guarded by `connection`
    std::atomic<KvSenderVerifier> SenderVerifier{nullptr};
    // Set by stop, read by the listener; cleared by start before the thread
    // exists, so a stop that comes first is never lost.
    std::atomic<bool> stop_requested{false};
    // 1 while the listener serves: broadcasts are sent only then.
    std::atomic<bool> serving{false};
    pthread_t listener{};
    bool listener_started = false;                        // guarded by `lifecycle`
    std::uint32_t last_network_state = 0;                 // guarded by `connection`
    KvNetworkStateChangeFunc gNetworkStateChangeFunc = nullptr;   // guarded by `callbacks`
    KvAddressChangeFunc gAddressChangeFunc = nullptr;             // guarded by `callbacks`
    SenderCache cache;                                    // listener thread, or start before it
};

ServerState& state() noexcept {
    static ServerState s;
    return s;
}

// Makes `c` a connected private connection, reopening it when needed.
bool ensure_connected(DBusConnection*& c) noexcept {
    if (c != nullptr && dbus_connection_get_is_connected(c))
        return true;
    close_private_connection(c);
    DBusError error;
    dbus_error_init(&error);
    c = kv::open_private_system_bus(&error);
    dbus_error_free(&error);
    return c != nullptr;
}

// Opens the listener connection, takes the name and adds the match rules;
// null on failure, logged when `log_failures`.
DBusConnection* open_listener_connection(bool log_failures) noexcept {
    ServerState& s = state();
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.connection);
        c = kv::open_private_system_bus(&error);
    }
    if (dbus_error_is_set(&error)) {
        if (log_failures)
            KV_LOG_ERROR("%s:%s: Connection Error (%s)", kServerImpl, kListen, error.message);
        dbus_error_free(&error);
    }
    if (c == nullptr) {
        if (log_failures)
            KV_LOG_ERROR("%s:%s:Connection Null", kServerImpl, kListen);
        return nullptr;
    }
    int owner = 0;
    {
        std::lock_guard<std::mutex> lock(s.connection);
        owner = dbus_bus_request_name(c, kServiceName, DBUS_NAME_FLAG_REPLACE_EXISTING, &error);
    }
    if (dbus_error_is_set(&error)) {
        if (log_failures)
            KV_LOG_ERROR("%s:Name Error listenForUIRequests(%s)", kServerImpl, error.message);
        dbus_error_free(&error);
    }
    if (owner != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER && owner != DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER) {
        if (log_failures)
            KV_LOG_ERROR("%s:Not Primary Owner listenForUIRequests(%d)", kServerImpl, owner);
        close_private_connection(c);
        return nullptr;
    }
    for (const char* rule : kMatchRules) {
        dbus_bus_add_match(c, rule, &error);
        if (dbus_error_is_set(&error)) {
            if (log_failures)
                KV_LOG_ERROR("%s:Add match failed(%s)", kServerImpl, error.message);
            dbus_error_free(&error);
            close_private_connection(c);
            return nullptr;
        }
    }
    dbus_connection_flush(c);
    return c;
}

// Asks the bus daemon for the sender's process id; 0 when unknown.
std::uint32_t sender_process_id(const char* sender) noexcept {
    ServerState& s = state();
    MessagePtr call{dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "GetConnectionUnixProcessID")};
    if (call == nullptr) {
        KV_LOG_ERROR("%s:Failed to create message for org.freedesktop.DBus.GetConnectionUnixProcessID()",
                     kServerImpl);
        return 0;
    }
    if (!dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID)) {
        KV_LOG_ERROR("%s:Failed to append sender address(%s) to message", kServerImpl, sender);
        return 0;
    }
    DBusPendingCall* raw = nullptr;
    if (!dbus_connection_send_with_reply(s.ServerImpl_Auth_Conn, call.get(), &raw, DBUS_TIMEOUT_USE_DEFAULT)) {
        KV_LOG_ERROR("%s:Failed to send message", kServerImpl);
        return 0;
    }
    PendingPtr pending{raw};
    if (pending == nullptr) {
        KV_LOG_ERROR("%s:Pending call NULL", kServerImpl);
        return 0;
    }
    dbus_connection_flush(s.ServerImpl_Auth_Conn);
    dbus_pending_call_block(pending.get());
    MessagePtr reply{dbus_pending_call_steal_reply(pending.get())};
    if (reply == nullptr) {
        KV_LOG_ERROR("%s:Reply NULL", kServerImpl);
        return 0;
    }
    DBusMessageIter it;
    if (!dbus_message_iter_init(reply.get(), &it)) {
        KV_LOG_ERROR("%s:Reply has no arguments", kServerImpl);
        return 0;
    }
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_UINT32) {
        KV_LOG_ERROR("%s:Reply argument not UINT32", kServerImpl);
        return 0;
    }
    dbus_uint32_t pid = 0;
    dbus_message_iter_get_basic(&it, &pid);
    return pid;
}

bool is_network_manager_signal(DBusMessage* m) noexcept {
    return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
           dbus_message_has_interface(m, kNetworkManagerInterface);
}

// serverimpl_verify_msg_sender: may the listener act on this message?
bool verify_sender(DBusMessage* m) noexcept {
    ServerState& s = state();
    const KvSenderVerifier verifier = s.SenderVerifier.load();
    const char* sender = dbus_message_get_sender(m);
    if (verifier == nullptr || sender == nullptr)
        return false;
    if (s.cache.contains(sender))
        return true;
    if (!ensure_connected(s.ServerImpl_Auth_Conn)) {
        KV_LOG_ERROR("%s:%s: Failed to reconnect to DBus", kServerImpl, kVerify);
        return false;
    }
    const std::uint32_t pid = sender_process_id(sender);
    if (pid == 0)
        return false;
    char link[32];
    (void)std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
    char resolved[PATH_MAX];
    const bool is_network_manager =
        realpath(link, resolved) != nullptr && std::strcmp(resolved, kNetworkManagerExe) == 0;
    // NetworkManager's daemon is trusted for its own signals only, and is not
    // remembered: a method call from that process goes to the verifier.
    if (is_network_manager && is_network_manager_signal(m))
        return true;
    if (!verifier(link))
        return false;
    (void)s.cache.add(sender);   // a full cache trusts without remembering
    return true;
}

void reply_to_method_call(DBusConnection* c, DBusMessage* m) noexcept {
    DBusMessageIter it;
    if (!dbus_message_iter_init(m, &it)) {
        KV_LOG_ERROR("%s:Message has no arguments!", kServerImpl);
        return;
    }
    if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING) {
        KV_LOG_ERROR("%s:Argument is not string!", kServerImpl);
        return;
    }
    const char* request = nullptr;
    dbus_message_iter_get_basic(&it, &request);
    const std::size_t request_length = std::strlen(request);

    CommandBuffer buffer;
    if (buffer.load(request, request_length) < 0) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call error allocating dbusMessage of length %zu", kServerImpl,
                     kReply, request_length);
        return;
    }
    char code[kCommandCodeSize];
    if (extract_command_code(buffer.data(), code) < 0) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call error parsing command from message", kServerImpl, kReply);
        return;
    }
    const KvCommandHandler handler = command_table_find(code);
    if (handler == nullptr) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call error finding callback for command '%.16s'", kServerImpl,
                     kReply, code);
        return;
    }
    std::size_t reply_length = 0;
    if (run_handler(handler, request, request_length, buffer, &reply_length) < 0) {
        KV_LOG_ERROR("%s:%s: reply_to_method_call error allocating dbusMessage of length %zu", kServerImpl,
                     kReply, kMaxCommandBytes);
        return;
    }
    if (dbus_message_get_no_reply(m))
        return;
    char* reply = buffer.data();
    reply_length = strnlen(reply, reply_length);
    if (repair_utf8(reply, &reply_length))
        KV_LOG_ERROR("%s:%s: reply_to_method_call repaired invalid UTF-8 in the reply to '%.16s'", kServerImpl,
                     kReply, code);

    MessagePtr answer{dbus_message_new_method_return(m)};
    if (answer == nullptr) {
        KV_LOG_ERROR("%s:Out Of Memory in reply_to_method_call, dbus_message_new_method_return", kServerImpl);
        return;
    }
    DBusMessageIter out;
    dbus_message_iter_init_append(answer.get(), &out);
    if (!dbus_message_iter_append_basic(&out, DBUS_TYPE_STRING, &reply)) {
        KV_LOG_ERROR("%s:Out Of Memory in reply_to_method_call, dbus_message_iter_append_basic", kServerImpl);
        return;
    }
    if (!dbus_connection_send(c, answer.get(), nullptr)) {
        KV_LOG_ERROR("%s:Out Of Memory in reply_to_method_call, dbus_connection_send", kServerImpl);
        return;
    }
}

void network_state_changed(std::uint32_t new_state) noexcept {
    ServerState& s = state();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(s.connection);
        changed = new_state != s.last_network_state;
        s.last_network_state = new_state;
    }
    if (!changed)
        return;
    const bool connected = new_state == 3 || new_state == 70;   // older and newer "connected" values
    std::lock_guard<std::mutex> lock(s.callbacks);
    if (s.gNetworkStateChangeFunc != nullptr)
        s.gNetworkStateChangeFunc(connected);
}

void handle_name_owner_changed(DBusMessage* m) noexcept {
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    DBusError error;
    dbus_error_init(&error);
    if (dbus_message_get_args(m, &error, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                              DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID)) {
        if (old_owner[0] != '\0' && new_owner[0] == '\0')
            state().cache.remove(old_owner);
    }
    dbus_error_free(&error);
}

void handle_message(DBusConnection* c, DBusMessage* m) noexcept {
    if (!verify_sender(m))
        return;   // dropped without reply
    if (dbus_message_is_method_call(m, kCommandInterface, kCommandMethod)) {
        reply_to_method_call(c, m);
    } else if (dbus_message_is_signal(m, "org.freedesktop.DBus", "NameOwnerChanged")) {
        const char* sender = dbus_message_get_sender(m);
        if (sender != nullptr && std::strcmp(sender, kBusDaemonName) == 0)
            handle_name_owner_changed(m);
    } else if (dbus_message_is_signal(m, kNetworkManagerInterface, "StateChanged")) {
        DBusMessageIter it;
        if (dbus_message_iter_init(m, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UINT32) {
            dbus_uint32_t value = 0;
            dbus_message_iter_get_basic(&it, &value);
            network_state_changed(value);
        }
    } else if (dbus_message_is_signal(m, kNetworkManagerInterface, "PropertiesChanged")) {
        ServerState& s = state();
        std::lock_guard<std::mutex> lock(s.callbacks);
        if (s.gAddressChangeFunc != nullptr)
            s.gAddressChangeFunc();
    }
}

// dbus_connection_send writes each reply at once as far as the socket takes
// it; the flush, once the messages read so far are handled rather than after
// every reply, only waits for what the socket did not take (with 8 clients
// a flush per reply cost about 7 % of the throughput).
void drain_messages(DBusConnection* c) noexcept {
    while (MessagePtr m{dbus_connection_pop_message(c)})
        handle_message(c, m.get());
    dbus_connection_flush(c);
}

// After the bus went away: back-off until the name and the match rules are
// in place again; null once a stop was requested.
DBusConnection* reconnect_listener() noexcept {
    KV_LOG_ERROR("%s:%s: Connection lost, reconnecting", kServerImpl, kListen);
    DBusConnection* c = kv::reconnect_with_backoff([] { return !state().stop_requested.load(); },
                                                   [] { return open_listener_connection(false); });
    if (c != nullptr)
        KV_LOG_ERROR("%s:%s: Connection restored", kServerImpl, kListen);
    return c;
}

// True when the bus no longer knows `sender` (or cannot say): its entry
// is stale and a later message from that name is verified afresh.
bool sender_gone(const char* sender, void* listener) noexcept {
    DBusError error;
    dbus_error_init(&error);
    const bool owned = dbus_bus_name_has_owner(static_cast<DBusConnection*>(listener), sender, &error);
    dbus_error_free(&error);
    return !owned;
}

void* listenForUIRequests(void*) noexcept {
    ServerState& s = state();
    DBusConnection* c = open_listener_connection(true);
    if (c == nullptr)
        return nullptr;   // ends by itself; the server holds its connections but never serves
    // Clients that left while no listener ran (or whose NameOwnerChanged was
    // still queued at the last stop) would hold their entries for good and
    // leave every later client to be verified on each message. With the
    // match rules in place, a name leaving from now on is seen as a signal.
    s.cache.remove_gone(kBusDaemonName, sender_gone, c);
    s.serving.store(true);
    while (!s.stop_requested.load()) {
        const bool connected = dbus_connection_read_write(c, kReadTimeoutMs);
        if (s.stop_requested.load()) {
            KV_LOG_ERROR("%s:%s:shutting down", kServerImpl, kListen);
            break;
        }
        drain_messages(c);
        if (!connected || !dbus_connection_get_is_connected(c)) {
            close_private_connection(c);
            // Unique names of the old bus mean nothing on the new one, and
            // the other two connections are reopened on their next use (they
            // may not have noticed the disconnect yet).
            s.cache.clear_except(kBusDaemonName);
            close_private_connection(s.ServerImpl_Auth_Conn);
            {
                std::lock_guard<std::mutex> lock(s.connection);
                close_private_connection(s.ServerImpl_SignalUI_Conn);
            }
            c = reconnect_listener();
            if (c == nullptr)
                break;
        }
    }
    s.serving.store(false);
    close_private_connection(c);
    return nullptr;
}

void init_once() noexcept { state().cache.reset(); }

}  // namespace

std::mutex& library_mutex() noexcept { return state().library; }

int start_server(KvSenderVerifier verifier) noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> life(s.lifecycle);
    if (verifier != nullptr)
        s.SenderVerifier.store(verifier);
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    (void)pthread_once(&once, init_once);
    if (s.listener_started || s.ServerImpl_Auth_Conn != nullptr) {
        KV_LOG_ERROR("%s:DBus listener already started... call StopServer() first", kServerImpl);
        return -1;
    }
    // Added once: repeated starts must not use up the cache.
    if (s.cache.add_once(kBusDaemonName) != 0) {
        KV_LOG_ERROR("%s:Failed to add DBus to authenticated list", kServerImpl);
        return -1;
    }
    DBusError error;
    dbus_error_init(&error);
    s.ServerImpl_Auth_Conn = kv::open_private_system_bus(&error);
    if (s.ServerImpl_Auth_Conn == nullptr || dbus_error_is_set(&error)) {
        KV_LOG_ERROR("%s:Failed to get private bus: auth", kServerImpl);
        dbus_error_free(&error);
        close_private_connection(s.ServerImpl_Auth_Conn);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(s.connection);
        s.ServerImpl_SignalUI_Conn = kv::open_private_system_bus(&error);
        if (s.ServerImpl_SignalUI_Conn == nullptr || dbus_error_is_set(&error)) {
            KV_LOG_ERROR("%s:Failed to get private bus: signalui", kServerImpl);
            dbus_error_free(&error);
            close_private_connection(s.ServerImpl_SignalUI_Conn);
            close_private_connection(s.ServerImpl_Auth_Conn);
            return -1;
        }
    }
    s.stop_requested.store(false);
    if (pthread_create(&s.listener, nullptr, listenForUIRequests, nullptr) != 0) {
        KV_LOG_ERROR("%s:Listener thread creation failed", kServerImpl);
        close_private_connection(s.ServerImpl_Auth_Conn);
        std::lock_guard<std::mutex> lock(s.connection);
        close_private_connection(s.ServerImpl_SignalUI_Conn);
        return -1;
    }
    s.listener_started = true;
    return 0;
}

void stop_server() noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> life(s.lifecycle);
    s.stop_requested.store(true);
    if (s.listener_started) {
        (void)pthread_join(s.listener, nullptr);   // exactly once per started thread
        s.listener_started = false;
    }
    s.serving.store(false);
    close_private_connection(s.ServerImpl_Auth_Conn);
    {
        std::lock_guard<std::mutex> lock(s.connection);
        close_private_connection(s.ServerImpl_SignalUI_Conn);
    }
    command_table_clear();
}

int set_command_callback(const char* command, KvCommandHandler handler) noexcept {
    if (command == nullptr || handler == nullptr) {
        KV_LOG_ERROR("%s:%s: Setting callback function failed, missing parameter", kServerImpl, kServerImpl);
        return -2;
    }
    if (command_table_add(command, handler) < 0)
        return -1;
    KV_LOG_ERROR("%s:%s: SetServerCallbackForCommand: command = '%.16s', address = %p", kServerImpl, kServerImpl,
                 command, reinterpret_cast<void*>(handler));
    return 0;
}

void signal_ui(const char* text) noexcept {
    if (text == nullptr)
        return;
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.connection);
    if (!s.serving.load())
        return;
    if (!ensure_connected(s.ServerImpl_SignalUI_Conn)) {
        KV_LOG_ERROR("%s:No Connection SignalUI", kServerImpl);
        return;
    }
    MessagePtr signal{dbus_message_new_signal(kSignalPath, kSignalInterface, kSignalMember)};
    if (signal == nullptr) {
        KV_LOG_ERROR("%s:Message Null", kServerImpl);
        return;
    }
    // libdbus aborts on a string that is not UTF-8: send a repaired copy.
    char* repaired = nullptr;
    const char* payload = text;
    if (!dbus_validate_utf8(text, nullptr)) {
        std::size_t length = std::strlen(text);
        repaired = static_cast<char*>(std::malloc(length + 1));
        if (repaired == nullptr) {
            KV_LOG_ERROR("%s:Out Of Memory SignalUI, dbus_message_iter_append_basic!", kServerImpl);
            return;
        }
        std::memcpy(repaired, text, length + 1);
        (void)repair_utf8(repaired, &length);
        KV_LOG_ERROR("%s:SignalUI repaired invalid UTF-8 in the broadcast", kServerImpl);
        payload = repaired;
    }
    DBusMessageIter it;
    dbus_message_iter_init_append(signal.get(), &it);
    const bool appended = dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &payload);
    std::free(repaired);
    if (!appended) {
        KV_LOG_ERROR("%s:Out Of Memory SignalUI, dbus_message_iter_append_basic!", kServerImpl);
        return;
    }
    if (!dbus_connection_send(s.ServerImpl_SignalUI_Conn, signal.get(), nullptr)) {
        KV_LOG_ERROR("%s:Out Of Memory SignalUI, dbus_connection_send!", kServerImpl);
        return;
    }
    dbus_connection_flush(s.ServerImpl_SignalUI_Conn);
}

int broadcast_with_no_reply(const char* data, std::size_t length) noexcept {
    if (data == nullptr && length > 0)
        return -1;
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr)
        return -1;
    if (length > 0)
        std::memcpy(text, data, length);
    text[length] = '\0';
    signal_ui(text);
    std::free(text);
    return 0;
}

int register_network_state_change(KvNetworkStateChangeFunc func) noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.callbacks);
    if (func == nullptr || s.gNetworkStateChangeFunc != nullptr)
        return 0;
    s.gNetworkStateChangeFunc = func;
    return 1;
}

void unregister_network_state_change() noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.callbacks);   // waits for a call in progress
    s.gNetworkStateChangeFunc = nullptr;
}

int register_address_change(KvAddressChangeFunc func) noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.callbacks);
    if (func == nullptr || s.gAddressChangeFunc != nullptr)
        return 0;
    s.gAddressChangeFunc = func;
    return 1;
}

void unregister_address_change() noexcept {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.callbacks);
    s.gAddressChangeFunc = nullptr;
}

}  // namespace kv::helper
