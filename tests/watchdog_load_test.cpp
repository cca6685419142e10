// The shipped library's watchdog in real time, in a stand-in agent process
// that loads it: armed only when the process runs from the service's path,
// the load-time cycle, keep-alive, disable ending the thread at once, and
// unload (dlclose or exit) joining the thread without waiting for a cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

constexpr char kServicePath[] = "/opt/korvane/desktop/korvanesvc";

kv::test::RunResult run_agent(const std::string& program, const std::vector<std::string>& steps) {
    std::vector<std::string> argv = kv::test::emulator_prefix();
    argv.push_back(program);
    argv.push_back(KV_TEST_KVHELPER_LIBRARY);
    argv.insert(argv.end(), steps.begin(), steps.end());
    kv::test::RunOptions options;
    options.timeout = 60s;
    return kv::test::run_program(argv, options);
}

class WatchdogLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh";
        ASSERT_TRUE(kv::test::install_program(KV_FAKE_AGENT, kServicePath));
    }
};

TEST_F(WatchdogLoad, OtherProcessesNeverArmIt) {
    // The same program from another path: no thread, and no cycle ran at
    // load (the first score is that of one missed cycle).
    const auto r = run_agent(KV_FAKE_AGENT, {"threads", "deadlock", "deadlock"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "threads 0\ndeadlock 10\ndeadlock 20\n");
}

TEST_F(WatchdogLoad, AgentServiceArmsItAndKeepAliveResetsTheCount) {
    const auto start = std::chrono::steady_clock::now();
    const auto r = run_agent(kServicePath, {"wait:300", "threads", "deadlock", "keepalive", "deadlock", "deadlock"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // The load-time cycle found no keep-alive (10): the next score is 20.
    EXPECT_EQ(r.out, "threads 1\ndeadlock 20\ndeadlock 0\ndeadlock 10\n");
    // Exit unloads the library: the thread is joined at once, not after
    // its 30-second wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

TEST_F(WatchdogLoad, DisableEndsTheThreadAndUnloadJoinsAtOnce) {
    auto r = run_agent(kServicePath, {"wait:300", "threads", "disable", "wait:1000", "threads", "keepalive"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "threads 1\nthreads 0\n");

    r = run_agent(kServicePath, {"wait:300", "threads", "unload"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_EQ(r.out.rfind("threads 1\nunload_ms ", 0), 0u) << r.out;
    EXPECT_LT(std::stoi(r.out.substr(std::string("threads 1\nunload_ms ").size())), 5000) << r.out;
}

}  // namespace
