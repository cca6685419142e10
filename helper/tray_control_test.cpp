// Tray start and stop against the ps, su and pgrep stand-ins, with desktop
// sessions and tray programs that are real processes of test users (added
// to a passwd file bound over /etc/passwd).
#include "tray_control.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"
#include "namespace_test.hpp"
#include "syslog_recorder.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;
using kv::test::StubCall;

constexpr int kAlice = 5001;
constexpr int kObrien = 5002;
constexpr int kDashUser = 5003;
constexpr int kLongUser = 5004;
constexpr char kTrayDir[] = "/tmp/kvtray";

class TrayControl : public kv::test::NamespaceLogTest {
protected:
    void SetUp() override {
        NamespaceLogTest::SetUp();
        if (HasFatalFailure())
            return;
        std::ifstream real("/etc/passwd");
        std::stringstream users;
        users << real.rdbuf() << "kvalice:x:5001:5001::/tmp:/bin/bash\n"
              << "o'brien:x:5002:5002::/tmp:/bin/bash\n"
              << "ev\x01il:x:5003:5003::/tmp:/bin/bash\n"
              << "kv" << std::string(250, 'a') << ":x:5004:5004::/tmp:/bin/bash\n";
        ASSERT_TRUE(kv::test::write_text_file(dir_.file("passwd"), users.str()));
        passwd_ = std::make_unique<kv::test::BindMount>(dir_.file("passwd"), "/etc/passwd");
        ASSERT_TRUE(passwd_->ok());
        ASSERT_TRUE(kv::test::install_program(kv::test::fake_tray_program(), "/opt/korvane/desktop/korvaneui"));
        std::error_code ec;
        std::filesystem::remove_all(kTrayDir, ec);
        std::filesystem::create_directories(kTrayDir);
        ::chmod(kTrayDir, 01777);
    }
    void TearDown() override {
        for (pid_t pid : processes_)
            kv::test::kill_and_reap(pid);
        if (::system("pkill -KILL -x korvaneui") < 0)
            ADD_FAILURE() << "pkill";
    }

    // A desktop session process (any program) with exactly `env`.
    pid_t session(const std::vector<std::string>& env) {
        const pid_t pid = kv::test::spawn_exact(kv::test::fake_tray_program(), {"gnome-session"}, env);
        processes_.push_back(pid);
        return pid;
    }
    // A tray program running as `uid`.
    pid_t tray_as(int uid) {
        const std::string id = std::to_string(uid);
        const pid_t pid = kv::test::spawn_exact(
            "/usr/bin/setpriv", {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                 "/opt/korvane/desktop/korvaneui"},
            {"PATH=/usr/bin"});
        processes_.push_back(pid);
        EXPECT_TRUE(kv::test::wait_until(
            [pid] { return std::filesystem::exists(std::string(kTrayDir) + "/" + std::to_string(pid)); }, 5s));
        return pid;
    }
    static std::string ps_output(pid_t pid) {
        return "    PID TTY          TIME CMD\n " + std::to_string(pid) + " ?        00:00:01 gnome-session\n";
    }
    // Record files of tray programs started so far (pid files only).
    static std::vector<std::string> tray_records() {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(kTrayDir)) {
            if (e.path().extension() != ".term") {
                std::ifstream in(e.path());
                std::stringstream s;
                s << in.rdbuf();
                out.push_back(s.str());
            }
        }
        return out;
    }
    static bool terminated(pid_t pid) {
        return std::filesystem::exists(std::string(kTrayDir) + "/" + std::to_string(pid) + ".term");
    }

    kv::test::TempDir dir_{"kvtray-test"};
    std::unique_ptr<kv::test::BindMount> passwd_;
    kv::test::ToolStubs stubs_;
    std::vector<pid_t> processes_;
};

TEST_F(TrayControl, StartsTheTrayAsTheUserWithTheSessionsLocalDisplay) {
    // WAYLAND_DISPLAY comes first: only the entry named DISPLAY counts.
    const pid_t s = session({"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0.0\n", "HOME=/tmp"});
    stubs_.answer("ps", ps_output(s));
    const int uids[] = {kAlice};
    EXPECT_EQ(KvStartKvUI(uids, 1), 1);
    const auto ps = stubs_.calls("ps");
    ASSERT_EQ(ps.size(), 1u);
    EXPECT_EQ(ps[0].argv, (std::vector<std::string>{"ps", "-u", "kvalice"}));
    const auto su = stubs_.calls("su");
    ASSERT_EQ(su.size(), 1u);
    EXPECT_EQ(su[0].argv, (std::vector<std::string>{
                              "su", "kvalice", "-c",
                              "export DISPLAY=':0.0'; /opt/korvane/desktop/korvaneui >/dev/null 2>&1 &"}));
    EXPECT_EQ(su[0].fds, (std::vector<int>{0, 1, 2}));
    ASSERT_TRUE(kv::test::wait_until([] { return tray_records().size() == 1; }, 5s));
    EXPECT_EQ(tray_records()[0], "uid 5001\ndisplay :0.0\nfds 0 1 2\n");
    EXPECT_TRUE(log_->wait_for("KvHelper: StartUIForUser (kvalice:5001) ...", 2s));
}

