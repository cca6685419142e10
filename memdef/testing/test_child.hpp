// Test helpers: run a case in a forked child so that the library's
// process-wide state (policy, counters, seed, temp directory) starts fresh
// for every case and cannot leak between them; read a whole file.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "coverage_counters.hpp"

namespace kv::md::test {

struct ChildResult {
    int status = 0;          // raw wait status
    pid_t pid = -1;
    std::string message;     // what the child reported ("" = passed)
};

// Runs fn() in a child. fn returns "" when the case holds, otherwise a
// description of what failed.
template <class Fn>
ChildResult run_in_child(Fn fn) {
    int pipe_fds[2];
    ChildResult r;
    if (pipe(pipe_fds) != 0) {
        r.message = "pipe failed";
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        kv::test::coverage_child_started();
        close(pipe_fds[0]);
        const std::string error = fn();
        if (!error.empty())
            (void)!write(pipe_fds[1], error.data(), error.size());
        kv::test::coverage_child_leaving();
        _exit(error.empty() ? 0 : 1);
    }
    close(pipe_fds[1]);
    r.pid = pid;
    char buf[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0)
        r.message.append(buf, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    (void)waitpid(pid, &r.status, 0);
    if (r.message.empty() && !(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0))
        r.message = "child ended with status " + std::to_string(r.status);
    return r;
}

// The child's message, for EXPECT_EQ(in_child(...), "").
template <class Fn>
std::string in_child(Fn fn) {
    return run_in_child(fn).message;
}

// The whole content of a file ("" when it cannot be read).
inline std::string read_all(const std::string& path) {
    std::string data;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
        data.append(buf, static_cast<std::size_t>(n));
    if (fd >= 0)
        close(fd);
    return data;
}

}  // namespace kv::md::test
