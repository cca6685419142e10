// The service client against a table-driven peer on a private system bus:
// exact command texts, reply judging, the listener, and behaviour when the
// bus or the service goes away.
#include "client_impl.hpp"
#include "json_fields.hpp"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "service_peer.hpp"
#include "syslog_recorder.hpp"

namespace kv::svc {
namespace {

using kv::test::PeerReply;
using namespace std::chrono_literals;

kv::test::PrivateBus& system_bus() { return kv::test::shared_system_bus(); }
[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

// Records the indices the listener delivers.
struct SignalSink {
    std::mutex mutex;
    std::vector<int> indices;
    void add(int i) {
        std::lock_guard<std::mutex> lock(mutex);
        indices.push_back(i);
    }
    std::vector<int> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return indices;
    }
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (get().size() >= n)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return get().size() >= n;
    }
    static void callback(void* context, int index) { static_cast<SignalSink*>(context)->add(index); }
};

std::mutex g_trace_mutex;
std::vector<std::string> g_trace;
void record_trace(const char* line) {
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    g_trace.emplace_back(line);
}

class ClientImplTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = kv::test::shared_syslog();
        ASSERT_NE(log_, nullptr) << "run through tests/harness/nsrun.sh";
        if (!system_bus().running()) {
            ASSERT_EQ(system_bus().start(), 0);
        }
        ASSERT_EQ(peer_.start(), 0);
        log_->clear();
        setTracePrinter(record_trace);
        std::lock_guard<std::mutex> lock(g_trace_mutex);
        g_trace.clear();
    }
    void TearDown() override {
        clearServiceSignalCallback();
        stopServiceClient();
        peer_.stop();
    }

    // Waits until the listener's match rule is in place: a probe broadcast
    // comes through.
    void wait_until_listening(SignalSink& sink) {
        for (int i = 0; i < 400 && sink.get().empty(); ++i) {
            peer_.broadcast("com.korvane.probe");
            sink.wait_for(1, 50ms);
        }
        ASSERT_FALSE(sink.get().empty());
        std::this_thread::sleep_for(100ms);
        std::lock_guard<std::mutex> lock(sink.mutex);
        sink.indices.clear();
    }

    bool logged(const std::string& message, int priority = LOG_ERR) {
        return log_->wait_for(message, 2s) && log_->count(message, priority) >= 1;
    }

    kv::test::SyslogRecorder* log_ = nullptr;
    kv::test::ServicePeer peer_;
};

