// The command server on a private system bus, end to end: sender
// verification and its cache, command dispatch, reply sizes, broadcasts,
// NetworkManager signals, restarts and a bus that goes away.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client_impl.hpp"
#include "kvhelper.h"
#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "syslog_recorder.hpp"

namespace {

using namespace std::chrono_literals;

kv::test::PrivateBus& system_bus() { return kv::test::shared_system_bus(); }
[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

// What the verifier saw and decides.
std::atomic<int> g_verifier_calls{0};
std::atomic<bool> g_trust{true};
std::mutex g_verifier_mutex;
std::string g_last_link;
bool verifier(const char* link) {
    ++g_verifier_calls;
    std::lock_guard<std::mutex> lock(g_verifier_mutex);
    g_last_link = link;
    return g_trust.load();
}

// Handlers.
void echo_handler(char* buffer, int, int* length) { *length = static_cast<int>(std::strlen(buffer)); }
void ok_handler(char* buffer, int capacity, int* length) {
    *length = std::snprintf(buffer, static_cast<std::size_t>(capacity), R"({"RESP":"OK","VALU":1})");
}
void later_handler(char* buffer, int capacity, int* length) {
    *length = std::snprintf(buffer, static_cast<std::size_t>(capacity), R"({"RESP":"OK","VALU":2})");
}
std::atomic<int> g_big_calls{0};
void big_handler(char* buffer, int capacity, int* length) {
    ++g_big_calls;
    if (capacity < 10000) {
        *length = 10000;
        return;
    }
    std::memset(buffer, 'b', 10000);
    *length = 10000;
}
void huge_handler(char* buffer, int capacity, int* length) {
    std::memset(buffer, 'h', static_cast<std::size_t>(capacity));
    *length = 6 * 1024 * 1024;
}
void bad_utf8_handler(char* buffer, int capacity, int* length) {
    *length = std::snprintf(buffer, static_cast<std::size_t>(capacity), "{\"RESP\":\"OK\",\"X\":\"a\xff" "b\xe2\x82\"}");
    // capacity cut: the last character is split
    *length -= 2;
    buffer[*length] = '\0';
}

std::atomic<int> g_state_true{0}, g_state_false{0}, g_address_calls{0};
void on_state(bool connected) { ++(connected ? g_state_true : g_state_false); }
void on_address() { ++g_address_calls; }

// A client connection of its own: its unique name is what the server caches.
class RawClient {
public:
    RawClient() {
        DBusError error;
        dbus_error_init(&error);
        conn_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        dbus_error_free(&error);
        if (conn_ != nullptr)
            dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    }
    ~RawClient() { close(); }
    void close() {
        if (conn_ == nullptr)
            return;
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }
    std::optional<std::string> call(const std::string& text, int timeout_ms = 1000) {
        if (conn_ == nullptr)
            return std::nullopt;
        DBusMessage* m = dbus_message_new_method_call(kv::svc::kServiceName, "/", kv::svc::kCommandInterface,
                                                      kv::svc::kCommandMethod);
        const char* t = text.c_str();
        dbus_message_append_args(m, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn_, m, timeout_ms, &error);
        dbus_message_unref(m);
        dbus_error_free(&error);
        if (reply == nullptr)
            return std::nullopt;
        const char* answer = nullptr;
        std::optional<std::string> out;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID))
            out = answer;
        dbus_message_unref(reply);
        return out;
    }

private:
    DBusConnection* conn_ = nullptr;
};

// Broadcast receiver through the service client's listener.
struct Received {
    std::mutex mutex;
    std::vector<int> indices;
    static void callback(void* context, int index) {
        auto* self = static_cast<Received*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->indices.push_back(index);
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return indices.size();
    }
};

class CommandServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = kv::test::shared_syslog();
        ASSERT_NE(log_, nullptr) << "run through tests/harness/nsrun.sh";
        if (!system_bus().running()) {
            ASSERT_EQ(system_bus().start(), 0);
        }
        g_verifier_calls = 0;
        g_trust = true;
        kv::svc::setTracePrinter(nullptr);
    }
    void TearDown() override {
        kv::svc::clearServiceSignalCallback();
        kv::svc::stopServiceClient();
        KvStopServer();
        KvUnRegisterNetworkStateChange();
        KvUnRegisterAddressChange();
    }

    // Starts the server with the echo handler for "ECHO" and waits until it
    // answers.
    void start_serving() {
        ASSERT_EQ(KvSetServerCallbackForCommand("ECHO", echo_handler), 0);
        ASSERT_EQ(KvStartServerLinux(verifier), 0);
        RawClient probe;
        // Until the listener owns the name calls fail at once: poll with a
        // deadline, not a count (the emulated build is much slower).
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (probe.call(R"({ "CMD_":"ECHO" })", 500))
                return;
            std::this_thread::sleep_for(20ms);
        }
        FAIL() << "server never answered";
    }

    bool logged(const std::string& message) { return log_->wait_for(message, 3s); }

    kv::test::SyslogRecorder* log_ = nullptr;
};

TEST_F(CommandServerTest, DispatchesByCodeNewestHandlerWinsAndRepliesThroughTheClient) {
    ASSERT_EQ(KvSetServerCallbackForCommand("GLOG", ok_handler), 0);
    ASSERT_EQ(KvSetServerCallbackForCommand("GLOG", later_handler), 0);
    EXPECT_EQ(findCallbackForKey("GLOG"), &later_handler);
    EXPECT_EQ(findCallbackForKey("GLOX"), nullptr);
    start_serving();
    int level = 0;
    EXPECT_TRUE(kv::svc::getLogLevel(&level));
    EXPECT_EQ(level, 2);
    std::lock_guard<std::mutex> lock(g_verifier_mutex);
    EXPECT_EQ(g_last_link, "/proc/" + std::to_string(getpid()) + "/exe");
}

// Handlers that hold the listener until the test lets them go, one by one.
std::mutex g_slow_mutex;
std::condition_variable g_slow_cv;
int g_slow_entered = 0;
int g_slow_released = 0;
void slow_handler(char* buffer, int, int* length) {
    std::unique_lock<std::mutex> lock(g_slow_mutex);
    const int index = g_slow_entered++;
    g_slow_cv.notify_all();
    g_slow_cv.wait_for(lock, 5s, [index] { return g_slow_released > index; });
    *length = static_cast<int>(std::strlen(buffer));
}
bool slow_handlers_entered(int n) {
    std::unique_lock<std::mutex> lock(g_slow_mutex);
    return g_slow_cv.wait_for(lock, 3s, [n] { return g_slow_entered >= n; });
}
void release_slow_handlers(int n) {
    std::lock_guard<std::mutex> lock(g_slow_mutex);
    g_slow_released = n;
    g_slow_cv.notify_all();
}

