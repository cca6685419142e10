// The simulated agent as a separate process on a private system bus, driven
// through the service client exactly as the front ends drive the service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client_impl.hpp"
#include "json_fields.hpp"
#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"

namespace {

using namespace std::chrono_literals;
namespace svc = kv::svc;

constexpr char kStateDir[] = "/opt/korvane/HostCache";
constexpr char kSampleUnsafeId[] = "3f2a9c1e5b7d4a60c8e1f2b3a4d5c6e7f8091a2b3c4d5e6f708192a3b4c5d6e7";

[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Broadcasts {
    std::mutex mutex;
    std::vector<int> indices;
    static void callback(void* context, int index) {
        auto* self = static_cast<Broadcasts*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->indices.push_back(index);
    }
    bool wait_for(int index, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (int i : indices) {
                    if (i == index)
                        return true;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
};

class AgentSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace());
        svc::setTracePrinter(nullptr);
        ASSERT_TRUE(svc::listenForServiceSignals(Broadcasts::callback, &broadcasts_));
        std::this_thread::sleep_for(300ms);   // the listener's match rule is in place
        start_simulator({"--scenario", "sample"});
    }
    void TearDown() override {
        sim_.stop();
        svc::clearServiceSignalCallback();
        svc::stopServiceClient();
    }

    void start_simulator(std::vector<std::string> extra) {
        // The simulator trusts this test's executable (under the emulator,
        // the kernel names the emulator as every emulated process's image).
        std::vector<std::string> argv{KV_AGENT_SIM, "--state-dir", kStateDir};
        char self[PATH_MAX];
        ASSERT_NE(realpath("/proc/self/exe", self), nullptr);
        argv.insert(argv.end(), {"--trust", self, "--trust", KV_SVC_SEND});
        const auto emulator = kv::test::emulator_prefix();
        if (!emulator.empty())
            argv.insert(argv.end(), {"--trust", emulator.front()});
        argv.insert(argv.end(), extra.begin(), extra.end());
        kv::test::RunOptions options;
        options.built_program = true;
        ASSERT_TRUE(sim_.start(argv, options));
        ASSERT_TRUE(broadcasts_.wait_for(2, 20s)) << "no com.korvane.agent.running";
    }

    Broadcasts broadcasts_;
    kv::test::ChildProcess sim_;
};

TEST_F(AgentSimulatorTest, AnswersEveryQueryOfTheFrontEnds) {
    int driver = -1, level = -1;
    EXPECT_TRUE(svc::queryDriverConnected(&driver));
    EXPECT_EQ(driver, 1);
    EXPECT_TRUE(svc::getLogLevel(&level));
    EXPECT_EQ(level, 3);
    std::string when;
    EXPECT_TRUE(svc::getPolicyTime(&when));
    EXPECT_EQ(when, "2026-12-01 08:00:00");
    char policy[256];
    std::size_t size = sizeof policy;
    bool notify = false, local = false;
    ASSERT_TRUE(svc::getPolicyInfo(policy, &size, &notify, &local));
    EXPECT_STREQ(policy, "Default Policy (Local Policy)");
    EXPECT_TRUE(notify);
    EXPECT_TRUE(local);
    EXPECT_TRUE(svc::requestUpdateCheck());
    EXPECT_TRUE(svc::requestPolicyCheck());
    EXPECT_TRUE(svc::getPolicyTime(&when));
    EXPECT_NE(when, "2026-12-01 08:00:00");
}

TEST_F(AgentSimulatorTest, RequestsChangeAndPersistItsState) {
    EXPECT_TRUE(svc::setLogLevel(7));
    EXPECT_TRUE(svc::startBackgroundScan());
    EXPECT_TRUE(svc::requestDirectoryScan("/opt/korvane"));
    EXPECT_FALSE(svc::requestDirectoryScan("relative/dir"));
    EXPECT_FALSE(svc::requestDirectoryScan("/opt/korvane/missing"));
    EXPECT_TRUE(svc::stopBackgroundScan());
    const std::string state = read_file(std::string(kStateDir) + "/agent_simulator_state.json");
    const svc::JsonPtr parsed = svc::json_parse_text(state.c_str());
    std::int64_t saved_level = 0, scanning = 1;
    EXPECT_EQ(svc::json_get_int64(parsed.get(), "log_level", &saved_level), 0);
    EXPECT_EQ(saved_level, 7);
    EXPECT_EQ(svc::json_get_int64(parsed.get(), "background_scan", &scanning), 0);
    EXPECT_EQ(scanning, 0);
    EXPECT_NE(state.find("\"/opt/korvane\""), std::string::npos) << state;

    sim_.stop();
    svc::stopServiceClient();   // the listener restarts with the simulator
    ASSERT_TRUE(svc::listenForServiceSignals(Broadcasts::callback, &broadcasts_));
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard<std::mutex> lock(broadcasts_.mutex);
        broadcasts_.indices.clear();
    }
    start_simulator({});
    int level = 0;
    EXPECT_TRUE(svc::getLogLevel(&level));
    EXPECT_EQ(level, 7);
}