TEST_F(ClientImplTest, GetLogLevelJudgesRepliesAndKeepsLow32Bits) {
    const struct {
        PeerReply reply;
        bool ok;
        int value;
    } cases[] = {
        {PeerReply::Text(R"({"RESP":"OK","VALU":5})"), true, 5},
        {PeerReply::Text(R"({"RESP":"OK","VALU":"42"})"), true, 42},
        {PeerReply::Text(R"({"RESP":"OK","VALU":"x"})"), true, 0},
        {PeerReply::Text(R"({"RESP":"OK","VALU":8589934597})"), true, 5},
        {PeerReply::Text(R"({"RESP":"OK","VALU":-1})"), true, -1},
        {PeerReply::Text(R"({"RESP":"OK","VALU":3.0})"), false, 0},
        {PeerReply::Text(R"({"RESP":"ok","VALU":1})"), false, 0},
        {PeerReply::Text(R"({"RESP":"OK ","VALU":1})"), false, 0},
        {PeerReply::Text(R"({"RESP":"OK"})"), false, 0},
        {PeerReply::Text(R"({"VALU":1})"), false, 0},
        {PeerReply{PeerReply::Kind::error, "boom"}, false, 0},   // error text: not JSON
    };
    for (const auto& c : cases) {
        peer_.set_reply(kCmdGetLogLevel, c.reply);
        int level = 1234;
        EXPECT_EQ(getLogLevel(&level), c.ok) << c.reply.text;
        EXPECT_EQ(level, c.ok ? c.value : 1234) << c.reply.text;
    }
    for (const auto& text : peer_.received())
        EXPECT_EQ(text, "{ \"CMD_\":\"GLOG\" }");
    // Only the error reply did not parse.
    EXPECT_TRUE(log_->wait_for("ClientImpl: Bad reply back in getLogLevel", 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log_->count("ClientImpl: Bad reply back in getLogLevel"), 1);
}

TEST_F(ClientImplTest, QueriesLogBadRepliesAsThePartsSay) {
    peer_.set_reply(kCmdGetLogLevel, PeerReply::Text("not json"));
    int level = 0;
    EXPECT_FALSE(getLogLevel(&level));
    EXPECT_TRUE(logged("ClientImpl: Bad reply back in getLogLevel"));

    peer_.set_reply(kCmdDriverConnected, PeerReply{PeerReply::Kind::no_arguments, {}});
    EXPECT_FALSE(queryDriverConnected(&level));   // the command text stays: no "RESP"
    EXPECT_TRUE(logged("ClientImpl: Message has no arguments sendMessageToService"));

    peer_.set_reply(kCmdDriverConnected, PeerReply{PeerReply::Kind::integer, {}});
    EXPECT_FALSE(queryDriverConnected(&level));
    EXPECT_TRUE(logged("ClientImpl: Argument is not a string sendMessageToService"));

    peer_.set_reply(kCmdDriverConnected, PeerReply::Text(R"({"RESP":"OK","VALU":1})"));
    EXPECT_TRUE(queryDriverConnected(&level));
    EXPECT_EQ(level, 1);

    log_->clear();
    peer_.set_reply(kCmdPolicyTime, PeerReply::Text("not json"));
    std::string when = "kept";
    EXPECT_FALSE(getPolicyTime(&when));
    peer_.set_reply(kCmdPolicyTime, PeerReply::Text(R"({"RESP":"OK","VALU":12})"));
    EXPECT_FALSE(getPolicyTime(&when));
    EXPECT_EQ(when, "kept");
    peer_.set_reply(kCmdPolicyTime, PeerReply::Text(R"({"RESP":"OK","VALU":"2026-12-01 08:00"})"));
    EXPECT_TRUE(getPolicyTime(&when));
    EXPECT_EQ(when, "2026-12-01 08:00");
    const std::string calling = "ClientImpl: Calling remote method with { \"CMD_\":\"GPUT\" }";
    EXPECT_TRUE(log_->wait_for(calling, 2s, 3));
    EXPECT_EQ(log_->count(calling, LOG_INFO), 3);
    EXPECT_EQ(log_->count("ClientImpl: Bad reply back in getPolicyTime"), 0);
}

TEST_F(ClientImplTest, PolicyInfoComposesCutsAndReportsTheFullSize) {
    peer_.set_reply(kCmdPolicyInfo,
                    PeerReply::Text(R"({"RESP":"OK","PNAME":"Default","PMODE":"Local Policy","PNOTF":"ok"})"));
    char small[8];
    std::memset(small, 'z', sizeof small);
    std::size_t size = sizeof small;
    bool notify = true, local = false;
    ASSERT_TRUE(getPolicyInfo(small, &size, &notify, &local));
    EXPECT_STREQ(small, "Default");
    EXPECT_EQ(size, 22u);
    EXPECT_TRUE(local);
    EXPECT_FALSE(notify);

    const struct {
        const char* reply;
        bool ok;
        const char* text;
        bool notify;
        bool local;
    } cases[] = {
        {R"j({"RESP":"OK","PNAME":"P","PMODE":"Local Policy (x)","PNOTF":"OKAY"})j", true,
         "P (Local Policy (x))", true, true},
        {R"({"RESP":"OK","PNAME":"P","PMODE":"Local","PNOTF":"OK"})", true, "P (Local)", true, false},
        {R"({"RESP":"OK","PNAME":"P","PMODE":"Cloud","PNOTF":"NO"})", true, "P (Cloud)", false, false},
        {R"({"RESP":"OK","PNAME":"P","PMODE":"Cloud"})", false, "", false, false},
        {R"({"RESP":"NO","PNAME":"P","PMODE":"Cloud","PNOTF":"OK"})", false, "", false, false},
        {R"({"RESP":"OK","PNAME":1,"PMODE":"Cloud","PNOTF":"OK"})", false, "", false, false},
        {"garbage", false, "", false, false},
    };
    for (const auto& c : cases) {
        peer_.set_reply(kCmdPolicyInfo, PeerReply::Text(c.reply));
        char buffer[64] = "untouched";
        size = sizeof buffer;
        notify = !c.notify;
        local = !c.local;
        const bool ok = getPolicyInfo(buffer, &size, &notify, &local);
        EXPECT_EQ(ok, c.ok) << c.reply;
        if (ok) {
            EXPECT_STREQ(buffer, c.text);
            EXPECT_EQ(size, std::strlen(c.text));
            EXPECT_EQ(notify, c.notify) << c.reply;
            EXPECT_EQ(local, c.local) << c.reply;
        } else {
            EXPECT_STREQ(buffer, "untouched");
            EXPECT_EQ(size, sizeof buffer);
        }
    }
}

TEST_F(ClientImplTest, RequestsSendTheExactTextsAndNeedExactOk) {
    peer_.set_default_reply(PeerReply::Text(R"({"RESP":"OK"})"));
    EXPECT_TRUE(setLogLevel(4294967295u));
    EXPECT_TRUE(requestPolicyCheck());
    EXPECT_TRUE(startBackgroundScan());
    EXPECT_TRUE(stopBackgroundScan());
    EXPECT_TRUE(requestDirectoryScan("/srv/data dir"));
    EXPECT_TRUE(quarantineThreat("00ab9fCD"));
    EXPECT_TRUE(waiveThreat("e\xc3\xa9z-1"));
    const std::vector<std::string> expected = {
        R"({ "CMD_":"SLOG", "VALU":"4294967295" })",
        R"({ "CMD_":"PLYU" })",
        R"({ "CMD_":"SCAN", "START":" " })",
        R"({ "CMD_":"SCAN", "STOP":" " })",
        R"({ "CMD_": "SCAN", "START": "/srv/data dir" })",
        R"({ "CMD_":"THRT", "QUARANTINE":"00AB9FCD" })",
        "{ \"CMD_\":\"THRT\", \"WAIVE\":\"E\xc3\xa9Z-1\" }",   // only a-z change
    };
    EXPECT_EQ(peer_.received(), expected);

    peer_.set_default_reply(PeerReply::Text(R"({"RESP":"OK."})"));
    EXPECT_FALSE(setLogLevel(1));
    EXPECT_FALSE(requestPolicyCheck());
    EXPECT_FALSE(requestDirectoryScan("/srv"));
    EXPECT_FALSE(quarantineThreat("AB"));
    peer_.set_default_reply(PeerReply{PeerReply::Kind::no_arguments, {}});
    EXPECT_FALSE(waiveThreat("AB"));   // the buffer still holds the command text
    EXPECT_FALSE(sendThreatAction(nullptr, "AB"));
    EXPECT_FALSE(sendThreatAction("WAIVE", nullptr));
}

TEST_F(ClientImplTest, InsertedValuesCannotAddMembersToTheCommand) {
    const std::string path = "/tmp/x\", \"CMD_\": \"THRT\", \"WAIVE\": \"" + std::string(64, 'A') + "\\\n";
    EXPECT_TRUE(requestDirectoryScan(path.c_str()));
    EXPECT_TRUE(waiveThreat("ab\"cd"));
    const auto received = peer_.received();
    ASSERT_EQ(received.size(), 2u);
    const JsonPtr scan = json_parse_text(received[0].c_str());
    ASSERT_NE(scan, nullptr) << received[0];
    EXPECT_EQ(json_object_object_length(scan.get()), 2);
    std::string code, start;
    EXPECT_EQ(json_get_string(scan.get(), "CMD_", &code), 0);
    EXPECT_EQ(code, "SCAN");
    EXPECT_EQ(json_get_string(scan.get(), "START", &start), 0);
    EXPECT_EQ(start, path);
    const JsonPtr threat = json_parse_text(received[1].c_str());
    std::string id;
    EXPECT_EQ(json_object_object_length(threat.get()), 2);
    EXPECT_EQ(json_get_string(threat.get(), "WAIVE", &id), 0);
    EXPECT_EQ(id, "AB\"CD");
}

TEST_F(ClientImplTest, ReplyIsCutAt2047BytesAndParsedOnlyThere) {
    std::string long_value(3000, 'v');
    const std::string reply = R"({"RESP":"OK","VALU":")" + long_value + "\"}";
    peer_.set_reply(kCmdPolicyTime, PeerReply::Text(reply));
    char buffer[kReplyBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_TRUE(sendMessageToService(kCmdPolicyTime, buffer));
    EXPECT_EQ(std::strlen(buffer), 2047u);
    EXPECT_EQ(std::string(buffer), reply.substr(0, 2047));
    std::string when;
    EXPECT_FALSE(getPolicyTime(&when));

    // A well-formed object that closes exactly at byte 2047 still counts.
    const std::string fits = R"({"RESP":"OK","VALU":")" + std::string(2047 - 23, 'w') + "\"}";
    ASSERT_EQ(fits.size(), 2047u);
    peer_.set_reply(kCmdPolicyTime, PeerReply::Text(fits));
    EXPECT_TRUE(getPolicyTime(&when));
    EXPECT_EQ(when.size(), 2047u - 23);
}

