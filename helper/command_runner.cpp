// Starting bash with posix_spawn, reading its output to the end, reaping it
// by pid, and the logged runner on top.
#include "command_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "log.hpp"
#include "shell_text.hpp"

extern char** environ;

namespace kv::helper {
namespace {

constexpr char kIdent[] = "KvHelper";
constexpr char kRunnerName[] = "execute_cmd";
constexpr int kLineFormed = 163;
constexpr int kLineFailed = 179;
constexpr int kLineNoStatus = 182;

struct SpawnAttr {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnAttr() noexcept {
        (void)posix_spawnattr_init(&attr);
        (void)posix_spawn_file_actions_init(&actions);
    }
    ~SpawnAttr() {
        (void)posix_spawn_file_actions_destroy(&actions);
        (void)posix_spawnattr_destroy(&attr);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
};

}  // namespace

kv::UniqueFd open_pidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    return kv::UniqueFd(fd >= 0 ? static_cast<int>(fd) : -1);
#else
    (void)pid;
    errno = ENOSYS;
    return kv::UniqueFd();
#endif
}

bool sigchld_ignored() noexcept {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0)
        return false;
    return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

ShellCommand::~ShellCommand() {
    if (pid_ > 0) {
        int status = 0;
        (void)wait(&status);
    }
}

int ShellCommand::start(const char* text) noexcept {
    if (text == nullptr || pid_ > 0)
        return -EINVAL;
    // Checked here as well: where the spawn's exec failure cannot be
    // reported back (an emulator turns vfork into fork) it would look like
    // a command that exited with 127.
    if (::access(kShellPath, X_OK) != 0)
        return -errno;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -errno;
    kv::UniqueFd read_end(fds[0]);
    const kv::UniqueFd write_end(fds[1]);
    SpawnAttr spawn;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // The command gets default dispositions and an open mask whatever the
    // service ignores or blocks on this thread (an ignored SIGPIPE would
    // otherwise keep a pipeline's writer running for ever).
    (void)posix_spawnattr_setsigmask(&spawn.attr, &none);
    (void)posix_spawnattr_setsigdefault(&spawn.attr, &all);
    (void)posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    (void)posix_spawn_file_actions_adddup2(&spawn.actions, write_end.get(), STDOUT_FILENO);
    (void)posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Nothing of the service (bus sockets, state files) reaches the command
    // or what it starts: close_range in the child, /proc/self/fd without it.
    (void)posix_spawn_file_actions_addclosefrom_np(&spawn.actions, STDERR_FILENO + 1);
    char arg0[] = "/bin/bash";
    char arg1[] = "-c";
    char* const argv[] = {arg0, arg1, const_cast<char*>(text), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, kShellPath, &spawn.actions, &spawn.attr, argv, environ);
    if (rc != 0)
        return -rc;
    pid_ = pid;
    out_ = std::move(read_end);
    pidfd_ = open_pidfd(pid);
    shell_ended_ = false;
    at_end_ = false;
    pending_begin_ = pending_end_ = 0;
    return 0;
}

long ShellCommand::read_some(char* buffer, std::size_t size) noexcept {
    if (!out_ || at_end_)
        return 0;
    for (;;) {
        if (shell_ended_) {
            // Only what is in the pipe already: a background program that
            // keeps it open is not waited for.
            const ssize_t n = ::read(out_.get(), buffer, size);
            if (n > 0)
                return n;
            if (n < 0 && errno == EINTR)
                continue;
            at_end_ = true;
            return 0;
        }
        pollfd polls[2] = {{out_.get(), POLLIN, 0}, {pidfd_.get(), POLLIN, 0}};
        const int ready = ::poll(polls, pidfd_ ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            at_end_ = true;
            return 0;
        }
        if ((polls[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(out_.get(), buffer, size);
            if (n > 0)
                return n;
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            at_end_ = true;   // end of file, or an error that ends the output
            return 0;
        }
        if (pidfd_ && (polls[1].revents & POLLIN) != 0) {
            shell_ended_ = true;
            const int flags = ::fcntl(out_.get(), F_GETFL);
            if (flags < 0 || ::fcntl(out_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
                at_end_ = true;
                return 0;
            }
        }
    }
}

bool ShellCommand::read_line(char* buffer, std::size_t size) noexcept {
    if (size == 0)
        return false;
    std::size_t used = 0;
    while (used + 1 < size) {
        if (pending_begin_ == pending_end_) {
            const long n = read_some(pending_, sizeof pending_);
            if (n <= 0)
                break;
            pending_begin_ = 0;
            pending_end_ = static_cast<std::size_t>(n);
        }
        const char c = pending_[pending_begin_++];
        buffer[used++] = c;
        if (c == '\n')
            break;
    }
    buffer[used] = '\0';
    return used > 0;
}

std::size_t ShellCommand::read_all(char* buffer, std::size_t size) noexcept {
    if (size == 0)
        return 0;
    std::size_t used = 0;
    while (used + 1 < size) {
        if (pending_begin_ == pending_end_) {
            const long n = read_some(buffer + used, size - 1 - used);
            if (n <= 0)
                break;
            used += static_cast<std::size_t>(n);
            continue;
        }
        const std::size_t n = std::min(pending_end_ - pending_begin_, size - 1 - used);
        std::memcpy(buffer + used, pending_ + pending_begin_, n);
        pending_begin_ += n;
        used += n;
    }
    buffer[used] = '\0';
    return used;
}

void ShellCommand::drain() noexcept {
    pending_begin_ = pending_end_ = 0;
    char discard[4096];
    while (read_some(discard, sizeof discard) > 0) {
    }
}

int ShellCommand::wait(int* ret_status) noexcept {
    if (pid_ <= 0)
        return -ECHILD;
    drain();
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    const int error = errno;
    pid_ = -1;
    out_.reset();
    pidfd_.reset();
    if (r < 0)
        return -error;
    if (ret_status != nullptr)
        *ret_status = status;
    return 0;
}

int for_each_output_line(const char* text, std::size_t line_size, const std::function<bool(const char*)>& line,
                         int* ret_status) noexcept {
    if (line_size == 0)
        return -EINVAL;
    ShellCommand command;
    const int rc = command.start(text);
    if (rc != 0)
        return rc;
    std::vector<char> buffer(line_size);
    while (command.read_line(buffer.data(), buffer.size())) {
        if (!line(buffer.data()))
            break;
    }
    int status = 0;
    const int waited = command.wait(&status);
    if (waited != 0)
        return waited;
    if (ret_status != nullptr)
        *ret_status = status;
    return 0;
}

namespace {

// How the logged runner fills the caller's buffer.
enum class Collect : unsigned char { first_line, reader, whole_output };

int run_logged(const char* text, char* buffer, std::size_t size, Collect collect, OutputReader reader) noexcept {
    if (text == nullptr)
        return -1;
    const std::string formed = std::string(kShellPath) + " -c " + shell_quote(text);
    log_as(kIdent, LOG_DAEMON | LOG_ERR, "%s %d: %s", kRunnerName, kLineFormed, formed.c_str());
    if (buffer != nullptr && size > 0)
        buffer[0] = '\0';
    ShellCommand command;
    if (command.start(text) != 0) {
        if (buffer != nullptr && size > 0)
            (void)std::snprintf(buffer, size, "popen failed for cmd %s.", formed.c_str());
        return -1;
    }
    if (collect == Collect::reader)
        reader(buffer, size);
    else if (buffer != nullptr && size > 0 && collect == Collect::first_line)
        (void)command.read_line(buffer, size);
    else if (buffer != nullptr && size > 0)
        (void)command.read_all(buffer, size);
    int status = 0;
    const int waited = command.wait(&status);
    if (waited == 0 && status == 0)
        return 0;
    if (waited != 0)
        status = -1;
    const int error = waited != 0 ? -waited : 0;
    if (waited == -ECHILD && sigchld_ignored()) {
        // The kernel reaps the children of a process that ignores SIGCHLD:
        // the status is gone and the command is taken to have succeeded.
        static std::atomic<bool> logged{false};
        if (!logged.exchange(true))
            log_as(kIdent, LOG_DAEMON | LOG_ERR, "%s %d: cannot retrieve exit status of a process. Assuming it is dead",
                   kRunnerName, kLineNoStatus);
        return 0;
    }
    log_as(kIdent, LOG_DAEMON | LOG_ERR, "%s %d: cmd = %s ret = %d, errno = %d, strerr = %s", kRunnerName,
           kLineFailed, formed.c_str(), status, error, std::strerror(error));
    return status;
}

}  // namespace

int execute_command(const char* text, char* buffer, std::size_t size, OutputReader reader) noexcept {
    return run_logged(text, buffer, size, reader != nullptr ? Collect::reader : Collect::first_line, reader);
}

int execute_command_collecting(const char* text, char* buffer, std::size_t size) noexcept {
    return run_logged(text, buffer, size, Collect::whole_output, nullptr);
}

}  // namespace kv::helper
