// Child processes for tests: run a program with captured output, bounded
// waits, optionally as an unprivileged user, and our own i686 programs
// through the emulator the build runs tests with.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kv::test {

// The unprivileged account tests switch to ("nobody").
inline constexpr uid_t kUnprivilegedUid = 65534;
inline constexpr gid_t kUnprivilegedGid = 65534;

struct RunOptions {
    bool unprivileged = false;                    // through setpriv as nobody
    bool built_program = false;                   // one of ours: prefixed with the emulator
    std::vector<std::string> extra_env;           // "NAME=value" added to the environment
    std::string stdin_text;
    std::string cwd;                              // working directory, "" = inherited
    int fd3 = -1;                                 // given to the child as its descriptor 3
    std::chrono::milliseconds timeout{30000};     // then SIGKILL
};

struct RunResult {
    int exit_code = -1;                           // -1 when killed by a signal
    int signal = 0;
    bool timed_out = false;
    std::string out;
    std::string err;
};

// The emulator prefix for our own programs ("" in a native build).
std::vector<std::string> emulator_prefix();

// Runs argv to completion (or the timeout), capturing both output streams.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// A started child that the owner stops: SIGTERM, a bounded wait, SIGKILL.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { stop(); }

    // Starts argv with standard output and error sent to /dev/null unless
    // `keep_output`; false when it could not be spawned.
    bool start(const std::vector<std::string>& argv, const RunOptions& options = {},
               bool keep_output = false);
    // Sends SIGTERM, waits up to `grace`, then SIGKILL; returns the wait status.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    // Waits up to `timeout` for the child to exit by itself; true when it did.
    bool wait_exit(std::chrono::milliseconds timeout, int* ret_status = nullptr);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

// A fresh directory under /tmp, removed with its contents by the destructor.
class TempDir {
public:
    explicit TempDir(const char* prefix = "kvtest");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// User plus system CPU time this process has used, in seconds (for
// "does not spin" checks).
double process_cpu_seconds();

// The whole file as text; "" when it cannot be read.
std::string read_text_file(const std::string& path);

// Polls `pred` every `step` until it holds (true) or `timeout` has passed.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// True when the test runs inside the harness's private mount namespace
// (tests/harness/nsrun.sh), where /dev/log and /opt/korvane are private.
bool in_test_namespace();

}  // namespace kv::test
