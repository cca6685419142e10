// The helper libraries' one way of running a command: `/bin/bash -c TEXT`
// started directly with an argument vector (no outer shell), standard input
// from /dev/null, standard output a pipe to us, every other descriptor of
// the process closed in the child, signal dispositions and mask reset. The
// output is always read to its end (never a half-read pipe that kills the
// command with SIGPIPE or blocks it), and the child is reaped by its pid.
// Shared by both helper libraries.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

#include "unique_handle.hpp"

namespace kv::helper {

inline constexpr char kShellPath[] = "/bin/bash";

// A started command; the destructor drains and reaps it if the owner did not.
class ShellCommand {
public:
    ShellCommand() noexcept = default;
    ShellCommand(const ShellCommand&) = delete;
    ShellCommand& operator=(const ShellCommand&) = delete;
    ~ShellCommand();

    // 0, or -errno when the shell could not be started.
    int start(const char* text) noexcept;

    // Reads one line as fgets would: at most size - 1 bytes, the line feed
    // kept, always terminated. false at the end of the output (buffer "").
    bool read_line(char* buffer, std::size_t size) noexcept;
    // Reads the output into buffer[0..size) up to size - 1 bytes, always
    // terminated; the number of bytes stored.
    std::size_t read_all(char* buffer, std::size_t size) noexcept;
    // Discards the output until its end: end of file, or the shell has
    // ended and the pipe is empty (a program started in the background may
    // keep the pipe open; it is not waited for).
    void drain() noexcept;

    // Drains, then reaps the shell by its pid. 0 with *ret_status its wait
    // status; -ECHILD when the status is lost (another part of the process
    // reaped the child, or SIGCHLD is ignored).
    int wait(int* ret_status) noexcept;

private:
    // Like read(2) on the output, 0 at its end as drain() defines it.
    long read_some(char* buffer, std::size_t size) noexcept;

    pid_t pid_ = -1;
    kv::UniqueFd out_;
    kv::UniqueFd pidfd_;
    bool shell_ended_ = false;
    bool at_end_ = false;
    char pending_[4096];
    std::size_t pending_begin_ = 0;
    std::size_t pending_end_ = 0;
};

// A pidfd of `pid`, close-on-exec; empty with errno set when none can be
// had (ESRCH: the process is gone; ENOSYS: the kernel has no pidfds).
kv::UniqueFd open_pidfd(pid_t pid) noexcept;

// Whether the process ignores SIGCHLD (SIG_IGN or SA_NOCLDWAIT), so that
// the kernel reaps children and their status cannot be collected.
bool sigchld_ignored() noexcept;

// Runs `text` and calls line(text) for each output line (read as fgets
// with a buffer of `line_size`) until it returns false; the rest is
// drained. 0 with *ret_status (may be null) the wait status; -errno when
// it could not be started or the status was lost.
int for_each_output_line(const char* text, std::size_t line_size, const std::function<bool(const char*)>& line,
                         int* ret_status = nullptr) noexcept;

// Reader of execute_command: called with the caller's buffer and size while
// the command runs; what it leaves unread is drained afterwards.
using OutputReader = void (*)(char* buffer, std::size_t size);

// The logged runner: logs the command as "/bin/bash -c '<text>'" under the
// identity "KvHelper" (daemon facility), runs it, puts its first output
// line (or the reader's result) into buffer[0..size) and returns its wait
// status; -1 when it could not be started, with "popen failed for cmd
// %s." in the buffer. A status that cannot be collected because SIGCHLD is
// ignored counts as 0 (logged once per process); one lost otherwise is -1.
int execute_command(const char* text, char* buffer, std::size_t size, OutputReader reader) noexcept;

// The logged runner as execute_command, except that buffer[0..size)
// receives the whole output up to size - 1 bytes (terminated), not just its
// first line; the rest is read and discarded before the status is taken.
int execute_command_collecting(const char* text, char* buffer, std::size_t size) noexcept;

}  // namespace kv::helper
