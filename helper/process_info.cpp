// /proc readers for process facts. A process that ends while it is read is
// an ordinary outcome: it is simply not counted or not matched.
#include "process_info.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_open.hpp"

namespace kv::helper {
namespace {

bool all_digits(const char* s) noexcept {
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9')
            return false;
    }
    return true;
}

// Walks /proc's process directories; `keep(pid)` decides which are counted.
template <class Keep>
int collect_processes(int* pids, int* count, Keep keep) noexcept {
    const int capacity = pids != nullptr && *count > 0 ? *count : 0;
    *count = 0;
    DirPtr dir(::opendir("/proc/"));
    if (!dir)
        return -errno;
    int found = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!all_digits(entry->d_name))
            continue;
        const unsigned long pid = std::strtoul(entry->d_name, nullptr, 10);
        if (pid > INT_MAX || !keep(pid))
            continue;
        if (found < capacity)
            pids[found] = static_cast<int>(pid);
        ++found;
    }
    *count = found;
    return 0;
}

// Offers each line of /proc/<pid>/status to `take` until it returns true:
// 0 then, -ENOENT when no line was taken, -errno when it cannot be read.
template <class Take>
int scan_status(unsigned long pid, Take take) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lu/status", pid);
    FilePtr f(fopen_retrying(path, "re"));
    if (!f)
        return -errno;
    char line[512];
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        if (take(line))
            return 0;
    }
    return -ENOENT;
}

}  // namespace

int read_parent_pid(unsigned long pid, unsigned long* ret_parent) noexcept {
    return scan_status(pid, [ret_parent](const char* line) {
        return std::sscanf(line, "PPid:\t%lu", ret_parent) == 1;
    });
}

int process_owner_uid(pid_t pid) noexcept {
    int uid = -1;
    (void)scan_status(static_cast<unsigned long>(pid), [&uid](const char* line) {
        unsigned long real = 0, effective = 0;
        if (std::sscanf(line, "Uid:\t%lu\t%lu", &real, &effective) != 2)
            return false;
        uid = effective <= 0x7fffffffUL ? static_cast<int>(effective) : -1;
        return true;
    });
    return uid;
}

int list_processes(int* pids, int* count) noexcept {
    return collect_processes(pids, count, [](unsigned long) { return true; });
}

int list_child_processes(unsigned long parent, int* pids, int* count) noexcept {
    return collect_processes(pids, count, [parent](unsigned long pid) {
        unsigned long p = 0;
        return read_parent_pid(pid, &p) == 0 && p == parent;
    });
}

bool is_process_64bit(int pid) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
    FilePtr f(fopen_retrying(path, "re"));
    if (!f)
        return false;
    unsigned char ident[5];
    return std::fread(ident, 1, sizeof ident, f.get()) == sizeof ident && std::memcmp(ident, "\x7f" "ELF", 4) == 0 &&
           ident[4] == 2;
}

bool is_process_running(int pid) noexcept {
    // kill() with 0 or a negative id addresses process groups, not a process.
    if (pid <= 0) {
        errno = ESRCH;
        return false;
    }
    if (::kill(pid, 0) == 0)
        return true;
    errno = ESRCH;
    return false;
}

int process_full_path(int pid, char* buffer, std::size_t* size) noexcept {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    char target[4097];
    const ssize_t n = ::readlink(link, target, 4096);
    if (n < 0)
        return -errno;
    const auto length = static_cast<std::size_t>(n);
    if (length < *size) {
        std::memcpy(buffer, target, length);
        buffer[length] = '\0';
    }
    *size = length;
    return 0;
}

int process_modules(unsigned int pid, char* buffer, std::size_t* size) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/smaps", pid);
    FilePtr f(fopen_retrying(path, "re"));
    if (!f)
        return -errno;
    const std::size_t capacity = *size;
    std::vector<std::string> stored;
    std::size_t total = 0;
    bool overflowed = false;
    char line[8192];
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        const char* slash = std::strchr(line, '/');
        if (slash == nullptr || std::strstr(line, "r-x") == nullptr)
            continue;
        const std::size_t length = std::strlen(slash);   // the line feed included
        // Whole entries are compared: "/lib/x.so" is another file than
        // "/opt/a/lib/x.so", although it is that text's tail.
        bool seen = false;
        for (const std::string& s : stored) {
            if (s.size() == length && std::memcmp(s.data(), slash, length) == 0) {
                seen = true;
                break;
            }
        }
        if (seen)
            continue;
        if (!overflowed && total + length + 1 < capacity) {
            std::memcpy(buffer + total, slash, length);
            buffer[total + length] = '\n';
            total += length + 1;
            stored.emplace_back(slash, length);
            continue;
        }
        overflowed = true;
        total += length + 2;
    }
    *size = total;
    if (!overflowed) {
        buffer[total] = '\0';   // at least one byte is always left free
        for (std::size_t i = 0; i < total; ++i) {
            if (buffer[i] == '\n')
                buffer[i] = '\0';
        }
    }
    return 0;
}

int terminate_process(int pid) noexcept {
    // Never init or "every process" (-1), and never the caller's own group,
    // which would end the caller too.
    if (pid <= 1) {
        errno = EINVAL;
        return -1;
    }
    const pid_t group = ::getpgid(pid);
    if (group < 0)
        return -1;
    if (group <= 1 || group == ::getpgrp())
        return ::kill(pid, SIGTERM);
    return ::kill(-group, SIGTERM);
}

}  // namespace kv::helper
