// The single-instance lock across real processes: the probe program takes
// it the way the service does, and is killed, stopped or ends as the tests
// make it. /dev/shm and /run are private tmpfs mounts of each test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "mount_fixture.hpp"
#include "unique_handle.hpp"
#include "process.hpp"

namespace {

using namespace std::chrono_literals;

constexpr char kName[] = "com.korvane.kvkvkv";

bool name_exists() {
    sem_t* sem = ::sem_open(kName, 0);
    if (sem == SEM_FAILED)
        return false;
    (void)::sem_close(sem);
    return true;
}

// One probe process and its report line.
class Probe {
public:
    // Starts the probe with `args` and waits for its report; false if none came.
    bool start(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        kv::test::RunOptions options;
        options.built_program = true;
        options.fd3 = fds[1];
        // Sanitizer builds leave SIGBUS and SIGFPE at their defaults, as
        // the service runs.
        options.extra_env = {"ASAN_OPTIONS=handle_sigbus=0:handle_sigfpe=0:handle_segv=0"};
        std::vector<std::string> argv{KV_TEST_INSTANCE_LOCK_PROBE};
        argv.insert(argv.end(), args.begin(), args.end());
        const bool started = child_.start(argv, options);
        (void)::close(fds[1]);
        const kv::UniqueFd read_end(fds[0]);
        if (!started)
            return false;
        char buffer[256];
        while (report_.find('\n') == std::string::npos) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0)
                return false;
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            report_.append(buffer, static_cast<std::size_t>(n));
        }
        return !report_.empty();
    }
    const std::string& report() const { return report_; }
    bool has(const std::string& part) const { return report_.find(part) != std::string::npos; }
    // Sends `sig` and waits for the probe to end; its wait status, or -1.
    int end_with(int sig) {
        (void)::kill(child_.pid(), sig);
        int status = 0;
        return child_.wait_exit(30s, &status) ? status : -1;
    }
    kv::test::ChildProcess& child() { return child_; }

private:
    kv::test::ChildProcess child_;
    std::string report_;
};

class InstanceLock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh";
        shm_ = std::make_unique<kv::test::TmpfsMount>("/dev/shm");
        run_ = std::make_unique<kv::test::TmpfsMount>("/run");
        ASSERT_TRUE(shm_->ok() && run_->ok());
    }
    std::unique_ptr<kv::test::TmpfsMount> shm_;
    std::unique_ptr<kv::test::TmpfsMount> run_;
};

TEST_F(InstanceLock, SecondInstanceIsRefusedUntilTheFirstDiesOfSigterm) {
    Probe first;
    ASSERT_TRUE(first.start({"hold"}));
    EXPECT_TRUE(first.has("rc=0 ")) << first.report();
    Probe second;
    ASSERT_TRUE(second.start({"open-exit"}));
    EXPECT_TRUE(second.has("rc=17 ")) << second.report();   // EEXIST
    // The refused process ended without removing the holder's name.
    EXPECT_TRUE(name_exists());
    const int status = first.end_with(SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(name_exists());
    Probe third;
    ASSERT_TRUE(third.start({"hold"}));
    EXPECT_TRUE(third.has("rc=0 ")) << third.report();
}

// Each fatal signal ends the holder as it would have without the handler,
// and the name is gone afterwards.
TEST_F(InstanceLock, HolderKilledByEachFatalSignalReleasesTheName) {
    for (const int sig : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGQUIT, SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        Probe holder;
        ASSERT_TRUE(holder.start({"hold"}));
        ASSERT_TRUE(holder.has("rc=0 ")) << holder.report();
        ASSERT_TRUE(name_exists());
        const int status = holder.end_with(sig);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_FALSE(name_exists());
    }
}

TEST_F(InstanceLock, LockOfAHolderKilledBySigkillIsTakenOver) {
    Probe holder;
    ASSERT_TRUE(holder.start({"hold"}));
    ASSERT_TRUE(holder.has("rc=0 "));
    const int status = holder.end_with(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_TRUE(name_exists());   // nothing could remove it
    Probe next;
    ASSERT_TRUE(next.start({"hold"}));
    EXPECT_TRUE(next.has("rc=0 ")) << next.report();
    // And the new holder is a real holder: a further start is refused.
    Probe another;
    ASSERT_TRUE(another.start({"open-exit"}));
    EXPECT_TRUE(another.has("rc=17 ")) << another.report();
}

TEST_F(InstanceLock, StoppedHolderKeepsTheLock) {
    Probe holder;
    ASSERT_TRUE(holder.start({"hold"}));
    ASSERT_TRUE(holder.has("rc=0 "));
    EXPECT_TRUE(holder.has("tstp=dfl")) << holder.report();
    ASSERT_EQ(::kill(holder.child().pid(), SIGTSTP), 0);
    // Bounded: a stop signal the kernel discards must fail the test, not hang it.
    siginfo_t info{};
    for (int i = 0; i < 3000 && info.si_pid == 0; ++i) {
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(holder.child().pid()), &info, WSTOPPED | WNOHANG | WNOWAIT), 0);
        if (info.si_pid == 0)
            ::usleep(10000);
    }
    ASSERT_EQ(info.si_pid, holder.child().pid()) << "the holder did not stop";
    EXPECT_EQ(info.si_code, CLD_STOPPED);
    EXPECT_TRUE(name_exists());
    Probe second;
    ASSERT_TRUE(second.start({"open-exit"}));
    EXPECT_TRUE(second.has("rc=17 ")) << second.report();
    (void)::kill(holder.child().pid(), SIGCONT);
}

TEST_F(InstanceLock, HandlersOnlyWhereTheDispositionIsTheDefault) {
    Probe holder;
    ASSERT_TRUE(holder.start({"own-term", "ignore-int", "hold"}));
    ASSERT_TRUE(holder.has("rc=0 "));
    EXPECT_TRUE(holder.has("term=own int=ign tstp=dfl bus=lib")) << holder.report();
    // The service's own handler decides how SIGTERM ends it.
    const int status = holder.end_with(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(InstanceLock, NameRemovedAtUnloadOnlyByItsCreator) {
    Probe holder;
    ASSERT_TRUE(holder.start({"hold"}));
    ASSERT_TRUE(holder.has("rc=0 "));
    // A process that loads and unloads the library without the lock.
    Probe other;
    ASSERT_TRUE(other.start({"exit"}));
    int status = 0;
    ASSERT_TRUE(other.child().wait_exit(30s, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(name_exists());
    (void)holder.end_with(SIGKILL);

    // The creator's own unload removes it.
    Probe creator;
    ASSERT_TRUE(creator.start({"open-exit"}));
    EXPECT_TRUE(creator.has("rc=0 ")) << creator.report();
    ASSERT_TRUE(creator.child().wait_exit(30s, &status));
    EXPECT_FALSE(name_exists());
}

}  // namespace