TEST_F(AgentSimulatorTest, QuarantineRewritesTheStateFilesAndBroadcasts) {
    const std::string states = std::string(kStateDir) + "/file_states.log";
    const std::string before = read_file(states);
    ASSERT_NE(before.find("\"State\":1"), std::string::npos) << before;
    EXPECT_FALSE(svc::quarantineThreat(std::string(64, 'a').c_str()));   // unknown ID
    EXPECT_EQ(read_file(states), before);

    EXPECT_TRUE(svc::quarantineThreat(kSampleUnsafeId));   // lower case: sent upper case
    EXPECT_TRUE(broadcasts_.wait_for(9, 5s));
    const svc::JsonPtr files = svc::json_parse_text(read_file(states).c_str());
    json_object* record = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(files.get(), "/home/alice/Downloads/invoice_2026.pdf.exe", &record));
    std::int64_t state = 0;
    EXPECT_EQ(svc::json_get_int64(record, "State", &state), 0);
    EXPECT_EQ(state, 1 | 8);
    const svc::JsonPtr header = svc::json_parse_text(read_file(std::string(kStateDir) + "/header.log").c_str());
    std::int64_t mask = 0;
    EXPECT_EQ(svc::json_get_int64(header.get(), "MessageMask", &mask), 0);
    EXPECT_EQ(mask, 1);
    const std::string events = read_file(std::string(kStateDir) + "/file_process_events.log");
    EXPECT_NE(events.find("invoice_2026.pdf.exe"), std::string::npos);
    EXPECT_NE(events.find("\"Event\":18"), std::string::npos) << events;

    EXPECT_TRUE(svc::waiveThreat(kSampleUnsafeId));
    const svc::JsonPtr waived = svc::json_parse_text(read_file(states).c_str());
    ASSERT_TRUE(json_object_object_get_ex(waived.get(), "/home/alice/Downloads/invoice_2026.pdf.exe", &record));
    EXPECT_EQ(svc::json_get_int64(record, "State", &state), 0);
    EXPECT_EQ(state, 1 | 4);
}