TEST_F(TrayControl, UnsafeNamesAndBadDisplaysAreSkippedEachLogged) {
    const pid_t remote = session({"DISPLAY=localhost:10.0"});
    const pid_t injected = session({"DISPLAY=:0;touch /tmp/kvtray-pwned"});
    stubs_.answer("ps", ps_output(remote), 0, 1);
    stubs_.answer("ps", ps_output(injected), 0, 2);
    const int uids[] = {kDashUser, -1, 4242, kLongUser, kObrien, kAlice};
    EXPECT_EQ(KvStartKvUI(uids, 6), 1);
    const auto ps = stubs_.calls("ps");
    ASSERT_EQ(ps.size(), 2u);
    // A quote in the name reaches ps as part of the one argument.
    EXPECT_EQ(ps[0].argv, (std::vector<std::string>{"ps", "-u", "o'brien"}));
    EXPECT_EQ(ps[1].argv, (std::vector<std::string>{"ps", "-u", "kvalice"}));
    EXPECT_TRUE(stubs_.calls("su").empty());
    EXPECT_TRUE(log_->wait_for("KvHelper: StartUIForUser - unsafe user name for uid: 5003", 2s));
    EXPECT_TRUE(log_->wait_for("KvHelper: command for uid: 5004 refused, longer than 256 bytes", 2s));
    EXPECT_TRUE(log_->wait_for("KvHelper: non-local DISPLAY value", 2s));
    EXPECT_TRUE(log_->wait_for("KvHelper: Invalid DISPLAY value", 2s));
    EXPECT_NE(::access("/tmp/kvtray-pwned", F_OK), 0);
}

TEST_F(TrayControl, SessionWithoutDisplayOrWithoutSession) {
    const pid_t s = session({"WAYLAND_DISPLAY=wayland-0"});
    stubs_.answer("ps", ps_output(s), 0, 1);
    stubs_.answer("ps", "", 0, 2);
    const int uids[] = {kAlice, kAlice};
    EXPECT_EQ(KvStartKvUI(uids, 2), 1);
    EXPECT_TRUE(log_->wait_for("KvHelper: failed to get DISPLAY for uid:5001", 2s));
    EXPECT_TRUE(log_->wait_for("KvHelper: No gnome-session found for uid: 5001 ...", 2s));
    EXPECT_TRUE(stubs_.calls("su").empty());
}

TEST_F(TrayControl, StopSignalsTraysAndReturnsOwnersFromProc) {
    const pid_t alice = tray_as(kAlice);
    const pid_t nobody = tray_as(65534);
    // A pid that pgrep listed but that is another program by now.
    const pid_t other = session({});
    stubs_.answer("pgrep", std::to_string(alice) + "\n" + std::to_string(nobody) + "\n" + std::to_string(other) +
                               "\n1\n");
    int uids[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    unsigned count = 8;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KvStopKvUI(uids, &count), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(uids[0], kAlice);
    EXPECT_EQ(uids[1], 65534);
    EXPECT_EQ(uids[2], 0);
    EXPECT_EQ(uids[3], -1);
    EXPECT_TRUE(kv::test::wait_until([&] { return terminated(alice) && terminated(nobody); }, 5s));
    EXPECT_EQ(::kill(other, 0), 0) << "a pid that is not a tray program was signalled";
    EXPECT_EQ(stubs_.calls("pgrep")[0].argv, (std::vector<std::string>{"/usr/bin/pgrep", "korvaneui"}));
}

TEST_F(TrayControl, StopWithTooSmallAnArrayOrNothingRunning) {
    std::vector<pid_t> trays;
    std::string listing;
    for (int i = 0; i < 6; ++i) {
        trays.push_back(tray_as(kAlice));
        listing += std::to_string(trays.back()) + "\n";
    }
    stubs_.answer("pgrep", listing);
    int uids[4] = {};
    unsigned count = 4;
    EXPECT_EQ(KvStopKvUI(uids, &count), 0);
    EXPECT_EQ(count, 6u);
    std::this_thread::sleep_for(300ms);
    for (pid_t t : trays)
        EXPECT_FALSE(terminated(t));

    stubs_.answer("pgrep", "", 1);
    count = 4;
    EXPECT_EQ(KvStopKvUI(uids, &count), 0);
    EXPECT_EQ(count, 0u);
    count = 0;
    EXPECT_EQ(KvStopKvUI(uids, &count), 1);
    EXPECT_EQ(KvStopKvUI(nullptr, &count), 0);
}

TEST_F(TrayControl, PidArrayCountsWhatDoesNotFit) {
    stubs_.answer("pgrep", "11\n12\n13\n");
    int pids[2] = {};
    unsigned count = 2;
    EXPECT_EQ(get_array_of_pids(pids, &count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(pids[0], 11);
    EXPECT_EQ(pids[1], 12);
    int all[3] = {};
    count = 3;
    EXPECT_EQ(get_array_of_pids(all, &count), 1);
    EXPECT_EQ(all[2], 13);
}

}  // namespace