TEST_F(ClientImplTest, UpdateCheckIsSentWithoutWaitingEvenWithoutService) {
    peer_.set_reply(kCmdUpdateCheck, PeerReply{PeerReply::Kind::none, {}});
    EXPECT_TRUE(requestUpdateCheck());
    EXPECT_TRUE(peer_.wait_for_requests(1, 5s));
    EXPECT_EQ(peer_.received().front(), "{ \"CMD_\":\"CHKU\" }");
    EXPECT_TRUE(logged("Sending check for updates message", LOG_INFO));

    peer_.stop();
    EXPECT_TRUE(requestUpdateCheck());
    int level = 0;
    EXPECT_FALSE(getLogLevel(&level));   // no owner: an error reply, not JSON
    EXPECT_TRUE(logged("ClientImpl: Bad reply back in getLogLevel"));
}

TEST_F(ClientImplTest, TextThatIsNotUtf8FailsInsteadOfAborting) {
    char reply[kReplyBufferSize] = {};
    EXPECT_FALSE(sendMessageToService("{ \"CMD_\":\"SCAN\", \"START\":\"/tmp/\xff\xfe\" }", reply));
    EXPECT_TRUE(logged("ClientImpl: Invalid UTF-8 in command sendMessageToService"));
    EXPECT_FALSE(requestDirectoryScan("/tmp/\xc3"));
    EXPECT_FALSE(quarantineThreat("\x80"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(peer_.received_count(), 0u);
    EXPECT_TRUE(requestPolicyCheck());   // the module still works
}

TEST_F(ClientImplTest, ListenerIsRefusedAfterASendOrWithoutContext) {
    SignalSink sink;
    EXPECT_FALSE(listenForServiceSignals(SignalSink::callback, nullptr));
    EXPECT_FALSE(listenForServiceSignals(nullptr, &sink));
    EXPECT_TRUE(log_->wait_for("ClientImpl: Invalid cb or user_data parameters", 2s, 2));

    EXPECT_TRUE(requestPolicyCheck());
    EXPECT_FALSE(listenForServiceSignals(SignalSink::callback, &sink));
    EXPECT_TRUE(logged("ClientImpl: Client DBus connection already established"));

    stopServiceClient();   // idle again: the listener may start
    EXPECT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    EXPECT_FALSE(listenForServiceSignals(SignalSink::callback, &sink));
}

TEST_F(ClientImplTest, BroadcastsBecomeIndicesInOrder) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    std::vector<int> expected;
    for (int i = 0; i < kSignalCount; ++i) {
        peer_.broadcast(kSignalNames[i]);
        expected.push_back(i);
    }
    peer_.broadcast("com.korvane.agent.Started");
    peer_.broadcast("com.korvane.something.else");
    expected.push_back(kSignalCount);
    expected.push_back(kSignalCount);
    ASSERT_TRUE(sink.wait_for(expected.size(), 5s));
    EXPECT_EQ(sink.get(), expected);
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    ASSERT_FALSE(g_trace.empty());
    EXPECT_EQ(g_trace[g_trace.size() - 28], "received signal: com.korvane.agent.started\n");
}

TEST_F(ClientImplTest, MalformedBroadcastsAreLoggedAndDropped) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    log_->clear();
    peer_.broadcast("");
    peer_.broadcast_integer(3);
    peer_.broadcast_without_arguments();
    EXPECT_TRUE(logged("ClientImpl: kvProcessUISignal missing signal"));
    EXPECT_TRUE(logged("ClientImpl: listenForServiceSignals Argument is not string"));
    EXPECT_TRUE(logged("ClientImpl: listenForServiceSignals Message Has No Parameters"));
    peer_.broadcast(kSignalNames[2]);
    ASSERT_TRUE(sink.wait_for(1, 5s));
    EXPECT_EQ(sink.get(), std::vector<int>{2});
}

