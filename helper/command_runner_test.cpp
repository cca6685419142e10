// The command runner against real bash and the initctl stand-in: first
// line and status, output read to its end, background programs, closed
// descriptors, reset signals, a shell that cannot start, lost statuses,
// and its log lines under its own identity.
#include "command_runner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <filesystem>
#include <set>
#include <thread>

#include "elf_section.hpp"
#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"
#include "namespace_test.hpp"
#include "syslog_recorder.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

class CommandRunner : public kv::test::NamespaceLogTest {
protected:
    char out_[4096];
};

TEST_F(CommandRunner, FirstLineWithItsLineFeedAndTheWaitStatus) {
    EXPECT_EQ(execute_cmd("printf 'one\\ntwo\\n'; exit 3", out_, sizeof out_, nullptr), 3 << 8);
    EXPECT_STREQ(out_, "one\n");
    EXPECT_EQ(execute_cmd("echo hi", out_, sizeof out_, nullptr), 0);
    EXPECT_STREQ(out_, "hi\n");
    EXPECT_EQ(execute_cmd("true", out_, sizeof out_, nullptr), 0);
    EXPECT_STREQ(out_, "");
    // A line longer than the buffer: size - 1 bytes, terminated.
    char small[8];
    EXPECT_EQ(execute_cmd("echo 0123456789", small, sizeof small, nullptr), 0);
    EXPECT_STREQ(small, "0123456");
    EXPECT_TRUE(log_->wait_for("execute_cmd 179: cmd = /bin/bash -c 'printf '\\''one\\ntwo\\n'\\''; exit 3' ret = 768, "
                               "errno = 0, strerr = Success",
                               2s));
}

TEST_F(CommandRunner, OutputAfterTheFirstLineIsReadToItsEnd) {
    // Closing the pipe after the first line would kill head with SIGPIPE.
    EXPECT_EQ(execute_cmd("echo first; head -c 3000000 /dev/zero; touch /tmp/kvrun-finished", out_, sizeof out_,
                          nullptr),
              0);
    EXPECT_STREQ(out_, "first\n");
    EXPECT_EQ(::access("/tmp/kvrun-finished", F_OK), 0);
    (void)::unlink("/tmp/kvrun-finished");
}

void reader_taking_one_word(char* buffer, size_t size) {
    (void)std::snprintf(buffer, size, "reader ran");
}

TEST_F(CommandRunner, ReaderFillsTheBufferAndTheRestIsDrained) {
    EXPECT_EQ(execute_cmd("head -c 1000000 /dev/zero; touch /tmp/kvrun-drained", out_, sizeof out_,
                          reader_taking_one_word),
              0);
    EXPECT_STREQ(out_, "reader ran");
    EXPECT_EQ(::access("/tmp/kvrun-drained", F_OK), 0);
}

TEST_F(CommandRunner, BackgroundProgramHoldingThePipeIsNotWaitedFor) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(execute_cmd("sleep 20 & echo started", out_, sizeof out_, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_STREQ(out_, "started\n");
    (void)execute_cmd("pkill -x sleep", out_, sizeof out_, nullptr);
}

TEST_F(CommandRunner, ChildGetsOnlyTheStandardDescriptors) {
    kv::test::ToolStubs stubs;
    // An inheritable descriptor of "the service", and one above the rest.
    const int leaked = ::open("/proc/self/status", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(::dup2(leaked, 77), 77);
    stubs.answer("initctl", "status\n");
    EXPECT_EQ(execute_cmd("/sbin/initctl status korvanesvc", out_, sizeof out_, nullptr), 0);
    ::close(leaked);
    ::close(77);
    const auto calls = stubs.calls("initctl");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fds, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"/sbin/initctl", "status", "korvanesvc"}));
}

TEST_F(CommandRunner, SignalsIgnoredOrBlockedByTheServiceAreResetInTheCommand) {
    struct sigaction ignore {}, old_pipe {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_pipe), 0);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
    EXPECT_EQ(execute_cmd("awk '/^Sig(Blk|Ign)/ { printf \"%s \", $2 }' /proc/self/status", out_, sizeof out_,
                          nullptr),
              0);
    (void)pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    (void)::sigaction(SIGPIPE, &old_pipe, nullptr);
    unsigned long long blocked = ~0ull, ignored = ~0ull;
    ASSERT_EQ(std::sscanf(out_, "%llx %llx", &blocked, &ignored), 2) << out_;
    EXPECT_EQ(blocked & (1ull << (SIGUSR1 - 1)), 0u) << out_;
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out_;
}

