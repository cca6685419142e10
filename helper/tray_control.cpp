// Tray start and stop: the desktop session from ps, DISPLAY from the
// session's environment block, su as the user; owners from /proc, and a
// pidfd so that a reused pid is never signalled.
#include "tray_control.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "file_open.hpp"
#include "log.hpp"
#include "passwd_holder.hpp"
#include "pid_list.hpp"
#include "process_info.hpp"
#include "shell_text.hpp"

namespace kv::helper {
namespace {

constexpr std::size_t kEnvironMax = 1 << 20;
constexpr unsigned int kMaxTrays = 1 << 16;

// Forms a command for one user within its bound; logs and fails otherwise.
bool form_user_command(std::string* ret, int uid, const char* format, std::initializer_list<ShellArg> args) {
    const int rc = format_command(ret, kUserCommandBound, format, args);
    if (rc == 0)
        return true;
    KV_LOG_ERROR("KvHelper: command for uid: %d refused, longer than %u bytes", uid, kUserCommandBound);
    return false;
}

// The desktop session's pid of `name`, or 0 (each outcome logged).
int desktop_session_pid(const char* name, int uid) {
    std::string command;
    if (!form_user_command(&command, uid, "ps -u %s | grep gnome-session | awk '{print $1}'", {name}))
        return 0;
    char output[kCommandOutputSize];
    if (execute_command(command.c_str(), output, sizeof output, nullptr) != 0)
        return 0;
    if (output[0] == '\0') {
        KV_LOG_ERROR("KvHelper: No gnome-session found for uid: %d ...", uid);
        return 0;
    }
    output[std::strspn(output, "0123456789")] = '\0';
    const int pid = std::atoi(output);
    KV_LOG_INFO("KvHelper: StartUIForUser (gnome-session pid: %d) ...", pid);
    return pid;
}

// The local display value of the session (":N" or ":N.S"), or "".
std::string local_display(int session_pid, int uid) {
    std::string value, display;
    int rc = process_display(session_pid, &value);
    if (rc == 0)
        rc = local_display_value(value, &display);
    if (rc == -ENOENT)
        KV_LOG_ERROR("KvHelper: failed to get DISPLAY for uid:%d", uid);
    else if (rc == kDisplayNotLocal)
        KV_LOG_ERROR("KvHelper: non-local DISPLAY value");
    else if (rc == kDisplayInvalid)
        KV_LOG_ERROR("KvHelper: Invalid DISPLAY value");
    return rc == 0 ? display : std::string();
}

void start_tray_for_user(int uid) {
    PasswdHolder holder;
    passwd_init(&holder);
    if (passwd_lookup(static_cast<uid_t>(uid), &holder) != 0)
        return;
    const std::string name = holder.pwd.pw_name != nullptr ? holder.pwd.pw_name : "";
    passwd_destroy(&holder);
    if (!is_safe_name(name)) {
        // su would read a leading '-' as an option.
        KV_LOG_ERROR("KvHelper: StartUIForUser - unsafe user name for uid: %d", uid);
        return;
    }
    KV_LOG_INFO("KvHelper: StartUIForUser (%s:%d) ...", name.c_str(), uid);
    const int session = desktop_session_pid(name.c_str(), uid);
    if (session <= 0)
        return;
    const std::string display = local_display(session, uid);
    if (display.empty())
        return;
    // The tray's output goes away from the runner's pipe: it runs on after
    // su has returned.
    std::string inner, command;
    if (!form_user_command(&inner, uid, "export DISPLAY=%s; /opt/korvane/desktop/korvaneui >/dev/null 2>&1 &",
                           {display}) ||
        !form_user_command(&command, uid, "su %s -c %s", {name, inner}))
        return;
    char output[kCommandOutputSize];
    (void)execute_command(command.c_str(), output, sizeof output, nullptr);
}

bool has_tray_name(pid_t pid) noexcept {
    char path[64], comm[32];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    if (read_first_line(path, comm, sizeof comm) != 0)
        return false;
    comm[std::strcspn(comm, "\n")] = '\0';
    return std::strcmp(comm, kTrayName) == 0;
}

// SIGTERM to `pid` if it is still a tray program. Through a pidfd the
// process checked is the one signalled even if the pid is reused meanwhile.
void terminate_tray(pid_t pid) noexcept {
    const kv::UniqueFd pidfd = open_pidfd(pid);
    if (!pidfd && errno != ENOSYS)
        return;   // gone
    if (!has_tray_name(pid))
        return;
    if (pidfd)
        (void)::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGTERM, nullptr, 0);
    else
        (void)::kill(pid, SIGTERM);
}

}  // namespace

int process_display(pid_t pid, std::string* ret_display) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    kv::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -errno;
    std::string block;
    char chunk[4096];
    while (block.size() < kEnvironMax) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        block.append(chunk, static_cast<std::size_t>(n));
    }
    return display_in_environ(block, ret_display);
}

int display_in_environ(std::string_view block, std::string* ret_display) {
    constexpr std::string_view kKey = "DISPLAY=";
    for (std::size_t pos = 0; pos < block.size();) {
        std::size_t end = block.find('\0', pos);
        if (end == std::string_view::npos)
            end = block.size();
        const std::string_view entry = block.substr(pos, end - pos);
        if (entry.substr(0, kKey.size()) == kKey) {
            *ret_display = std::string(entry.substr(kKey.size()));
            return 0;
        }
        pos = end + 1;
    }
    return -ENOENT;
}

int local_display_value(std::string_view value, std::string* ret_display) {
    if (value.empty())
        return -ENOENT;
    if (value[0] != ':')
        return kDisplayNotLocal;
    std::size_t end = 1;
    for (; end < value.size(); ++end) {
        const char c = value[end];
        if (c == '\n' || c == '\r')
            break;
        if ((c < '0' || c > '9') && c != '.')
            return kDisplayInvalid;
    }
    *ret_display = std::string(value.substr(0, end));
    return 0;
}

void start_trays(const int* uids, int count) noexcept {
    KV_LOG_INFO("KvHelper: StartKvUI (%d) ...", count);
    if (uids == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        if (uids[i] < 0)
            continue;   // an owner StopKvUI could not tell
        start_tray_for_user(uids[i]);
    }
}

int stop_trays(int* uids, unsigned int* count) noexcept {
    KV_LOG_INFO("KvHelper: StopKvUI ...");
    if (uids == nullptr || count == nullptr)
        return -EINVAL;
    if (*count == 0)
        return 0;
    // The caller's array stays untouched unless all fit; a capacity beyond
    // any real number of desktop sessions is not allocated.
    std::vector<int> pids(std::min(*count, kMaxTrays));
    unsigned int found = static_cast<unsigned int>(pids.size());
    const int rc = tray_pids(pids.data(), &found);
    if (rc < 0)
        return rc;
    *count = found;
    if (rc == kPidsDidNotFit)
        return -E2BIG;
    if (found == 0)
        return -ENOENT;
    for (unsigned int i = 0; i < found; ++i)
        uids[i] = pids[i] > 1 ? process_owner_uid(pids[i]) : -1;
    for (unsigned int i = 0; i < found; ++i) {
        if (pids[i] > 1)
            terminate_tray(pids[i]);
    }
    ::sleep(2);
    return 0;
}

}  // namespace kv::helper