TEST_F(ClientImplTest, ClearedCallbackDropsSilentlyAndStopJoinsPromptly) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    clearServiceSignalCallback();
    log_->clear();
    for (int i = 0; i < 5; ++i)
        peer_.broadcast(kSignalNames[0]);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(sink.get().empty());
    for (const auto& line : log_->lines())
        EXPECT_EQ(line.message.find("listenForServiceSignals"), std::string::npos) << line.message;

    const auto t0 = std::chrono::steady_clock::now();
    stopServiceClient();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 2500ms);   // one read of at most a second
    EXPECT_TRUE(logged("ClientImpl: listenForServiceSignals shutting down"));
    stopServiceClient();       // idempotent
}

TEST_F(ClientImplTest, BurstOfBroadcastsIsDeliveredWithoutOneSecondPerMessage) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        peer_.broadcast(kSignalNames[i % kSignalCount]);
    ASSERT_TRUE(sink.wait_for(20, 10s));
    // One message per 1000 ms read would take 20 s.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

// Unique bus names that belong to this process.
int connections_of_this_process() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (c == nullptr)
        return -1;
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus", "ListNames");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, 5000, &error);
    dbus_message_unref(call);
    int count = 0;
    char** names = nullptr;
    int n = 0;
    if (reply != nullptr &&
        dbus_message_get_args(reply, &error, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &names, &n, DBUS_TYPE_INVALID)) {
        for (int i = 0; i < n; ++i) {
            if (names[i][0] != ':')
                continue;
            DBusMessage* q = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", "GetConnectionUnixProcessID");
            const char* name = names[i];
            dbus_message_append_args(q, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
            DBusMessage* r = dbus_connection_send_with_reply_and_block(c, q, 5000, nullptr);
            dbus_uint32_t pid = 0;
            if (r != nullptr && dbus_message_get_args(r, nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID) &&
                pid == static_cast<dbus_uint32_t>(getpid()))
                ++count;
            if (r != nullptr)
                dbus_message_unref(r);
            dbus_message_unref(q);
        }
        dbus_free_string_array(names);
    }
    if (reply != nullptr)
        dbus_message_unref(reply);
    dbus_error_free(&error);
    dbus_connection_close(c);
    dbus_connection_unref(c);
    return count - 1;   // less the counting connection itself
}