TEST_F(AgentSimulatorTest, ControlCommandsDriveBroadcastsAndScenarios) {
    char reply[svc::kReplyBufferSize] = {};
    ASSERT_TRUE(svc::sendMessageToService(R"({ "CMD_":"SIMB", "NAME":"com.korvane.exe.blocked" })", reply));
    EXPECT_TRUE(svc::isReplyOk(reply));
    EXPECT_TRUE(broadcasts_.wait_for(8, 5s));
    ASSERT_TRUE(svc::sendMessageToService(R"({ "CMD_":"SIMS", "SCENARIO":"empty" })", reply));
    EXPECT_TRUE(svc::isReplyOk(reply));
    EXPECT_EQ(read_file(std::string(kStateDir) + "/file_states.log"), "{\n}");
    ASSERT_TRUE(svc::sendMessageToService(R"({ "CMD_":"SIMD", "VALU":0 })", reply));
    EXPECT_TRUE(broadcasts_.wait_for(18, 5s));
    int driver = 1;
    EXPECT_TRUE(svc::queryDriverConnected(&driver));
    EXPECT_EQ(driver, 0);
    ASSERT_TRUE(svc::sendMessageToService(R"({ "CMD_":"SIMS", "SCENARIO":"nope" })", reply));
    EXPECT_FALSE(svc::isReplyOk(reply));
}

TEST_F(AgentSimulatorTest, BroadcastsStoppedWhenTerminated) {
    const int status = sim_.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(broadcasts_.wait_for(1, 5s));
}

}  // namespace

// kvsvc-send, the developer tool the demo drives the simulator with: each
// text's reply on its own line, sending without waiting, listening for
// broadcasts, usage, and a service that is not there.
TEST_F(AgentSimulatorTest, ServiceSendToolSendsListensAndReportsFailures) {
    kv::test::RunOptions options;
    options.built_program = true;
    auto usage = kv::test::run_program({KV_SVC_SEND}, options);
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_NE(usage.err.find("usage: kvsvc-send"), std::string::npos);
    usage = kv::test::run_program({KV_SVC_SEND, "--no-reply"}, options);
    EXPECT_EQ(usage.exit_code, 2);

    const std::string glog = R"({ "CMD_":"GLOG" })";
    const std::string gdrv = R"({ "CMD_":"GDRV" })";
    auto sent = kv::test::run_program({KV_SVC_SEND, glog, gdrv}, options);
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    std::istringstream lines(sent.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind(glog + " -> {", 0), 0u) << line;
    int level = -1;
    EXPECT_TRUE(svc::getLogLevel(&level));
    EXPECT_NE(line.find(std::to_string(level)), std::string::npos) << line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind(gdrv + " -> {", 0), 0u) << line;
    EXPECT_FALSE(std::getline(lines, line));

    // Without a reply the tool may be gone before the service looks its
    // process up, and the service then drops the message: only the report
    // line is certain.
    const std::string blocked = R"({ "CMD_":"SIMB", "NAME":"com.korvane.exe.blocked" })";
    sent = kv::test::run_program({KV_SVC_SEND, "--no-reply", blocked}, options);
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(sent.out, blocked + " -> (sent, no reply awaited)\n");

    // The listener prints what arrives during its seconds.
    kv::test::RunResult heard;
    std::thread listener([&] { heard = kv::test::run_program({KV_SVC_SEND, "--listen", "3"}, options); });
    std::this_thread::sleep_for(1500ms);   // its match rule is in place
    char reply[svc::kReplyBufferSize] = {};
    EXPECT_TRUE(svc::sendMessageToService(R"({ "CMD_":"SIMB", "NAME":"com.korvane.agent.running" })", reply));
    listener.join();
    EXPECT_EQ(heard.exit_code, 0) << heard.err;
    EXPECT_NE(heard.out.find("broadcast 2 com.korvane.agent.running\n"), std::string::npos) << heard.out;

    // No service: the bus's error text is the reply (not JSON). No bus: the
    // send fails.
    sim_.stop();
    sent = kv::test::run_program({KV_SVC_SEND, glog}, options);
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(sent.out.rfind(glog + " -> ", 0), 0u);
    EXPECT_EQ(sent.out.find(" -> {"), std::string::npos) << sent.out;
    options.extra_env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/system_bus_socket"};
    sent = kv::test::run_program({KV_SVC_SEND, glog}, options);
    EXPECT_EQ(sent.exit_code, 1);
    EXPECT_EQ(sent.out, glog + " -> (send failed)\n");
}
