// Updater launch against an updater stand-in in the updater directory:
// arguments quoted, its directory and library path set inside the command,
// the process's own directory untouched but for the return directory, and
// refusal of an updater that anyone could have replaced.
#include "updater_launch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "kvhelper.h"
#include "process.hpp"
#include "namespace_test.hpp"
#include "syslog_recorder.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

constexpr char kDir[] = "/opt/korvane/desktop/updater_tmp";
constexpr char kUpdater[] = "/opt/korvane/desktop/updater_tmp/kvupdate";

class UpdaterLaunch : public kv::test::NamespaceLogTest {
protected:
    void SetUp() override {
        NamespaceLogTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(kv::test::install_program(kv::test::tool_stub_program(), kUpdater));
        ASSERT_EQ(::chmod(kDir, 0755), 0);
        ASSERT_EQ(::chdir("/"), 0);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(kDir, ec);
        EXPECT_EQ(::chdir("/"), 0);
    }
    static std::string cwd() {
        char buf[4096];
        return ::getcwd(buf, sizeof buf) != nullptr ? buf : "";
    }

    kv::test::ToolStubs stubs_;
};

TEST_F(UpdaterLaunch, StartsTheUpdaterInItsDirectoryWithQuotedArguments) {
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "--mode=a b", "it's;$(touch /tmp/kvupd-pwned)"), 1);
    EXPECT_EQ(cwd(), "/tmp");
    ASSERT_TRUE(kv::test::wait_until([&] { return stubs_.calls("kvupdate").size() == 1; }, 5s));
    const auto call = stubs_.calls("kvupdate")[0];
    EXPECT_EQ(call.argv, (std::vector<std::string>{kUpdater, "--mode=a b", "it's;$(touch /tmp/kvupd-pwned)"}));
    EXPECT_EQ(call.cwd, kDir);
    EXPECT_EQ(call.getenv("LD_LIBRARY_PATH"), kDir);
    EXPECT_EQ(call.fds, (std::vector<int>{0, 1, 2}));
    EXPECT_NE(::access("/tmp/kvupd-pwned", F_OK), 0);
}

TEST_F(UpdaterLaunch, EmptyTextsRunNothing) {
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", ""), 0);
    EXPECT_EQ(KvStartKvUpdater("", "/tmp", "a", "b"), 0);
    EXPECT_EQ(KvStartKvUpdater("1", nullptr, "a", "b"), 0);
    EXPECT_TRUE(log_->wait_for("StartKvUpdater invalid arguments", 2s, 3));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(stubs_.calls("kvupdate").empty());
    EXPECT_EQ(cwd(), "/");
}

TEST_F(UpdaterLaunch, UpdaterThatIsMissingOrCouldBeReplacedIsRefused) {
    const std::string refused =
        "StartKvUpdater: /opt/korvane/desktop/updater_tmp/kvupdate is not an executable file in a protected directory";
    ASSERT_EQ(::chmod(kDir, 0777), 0);
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", "b"), 0);
    ASSERT_EQ(::chmod(kDir, 0775), 0);
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", "b"), 0);
    ASSERT_EQ(::chmod(kDir, 0755), 0);
    ASSERT_EQ(::chmod(kUpdater, 0644), 0);
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", "b"), 0);
    ASSERT_EQ(::unlink(kUpdater), 0);
    ASSERT_EQ(::symlink(kv::test::tool_stub_program(), kUpdater), 0);
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", "b"), 0);
    ASSERT_EQ(::unlink(kUpdater), 0);
    EXPECT_EQ(KvStartKvUpdater("1", "/tmp", "a", "b"), 0);
    EXPECT_TRUE(log_->wait_for(refused, 2s, 5));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(stubs_.calls("kvupdate").empty());
}

TEST_F(UpdaterLaunch, FailedReturnDirectoryChangeIsLogged) {
    EXPECT_EQ(KvStartKvUpdater("1", "/no/such/dir", "a", "b"), 1);
    EXPECT_EQ(cwd(), "/");
    EXPECT_TRUE(log_->wait_for("StartKvUpdater: failed to change directory to /no/such/dir: No such file or directory", 2s));
}

}  // namespace
