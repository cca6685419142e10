// Service start, stop and the running check against the initctl and pidof
// stand-ins, with a real process running as the agent service.
#include "service_control.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "elf_image.hpp"
#include "kvhelper.h"
#include "process.hpp"
#include "namespace_test.hpp"
#include "syslog_recorder.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

class ServiceControl : public kv::test::NamespaceLogTest {
protected:
    void SetUp() override {
        NamespaceLogTest::SetUp();
        if (HasFatalFailure())
            return;
        // The service's file carries a version; the running process is a
        // stand-in started under the service's path as its first argument.
        std::filesystem::create_directories("/opt/korvane/desktop");
        ASSERT_EQ(kv::test::write_elf("/opt/korvane/desktop/korvanesvc",
                                      kv::test::versioned_elf(std::string("3.1.1000.340", 13))),
                  0);
        service_ = kv::test::spawn_exact(kv::test::fake_tray_program(), {"/opt/korvane/desktop/korvanesvc"}, {});
        other_ = kv::test::spawn_exact(kv::test::fake_tray_program(), {"/usr/bin/korvanesvc-lookalike"}, {});
        ASSERT_GT(service_, 0);
    }
    void TearDown() override {
        kv::test::kill_and_reap(service_);
        kv::test::kill_and_reap(other_);
    }
    std::string pids(bool with_service) const {
        return std::to_string(other_) + (with_service ? " " + std::to_string(service_) : "") + "\n";
    }

    kv::test::ToolStubs stubs_;
    pid_t service_ = -1;
    pid_t other_ = -1;
};

TEST_F(ServiceControl, StartRunsInitctlAndVerifies) {
    stubs_.answer("initctl", "korvanesvc start/running, process 4242\n");
    stubs_.answer("pidof", pids(true));
    EXPECT_EQ(KvStartKvService(), 1);
    const auto initctl = stubs_.calls("initctl");
    ASSERT_EQ(initctl.size(), 1u);
    EXPECT_EQ(initctl[0].argv, (std::vector<std::string>{"/sbin/initctl", "start", "korvanesvc"}));
    EXPECT_EQ(stubs_.calls("pidof")[0].argv, (std::vector<std::string>{"pidof", "korvanesvc"}));
    EXPECT_TRUE(log_->wait_for("KvHelper: File '/opt/korvane/desktop/korvanesvc', version=3.1.1000.340", 2s));
    EXPECT_TRUE(log_->wait_for(
        "KvHelper: Verification - korvanesvc (PID=" + std::to_string(service_) + ") is running.", 2s));
}

TEST_F(ServiceControl, AlreadyRunningIsNoFailureButTheCheckDecides) {
    stubs_.answer("initctl", "Job is already running: korvanesvc\n");
    stubs_.answer("pidof", pids(false));   // only a process that is not the service
    EXPECT_EQ(KvStartKvService(), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper: Verification - korvanesvc is stopped.", 2s));
    EXPECT_EQ(log_->count("KvHelper: Failed StartKvService - msg = Job is already running: korvanesvc"), 0);

    stubs_.answer("initctl", "initctl: Unknown job: korvanesvc\n", 0);
    stubs_.answer("pidof", pids(true));
    EXPECT_EQ(KvStartKvService(), 1);
    EXPECT_TRUE(log_->wait_for("KvHelper: Failed StartKvService - msg = initctl: Unknown job: korvanesvc", 2s));

    stubs_.answer("initctl", "initctl: Unable to connect to Upstart\n", 1);
    EXPECT_EQ(KvStartKvService(), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper: Failed StartKvService", 2s));
}

TEST_F(ServiceControl, StopOfAServiceThatIsNotRunningCallsNothing) {
    stubs_.answer("pidof", "", 1);
    EXPECT_EQ(KvStopKvService(), 1);
    EXPECT_TRUE(stubs_.calls("initctl").empty());
    EXPECT_TRUE(log_->wait_for("KvHelper: StopKvService - korvane service is not running. Nothing to stop.", 2s));
}

TEST_F(ServiceControl, StopIsVerifiedAfterInitctl) {
    stubs_.answer("initctl", "korvanesvc stop/waiting\n");
    stubs_.answer("pidof", pids(true), 0, 1);
    stubs_.answer("pidof", "", 1, 2);
    EXPECT_EQ(KvStopKvService(), 1);
    EXPECT_EQ(stubs_.calls("initctl")[0].argv, (std::vector<std::string>{"/sbin/initctl", "stop", "korvanesvc"}));

    kv::test::ToolStubs fresh;
    stubs_.answer("initctl", "korvanesvc stop/waiting\n");
    stubs_.answer("pidof", pids(true));   // still running afterwards
    EXPECT_EQ(KvStopKvService(), 0);

    stubs_.answer("initctl", "stop: Unknown instance:\n", 1);
    EXPECT_EQ(KvStopKvService(), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper: Failed StopKvService - msg = stop: Unknown instance:", 2s));
}

}  // namespace