// Two calls that reach the listener together while it is busy: the first
// one's reply leaves before the slow command behind it has finished, not
// when the listener is done with both.
TEST_F(CommandServerTest, AReplyIsNotHeldBackByASlowCommandReadWithIt) {
    ASSERT_EQ(KvSetServerCallbackForCommand("SLOW", slow_handler), 0);
    start_serving();
    {
        std::lock_guard<std::mutex> lock(g_slow_mutex);
        g_slow_entered = g_slow_released = 0;
    }
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    ASSERT_NE(c, nullptr);
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    auto send = [c](const char* text) {
        DBusMessage* m = dbus_message_new_method_call(kv::svc::kServiceName, "/", kv::svc::kCommandInterface,
                                                      kv::svc::kCommandMethod);
        dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        DBusPendingCall* pending = nullptr;
        EXPECT_TRUE(dbus_connection_send_with_reply(c, m, &pending, 10000));
        dbus_message_unref(m);
        dbus_connection_flush(c);
        return pending;
    };
    DBusPendingCall* first_slow = send(R"({ "CMD_":"SLOW" })");
    EXPECT_TRUE(slow_handlers_entered(1));
    DBusPendingCall* echo = send(R"({ "CMD_":"ECHO" })");
    DBusPendingCall* second_slow = send(R"({ "CMD_":"SLOW" })");
    std::this_thread::sleep_for(200ms);   // both wait in the listener's socket
    release_slow_handlers(1);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!dbus_pending_call_get_completed(echo) && std::chrono::steady_clock::now() < deadline)
        (void)dbus_connection_read_write_dispatch(c, 50);
    const bool echo_answered = dbus_pending_call_get_completed(echo);
    const bool second_answered = dbus_pending_call_get_completed(second_slow);
    EXPECT_TRUE(slow_handlers_entered(2));
    release_slow_handlers(2);
    dbus_pending_call_block(second_slow);
    EXPECT_TRUE(echo_answered && !second_answered) << "the reply waited for the slow command behind it";
    for (DBusPendingCall* p : {first_slow, echo, second_slow}) {
        DBusMessage* reply = dbus_pending_call_steal_reply(p);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(dbus_message_get_type(reply), DBUS_MESSAGE_TYPE_METHOD_RETURN);
        dbus_message_unref(reply);
        dbus_pending_call_unref(p);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

TEST_F(CommandServerTest, RegistrationChecksArgumentsAndBoundsCodesBy16Bytes) {
    EXPECT_EQ(KvSetServerCallbackForCommand(nullptr, ok_handler), -2);
    EXPECT_EQ(KvSetServerCallbackForCommand("GLOG", nullptr), -2);
    EXPECT_TRUE(logged("ServerImpl:ServerImpl: Setting callback function failed, missing parameter"));
    EXPECT_EQ(KvSetServerCallbackForCommand("ABCDEFGHIJKLMNOPQRST", ok_handler), 0);
    EXPECT_EQ(findCallbackForKey("ABCDEFGHIJKLMNOP"), &ok_handler);   // compared over 16 bytes
    EXPECT_EQ(findCallbackForKey("ABCDEFGHIJKLMNOPxyz"), &ok_handler);
    EXPECT_EQ(findCallbackForKey("ABCDEFGHIJKLMNO"), nullptr);
    ASSERT_TRUE(log_->wait_for("ServerImpl:ServerImpl: SetServerCallbackForCommand: command = "
                               "'ABCDEFGHIJKLMNOP', address = " +
                                   std::string([] {
                                       char p[32];
                                       std::snprintf(p, sizeof p, "%p", reinterpret_cast<void*>(ok_handler));
                                       return std::string(p);
                                   }()),
                               3s));
}

TEST_F(CommandServerTest, MalformedCommandsGetNoReplyAndAreLogged) {
    start_serving();
    RawClient client;
    const char* bad[] = {R"({ "cmd_":"ECHO" })", R"({ "CMD_X":"ECHO" })", R"({ "CMD_":7 })", "not json"};
    for (const char* text : bad)
        EXPECT_FALSE(client.call(text, 400)) << text;
    EXPECT_TRUE(log_->wait_for("ServerImpl:reply_to_method_call: reply_to_method_call error parsing command from message",
                               3s, 4));
    EXPECT_FALSE(client.call(R"({ "CMD_":"NONE" })", 400));
    EXPECT_TRUE(logged("ServerImpl:reply_to_method_call: reply_to_method_call error finding callback for command 'NONE'"));
    EXPECT_EQ(client.call(R"({ "CMD_":"ECHO" })"), std::optional<std::string>(R"({ "CMD_":"ECHO" })"));
}

TEST_F(CommandServerTest, RejectedSenderGetsNoReplyAndIsAskedAgain) {
    start_serving();
    g_trust = false;
    RawClient client;
    const int before = g_verifier_calls;
    EXPECT_FALSE(client.call(R"({ "CMD_":"ECHO" })", 400));
    EXPECT_FALSE(client.call(R"({ "CMD_":"ECHO" })", 400));
    EXPECT_EQ(g_verifier_calls - before, 2);
    g_trust = true;
    EXPECT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_EQ(g_verifier_calls - before, 3);   // remembered after the first trusted message
}

TEST_F(CommandServerTest, CacheFillsAtSixteenAndFreesWhenAClientLeaves) {
    start_serving();   // the probe client is cached, and left: its entry is freed again
    std::this_thread::sleep_for(200ms);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 15; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(clients.back()->call(R"({ "CMD_":"ECHO" })"));
    }
    RawClient extra;   // the 17th name: 15 clients and the bus daemon fill the cache
    const int before = g_verifier_calls;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(extra.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_EQ(g_verifier_calls - before, 3);   // served, but verified every time

    clients[4]->close();                       // NameOwnerChanged frees an entry
    std::this_thread::sleep_for(300ms);
    const int after_leave = g_verifier_calls;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(extra.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_EQ(g_verifier_calls - after_leave, 1);
}

TEST_F(CommandServerTest, ClientsThatLeaveWhileStoppedDoNotKeepTheirEntries) {
    start_serving();
    std::this_thread::sleep_for(200ms);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 15; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(clients.back()->call(R"({ "CMD_":"ECHO" })"));
    }
    KvStopServer();
    clients.clear();   // their NameOwnerChanged reaches no listener
    std::this_thread::sleep_for(200ms);
    start_serving();

    RawClient later;
    const int before = g_verifier_calls;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(later.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_EQ(g_verifier_calls - before, 1);   // remembered: the stale entries are gone
}

TEST_F(CommandServerTest, ClientsThatStayConnectedAcrossARestartStayRemembered) {
    start_serving();
    RawClient client;
    ASSERT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
    KvStopServer();
    start_serving();
    const int before = g_verifier_calls;
    ASSERT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
    EXPECT_EQ(g_verifier_calls - before, 0);
}

TEST_F(CommandServerTest, ReplySizesFollowTheBufferRules) {
    ASSERT_EQ(KvSetServerCallbackForCommand("BIG_", big_handler), 0);
    ASSERT_EQ(KvSetServerCallbackForCommand("HUGE", huge_handler), 0);
    start_serving();
    RawClient client;
    const auto big = client.call(R"({ "CMD_":"BIG_" })");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 10000u);
    EXPECT_EQ(g_big_calls.load(), 2);
    const auto huge = client.call(R"({ "CMD_":"HUGE" })", 10000);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->size(), 5242879u);

    std::string request = R"({ "CMD_":"ECHO", "X":")" + std::string(5 * 1024 * 1024, 'x') + "\" }";
    const auto echoed = client.call(request, 10000);   // cut to 5 MiB: no longer JSON, but answered
    EXPECT_FALSE(echoed);                               // parse fails on the cut text: no reply
    EXPECT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
}