TEST_F(ClientImplTest, ConcurrentFirstSendsShareOneConnection) {
    peer_.set_default_reply(PeerReply::Echo());
    constexpr int kThreads = 4;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            char reply[kReplyBufferSize] = {};
            ok += sendMessageToService(kCmdPolicyCheck, reply) && std::strcmp(reply, kCmdPolicyCheck) == 0;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok.load(), kThreads);
    EXPECT_EQ(connections_of_this_process(), 2);   // the peer's and the client's
}

TEST_F(ClientImplTest, ConcurrentSendersEachGetTheirOwnReply) {
    peer_.set_default_reply(PeerReply::Echo());
    constexpr int kThreads = 4;
    constexpr int kCommands = 1000;
    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCommands; ++i) {
                char text[kReplyBufferSize];
                std::snprintf(text, sizeof text, R"({ "CMD_":"THRT", "WAIVE":"T%dN%d" })", t, i);
                char reply[kReplyBufferSize] = {};
                if (!sendMessageToService(text, reply))
                    ++failures;
                else if (std::strcmp(text, reply) != 0)
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(peer_.received_count(), static_cast<std::size_t>(kThreads * kCommands));
}

TEST_F(ClientImplTest, LosingTheBusNeitherEndsTheProcessNorSpinsAndRecovers) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    EXPECT_TRUE(requestPolicyCheck());

    peer_.stop();
    system_bus().stop();   // both private connections see the disconnect
    const double cpu0 = kv::test::process_cpu_seconds();
    std::this_thread::sleep_for(2500ms);
    EXPECT_LT(kv::test::process_cpu_seconds() - cpu0, 0.5);   // a spinning listener burns ~2.5 s
    EXPECT_TRUE(logged("ClientImpl: listenForServiceSignals Connection lost, reconnecting"));
    EXPECT_FALSE(requestPolicyCheck());

    ASSERT_EQ(system_bus().start(), 0);
    ASSERT_EQ(peer_.start(), 0);
    EXPECT_TRUE(log_->wait_for("ClientImpl: listenForServiceSignals Connection restored", 10s));
    wait_until_listening(sink);
    peer_.broadcast(kSignalNames[17]);
    ASSERT_TRUE(sink.wait_for(1, 5s));
    EXPECT_EQ(sink.get().front(), 17);
    EXPECT_TRUE(requestPolicyCheck());   // the command connection was replaced
}

TEST_F(ClientImplTest, StopDuringReconnectBackOffIsPrompt) {
    SignalSink sink;
    ASSERT_TRUE(listenForServiceSignals(SignalSink::callback, &sink));
    wait_until_listening(sink);
    peer_.stop();
    system_bus().stop();
    ASSERT_TRUE(log_->wait_for("ClientImpl: listenForServiceSignals Connection lost, reconnecting", 5s));
    std::this_thread::sleep_for(3500ms);   // into the 2 s or 4 s back-off step
    const auto t0 = std::chrono::steady_clock::now();
    stopServiceClient();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    ASSERT_EQ(system_bus().start(), 0);
}

}  // namespace
}  // namespace kv::svc