TEST_F(CommandRunner, ShellThatCannotStartLeavesTheFailureText) {
    kv::test::TempDir dir("kvrun");
    ASSERT_TRUE(kv::test::write_text_file(dir.file("bash"), "not a program", 0644));
    const int r = kv::test::run_in_private_mounts([&]() -> int {
        if (::mount(dir.file("bash").c_str(), "/usr/bin/bash", nullptr, MS_BIND, nullptr) != 0)
            return 100;
        char out[4096];
        if (execute_cmd("true", out, sizeof out, nullptr) != -1)
            return 1;
        return std::strcmp(out, "popen failed for cmd /bin/bash -c 'true'.") == 0 ? 0 : 2;
    });
    EXPECT_EQ(r, 0);
}

TEST_F(CommandRunner, IgnoredSigchldCountsAsSuccessAndIsLoggedOnce) {
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    const int first = execute_cmd("exit 3", out_, sizeof out_, nullptr);
    const int second = execute_cmd("exit 3", out_, sizeof out_, nullptr);
    (void)::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    const std::string line = "execute_cmd 182: cannot retrieve exit status of a process. Assuming it is dead";
    // Logged by the first of the two commands, not again by the second; no
    // other case of this program ignores SIGCHLD.
    EXPECT_TRUE(log_->wait_for(line, 2s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log_->count(line), 1);
}

void reap_every_child(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

TEST_F(CommandRunner, ChildReapedElsewhereIsNeverASuccess) {
    struct sigaction reap {}, old {};
    reap.sa_handler = reap_every_child;
    reap.sa_flags = SA_RESTART;
    ASSERT_EQ(::sigaction(SIGCHLD, &reap, &old), 0);
    int failures_reported_as_success = 0;
    for (int i = 0; i < 20; ++i) {
        const int r = execute_cmd("exit 3", out_, sizeof out_, nullptr);
        failures_reported_as_success += r == 0 ? 1 : 0;
        EXPECT_TRUE(r == (3 << 8) || r == -1) << r;
    }
    (void)::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(failures_reported_as_success, 0);
}

TEST_F(CommandRunner, LogsAsKvHelperWithoutChangingTheServiceIdentity) {
    ::openlog("kvservice", LOG_PID, LOG_LOCAL3);
    EXPECT_EQ(execute_cmd("true", out_, sizeof out_, nullptr), 0);
    ::syslog(LOG_ERR, "service line");
    ::closelog();
    ASSERT_TRUE(log_->wait_for("service line", 2s));
    ASSERT_TRUE(log_->wait_for("execute_cmd 163: /bin/bash -c 'true'", 2s));
    const std::string pid = "[" + std::to_string(::getpid()) + "]";
    for (const auto& l : log_->lines()) {
        if (l.message == "execute_cmd 163: /bin/bash -c 'true'") {
            EXPECT_EQ(l.ident, "KvHelper" + pid);
            EXPECT_EQ(l.facility, LOG_DAEMON);
            EXPECT_EQ(l.priority, LOG_ERR);
        }
        if (l.message == "service line") {
            EXPECT_EQ(l.ident, "kvservice" + pid);
            EXPECT_EQ(l.facility, LOG_LOCAL3);
        }
    }
}

std::set<int> open_fds() {
    std::set<int> fds;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(e.path().filename().string()));
    return fds;
}

TEST_F(CommandRunner, LibraryDescriptorsAreCloseOnExec) {
    const std::set<int> before = open_fds();
    EXPECT_EQ(execute_cmd("true", out_, sizeof out_, nullptr), 0);   // opens the log socket
    ElfContext* ctx = kv_elf_open("/bin/bash");
    ASSERT_NE(ctx, nullptr);
    const std::set<int> after = open_fds();
    int checked = 0;
    for (const int fd : after) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (before.count(fd) != 0 || flags < 0)
            continue;   // the test's own, or the directory listing's, gone by now
        EXPECT_NE(flags & FD_CLOEXEC, 0) << "descriptor " << fd;
        ++checked;
    }
    EXPECT_GE(checked, 1);
    EXPECT_NE(::fcntl(::fileno(ctx->stream), F_GETFD) & FD_CLOEXEC, 0);
    kv_elf_close(ctx);
}

}  // namespace