TEST_F(CommandServerTest, InvalidUtf8RepliesAreRepairedNotFatal) {
    ASSERT_EQ(KvSetServerCallbackForCommand("UTF8", bad_utf8_handler), 0);
    start_serving();
    RawClient client;
    const auto reply = client.call(R"({ "CMD_":"UTF8" })");
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, "{\"RESP\":\"OK\",\"X\":\"a?b");
    EXPECT_TRUE(logged("ServerImpl:reply_to_method_call: reply_to_method_call repaired invalid UTF-8 in the reply "
                       "to 'UTF8'"));
    EXPECT_TRUE(client.call(R"({ "CMD_":"ECHO" })"));
}

TEST_F(CommandServerTest, BroadcastsOnlyWhileServing) {
    Received received;
    ASSERT_TRUE(kv::svc::listenForServiceSignals(Received::callback, &received));
    std::this_thread::sleep_for(300ms);
    KvSignalUI("com.korvane.agent.started");   // before start: nothing
    start_serving();
    KvSignalUI("com.korvane.agent.running");
    EXPECT_EQ(KvBroadcastMessageWithNoReply("com.korvane.driver.connectedXYZ", 28), 0);
    KvSignalUI("bad \xff name");                // repaired, index 26
    for (int i = 0; i < 1000 && received.size() < 3; ++i)
        std::this_thread::sleep_for(10ms);
    KvStopServer();
    KvSignalUI("com.korvane.agent.stopped");   // after stop: nothing
    std::this_thread::sleep_for(300ms);
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_EQ(received.indices, (std::vector<int>{2, 17, kv::svc::kSignalCount}));
    EXPECT_TRUE(logged("ServerImpl:SignalUI repaired invalid UTF-8 in the broadcast"));
}

