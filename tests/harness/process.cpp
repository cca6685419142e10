// Child processes for tests, spawned with posix_spawn (safe in the
// multi-threaded test processes) and always reaped within a bounded time.
#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> full_argv(const std::vector<std::string>& argv, const RunOptions& options) {
    std::vector<std::string> out;
    if (options.unprivileged) {
        out = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kUnprivilegedUid),
               "--regid=" + std::to_string(kUnprivilegedGid), "--clear-groups", "--"};
    }
    if (options.built_program) {
        for (auto& part : emulator_prefix())
            out.push_back(part);
    }
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

std::vector<std::string> full_env(const RunOptions& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const auto& extra : options.extra_env) {
        const std::string key = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env, [&](const std::string& v) { return v.rfind(key, 0) == 0; });
        env.push_back(extra);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Spawns with the given descriptors as 0, 1 and 2 (-1: /dev/null).
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& options, int in, int out, int err) {
    std::vector<std::string> args = full_argv(argv, options);
    std::vector<std::string> env = full_env(options);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int fds[3] = {in, out, err};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] >= 0)
            posix_spawn_file_actions_adddup2(&actions, fds[i], i);
        else
            posix_spawn_file_actions_addopen(&actions, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (options.fd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.fd3, 3);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return r == 0 ? pid : -1;
}

void fill_status(int status, RunResult& result) {
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

bool wait_bounded(pid_t pid, Clock::time_point deadline, int* status) {
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

std::vector<std::string> emulator_prefix() {
    std::vector<std::string> out;
    std::istringstream in(KV_TEST_EMULATOR);
    std::string part;
    while (std::getline(in, part, ';')) {
        if (!part.empty())
            out.push_back(part);
    }
    return out;
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    const pid_t pid = spawn(argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult result;
    if (pid < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.exit_code = 127;
        return result;
    }
    // Input is small: written at once, then closed.
    const std::string& text = options.stdin_text;
    std::size_t written = 0;
    signal(SIGPIPE, SIG_IGN);
    while (written < text.size()) {
        const ssize_t n = write(in_pipe[1], text.data() + written, text.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    close(in_pipe[1]);

    const auto deadline = Clock::now() + options.timeout;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        const int r = poll(fds, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0)
            close(f.fd);
    }
    int status = 0;
    if (!wait_bounded(pid, Clock::now() + std::chrono::seconds(5), &status)) {
        kill(pid, SIGKILL);
        (void)waitpid(pid, &status, 0);
        result.timed_out = true;
    }
    fill_status(status, result);
    return result;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const RunOptions& options, bool keep_output) {
    stop();
    pid_ = spawn(argv, options, -1, keep_output ? 1 : -1, keep_output ? 2 : -1);
    return pid_ > 0;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    if (!wait_bounded(pid_, Clock::now() + grace, &status_)) {
        kill(pid_, SIGKILL);
        (void)waitpid(pid_, &status_, 0);
    }
    pid_ = -1;
    return status_;
}

bool ChildProcess::wait_exit(std::chrono::milliseconds timeout, int* ret_status) {
    if (pid_ <= 0)
        return true;
    if (!wait_bounded(pid_, Clock::now() + timeout, &status_))
        return false;
    pid_ = -1;
    if (ret_status != nullptr)
        *ret_status = status_;
    return true;
}

TempDir::TempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool in_test_namespace() {
    const char* v = std::getenv("KV_IN_TEST_NAMESPACE");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace kv::test
