// Counters over clock_gettime(CLOCK_MONOTONIC), getrusage(RUSAGE_SELF),
// /proc/self/status and /proc/self/fd. The process-wide values are relaxed
// atomics: the service calls each counter from one thread, the watchdog's
// processor monitor may call from another.
#include "performance_counters.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "command_lines.hpp"
#include "file_open.hpp"

namespace kv::helper {
namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

struct CounterState {
    std::atomic<std::int64_t> start_ns{0};
    std::atomic<std::int64_t> last_call_ns{0};
    std::atomic<int> processors{0};
    std::atomic<std::uint64_t> major_faults{0};
    std::atomic<std::uint64_t> messages_sent{0};
    std::atomic<std::uint64_t> messages_received{0};
};
constinit CounterState g_counters;
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

int monotonic_ns(std::int64_t* ret_ns) noexcept {
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return -errno;
    *ret_ns = static_cast<std::int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
    return 0;
}

double seconds_of(const timeval& tv) noexcept {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Sleeps the whole interval, also across interrupting signals.
void sleep_seconds(unsigned seconds) noexcept {
    timespec left{static_cast<time_t>(seconds), 0};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

// The kB value of each "Key:" line of /proc/self/status named in `keys`:
// the first run of digits after the key. false when one is missing.
bool status_values(const char* const* keys, std::uint64_t* values, int n) noexcept {
    bool found[8] = {};
    (void)for_each_file_line("/proc/self/status", 128, [&](const char* line) {
        for (int i = 0; i < n; ++i) {
            const std::size_t key_length = std::strlen(keys[i]);
            if (std::strncmp(line, keys[i], key_length) != 0)
                continue;
            const char* digits = line + key_length + std::strcspn(line + key_length, "0123456789");
            if (*digits == '\0')
                continue;
            values[i] = std::strtoull(digits, nullptr, 10);
            found[i] = true;
        }
        return true;
    });
    for (int i = 0; i < n; ++i) {
        if (!found[i])
            return false;
    }
    return true;
}

}  // namespace

int initialize_counters() noexcept {
    std::int64_t now = 0;
    if (monotonic_ns(&now) == 0) {
        g_counters.start_ns.store(now, std::memory_order_relaxed);
        g_counters.last_call_ns.store(now, std::memory_order_relaxed);
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    const int processors = online > 0 ? static_cast<int>(online) : 0;
    g_counters.processors.store(processors, std::memory_order_relaxed);
    return processors;
}

int cpu_percentage_over(unsigned seconds, double* ret_user, double* ret_kernel) noexcept {
    if (ret_user == nullptr || ret_kernel == nullptr)
        return -EINVAL;
    std::int64_t begin = 0, end = 0;
    rusage before{}, after{};
    if (monotonic_ns(&begin) != 0 || ::getrusage(RUSAGE_SELF, &before) != 0)
        return -errno;
    sleep_seconds(seconds);
    if (monotonic_ns(&end) != 0 || ::getrusage(RUSAGE_SELF, &after) != 0)
        return -errno;
    const double wall = static_cast<double>(end - begin) / 1e9;
    if (wall <= 0)
        return -ERANGE;
    *ret_user = (seconds_of(after.ru_utime) - seconds_of(before.ru_utime)) / wall * 100.0;
    *ret_kernel = (seconds_of(after.ru_stime) - seconds_of(before.ru_stime)) / wall * 100.0;
    return 0;
}

int cpu_usages(std::uint64_t* values, int count) noexcept {
    if (values == nullptr || count < kCpuValues)
        return -EINVAL;
    std::int64_t now = 0;
    const int rc = monotonic_ns(&now);
    if (rc != 0)
        return rc;
    const std::int64_t since = (now - g_counters.start_ns.load(std::memory_order_relaxed)) / kNanosPerSecond;
    g_counters.last_call_ns.store(now, std::memory_order_relaxed);
    double user = 0, kernel = 0;
    const int measured = cpu_percentage_over(kCpuSampleSeconds, &user, &kernel);
    if (measured != 0)
        return measured;
    values[0] = static_cast<std::uint64_t>(g_counters.processors.load(std::memory_order_relaxed));
    values[1] = static_cast<std::uint64_t>(since > 0 ? since : 0);
    values[2] = static_cast<std::uint64_t>(user + kernel);
    values[3] = static_cast<std::uint64_t>(user);
    values[4] = static_cast<std::uint64_t>(kernel);
    return 0;
}

int memory_statistics(std::uint64_t* values, int count) noexcept {
    if (values == nullptr || count < kMemoryValues)
        return -EINVAL;
    static constexpr const char* kKeys[] = {"VmSize:", "VmRSS:", "VmLck:"};
    std::uint64_t read[3] = {};
    if (!status_values(kKeys, read, 3))
        return -ENOENT;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return -errno;
    values[0] = read[0];
    values[1] = read[1];
    values[2] = static_cast<std::uint64_t>(usage.ru_maxrss);
    values[3] = read[2];
    return 0;
}

int descriptor_counts(std::uint64_t* values, int count) noexcept {
    if (values == nullptr || count < kDescriptorValues)
        return -EINVAL;
    DirPtr dir(::opendir("/proc/self/fd/"));
    if (!dir)
        return -errno;
    char own[64];
    std::snprintf(own, sizeof own, "/proc/%d/fd", static_cast<int>(::getpid()));
    std::uint64_t files = 0, sockets = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        char target[4097];
        if (entry->d_type == DT_DIR)
            continue;
        if (entry->d_type == DT_SOCK) {
            ++sockets;
            continue;
        }
        if (entry->d_type == DT_LNK) {
            const ssize_t n = ::readlinkat(::dirfd(dir.get()), entry->d_name, target, sizeof target - 1);
            if (n < 0)
                continue;
            target[n] = '\0';
        } else {
            std::snprintf(target, sizeof target, "%s", entry->d_name);
        }
        if (target[0] == '\0' || std::strcmp(target, own) == 0)
            continue;
        if (std::strncmp(target, "socket:[", 8) == 0)
            ++sockets;
        else
            ++files;
    }
    values[0] = files;
    values[1] = sockets;
    return 0;
}

int misc_statistics(std::uint64_t* values, int count) noexcept {
    if (values == nullptr || count < kMiscValues)
        return -EINVAL;
    static constexpr const char* kKeys[] = {"Threads:"};
    std::uint64_t threads = 0;
    if (!status_values(kKeys, &threads, 1))
        return -ENOENT;
    values[0] = threads;
    return 0;
}

int event_statistics(std::uint64_t* values, int count) noexcept {
    if (values == nullptr || count < kEventValues)
        return -EINVAL;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return -errno;
    const auto faults = static_cast<std::uint64_t>(usage.ru_majflt);
    const auto sent = static_cast<std::uint64_t>(usage.ru_msgsnd);
    const auto received = static_cast<std::uint64_t>(usage.ru_msgrcv);
    values[0] = faults - g_counters.major_faults.exchange(faults, std::memory_order_relaxed);
    values[1] = sent - g_counters.messages_sent.exchange(sent, std::memory_order_relaxed);
    values[2] = received - g_counters.messages_received.exchange(received, std::memory_order_relaxed);
    return 0;
}

}  // namespace kv::helper
