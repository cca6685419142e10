// The watchdog's cycle with a 50 ms interval (this file's build compiles
// the watchdog with a test seam): escalation SIGHUP, SIGTERM, SIGKILL with
// its log lines, keep-alives that prevent it, and a pause that keeps the
// counts. Each case runs the watchdog in a forked child that reports each
// cycle and each signal through a pipe.
#include "watchdog.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "coverage_counters.hpp"
#include "process.hpp"
#include "syslog_recorder.hpp"

namespace kv::helper {
namespace {
int g_report = -1;
std::atomic<int> g_cycles{0};
}  // namespace

void report(const char* event) noexcept;
void report(const char* event) noexcept {
    if (::write(g_report, event, 1) != 1)
        _exit(91);
}

void watchdog_cycle_done() noexcept;
void watchdog_cycle_done() noexcept {
    g_cycles.fetch_add(1);
    report("c");
}
}  // namespace kv::helper

namespace {

using namespace std::chrono_literals;
using kv::helper::g_cycles;
using kv::helper::g_report;

void report_signal(int sig) { kv::helper::report(sig == SIGHUP ? "H" : "T"); }

struct ChildRun {
    std::string events;   // 'c' per cycle, 'H' / 'T' per signal, others by the body
    int status = 0;
};

// Runs `body` in a child with the watchdog started; collects what it
// reports until it ends (or `limit` passes, then kills it).
ChildRun run_watchdog_child(const std::function<void()>& body, std::chrono::milliseconds limit) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        kv::test::coverage_child_started();
        ::close(fds[0]);
        g_report = fds[1];
        struct sigaction sa {};
        sa.sa_handler = report_signal;
        ::sigaction(SIGHUP, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
        kv::helper::watchdog_load();
        if (kv::helper::watchdog_start_thread() != 0)
            _exit(90);
        body();
        kv::helper::watchdog_unload();
        kv::test::coverage_child_leaving();
        _exit(0);
    }
    ::close(fds[1]);
    // The recorder's thread starts after the fork: the emulator cannot fork
    // a threaded process whose child then starts threads.
    (void)kv::test::shared_syslog();
    ChildRun run;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        run.events.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    ::waitpid(pid, &run.status, 0);
    return run;
}

int cycles_before(const std::string& events, char what) {
    int n = 0;
    for (const char c : events) {
        if (c == what)
            return n;
        n += c == 'c' ? 1 : 0;
    }
    return -1;
}

TEST(WatchdogCycle, MissedKeepAlivesEscalateHupTermKill) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    const ChildRun run = run_watchdog_child([] {
        for (;;)
            ::pause();
    }, 20s);
    // Cycles 1..11 score 10..110; the 10th is the first critical one, the
    // 12th raises SIGHUP, the 13th SIGTERM, the 14th SIGKILL.
    const int hup = cycles_before(run.events, 'H');
    const int term = cycles_before(run.events, 'T');
    EXPECT_TRUE(hup == 11 || hup == 12) << run.events;
    EXPECT_TRUE(term == 12 || term == 13) << run.events;
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.events;
    EXPECT_EQ(WTERMSIG(run.status), SIGKILL);
    auto* log = kv::test::shared_syslog();
    ASSERT_NE(log, nullptr);
    for (int level = 0; level < 3; ++level) {
        EXPECT_TRUE(log->wait_for("KvHelperLinux.WatchdogThread: TERMINATION LEVEL " + std::to_string(level) +
                                      " - process should be terminated",
                                  2s));
    }
}

TEST(WatchdogCycle, KeepAlivesEveryCycleAreNeverSignalled) {
    const ChildRun run = run_watchdog_child([] {
        while (g_cycles.load() < 40) {
            kv::helper::watchdog_set_keepalive();
            std::this_thread::sleep_for(5ms);
        }
    }, 30s);
    EXPECT_EQ(run.events.find_first_of("HT"), std::string::npos) << run.events;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}

TEST(WatchdogCycle, PausedChecksKeepTheCountsAndResume) {
    const ChildRun run = run_watchdog_child([] {
        while (g_cycles.load() < 5)
            std::this_thread::sleep_for(1ms);
        kv::helper::watchdog_set_checks_active(false);
        const int paused_at = g_cycles.load();
        while (g_cycles.load() < paused_at + 30)
            std::this_thread::sleep_for(5ms);
        kv::helper::report("E");
        kv::helper::watchdog_set_checks_active(true);
        for (;;)
            ::pause();
    }, 30s);
    const std::size_t resumed = run.events.find('E');
    ASSERT_NE(resumed, std::string::npos) << run.events;
    EXPECT_EQ(run.events.substr(0, resumed).find_first_of("HT"), std::string::npos) << run.events;
    // Five or six cycles counted before the pause: the seventh (or sixth)
    // after it raises SIGHUP, not the twelfth.
    const int after = cycles_before(run.events.substr(resumed), 'H');
    EXPECT_GE(after, 5) << run.events;
    EXPECT_LE(after, 8) << run.events;
}

TEST(WatchdogCycle, DisableEndsTheThreadAtOnce) {
    const ChildRun run = run_watchdog_child([] {
        while (g_cycles.load() < 2)
            std::this_thread::sleep_for(1ms);
        kv::helper::watchdog_set_disabled();
        std::this_thread::sleep_for(500ms);
        kv::helper::report("E");
    }, 10s);
    const std::size_t end = run.events.find('E');
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(cycles_before(run.events, 'E'), 3) << run.events;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}

}  // namespace