TEST_F(CommandServerTest, SecondStartIsRefusedAndRestartsNeverExhaustTheCache) {
    start_serving();
    EXPECT_EQ(KvStartServerLinux(verifier), -1);
    EXPECT_TRUE(logged("ServerImpl:DBus listener already started... call StopServer() first"));
    for (int i = 0; i < 20; ++i) {
        KvStopServer();
        ASSERT_EQ(KvSetServerCallbackForCommand("ECHO", echo_handler), 0);
        ASSERT_EQ(KvStartServerLinux(nullptr), 0) << "restart " << i;   // keeps the verifier
    }
    EXPECT_EQ(log_->count("ServerImpl:Failed to add DBus to authenticated list"), 0);
    RawClient client;
    std::optional<std::string> reply;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!reply && std::chrono::steady_clock::now() < deadline) {
        reply = client.call(R"({ "CMD_":"ECHO" })", 500);
        if (!reply)
            std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(reply);
}

TEST_F(CommandServerTest, StopRightAfterStartDoesNotHang) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(KvStartServerLinux(verifier), 0);
        const auto t0 = std::chrono::steady_clock::now();
        KvStopServer();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    }
    KvStopServer();   // idempotent
}

TEST_F(CommandServerTest, NetworkManagerStatesAndAddressChanges) {
    ASSERT_EQ(KvRegisterNetworkStateChange(on_state), 1);
    EXPECT_EQ(KvRegisterNetworkStateChange(on_state), 0);
    EXPECT_EQ(KvRegisterNetworkStateChange(nullptr), 0);
    ASSERT_EQ(KvRegisterAddressChange(on_address), 1);
    g_state_true = g_state_false = g_address_calls = 0;
    start_serving();
    g_trust = false;   // NetworkManager's own signals need no verifier
    const auto r = kv::test::run_program({"/usr/sbin/NetworkManager", "state:70", "state:70", "state:20",
                                          "properties", "call:{ \"CMD_\":\"ECHO\" }", "linger:500"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Its method calls go to the verifier like any other.
    EXPECT_EQ(r.out, "no reply: org.freedesktop.DBus.Error.NoReply\n");
    for (int i = 0; i < 1000 && g_address_calls == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(g_state_true.load(), 1);
    EXPECT_EQ(g_state_false.load(), 1);
    EXPECT_EQ(g_address_calls.load(), 1);
}

std::atomic<bool> g_in_slow_callback{false};
void slow_state_callback(bool) {
    g_in_slow_callback = true;
    std::this_thread::sleep_for(400ms);
    g_in_slow_callback = false;
}

TEST_F(CommandServerTest, UnregisterWaitsForACallbackInProgress) {
    ASSERT_EQ(KvRegisterNetworkStateChange(slow_state_callback), 1);
    start_serving();
    kv::test::ChildProcess nm;
    ASSERT_TRUE(nm.start({"/usr/sbin/NetworkManager", "state:3", "linger:1000"}));
    for (int i = 0; i < 2000 && !g_in_slow_callback; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(g_in_slow_callback.load());
    KvUnRegisterNetworkStateChange();
    EXPECT_FALSE(g_in_slow_callback.load());
}

TEST_F(CommandServerTest, ListenerSurvivesTheBusGoingAwayAndServesAgain) {
    start_serving();
    system_bus().stop();
    const double cpu0 = kv::test::process_cpu_seconds();
    std::this_thread::sleep_for(2500ms);
    EXPECT_LT(kv::test::process_cpu_seconds() - cpu0, 0.5);
    EXPECT_TRUE(logged("ServerImpl:listenForUIRequests: Connection lost, reconnecting"));
    ASSERT_EQ(system_bus().start(), 0);
    ASSERT_TRUE(log_->wait_for("ServerImpl:listenForUIRequests: Connection restored", 10s));
    RawClient client;
    EXPECT_EQ(client.call(R"({ "CMD_":"ECHO" })", 2000), std::optional<std::string>(R"({ "CMD_":"ECHO" })"));
}

}  // namespace
