// Watchdog thread and monitors. Lock: the watchdog mutex, held by the
// thread except while it waits, and by load/unload and the waking flag
// setters; the flags themselves are atomics so that keep-alive needs no
// lock. The thread blocks every signal, so the signals it raises at the
// process are handled by the service's threads.
#include "watchdog.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "control_paths.hpp"
#include "log.hpp"
#include "performance_counters.hpp"

// The shipped library waits 30 s; the cycle tests compile this file again
// with a short interval and a per-cycle hook.
#ifndef KV_WATCHDOG_CYCLE_MS
#define KV_WATCHDOG_CYCLE_MS 30000
#endif

namespace kv::helper {
#ifdef KV_WATCHDOG_CYCLE_HOOK
void KV_WATCHDOG_CYCLE_HOOK() noexcept;
#endif

namespace {

constexpr char kWatchdogThread[] = "KvHelperLinux.WatchdogThread";
constexpr int kCriticalScore = 100;
constexpr int kCriticalCyclesBeforeTermination = 3;
constexpr int kCpuThresholdPercent = 90;
constexpr std::uint64_t kResidentLimit = 1000000000;   // resident kB times 1000

struct Monitor {
    int (*score)() noexcept;
};
constexpr Monitor kMonitors[] = {{deadlock_score}};

struct WatchdogState {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    std::atomic<bool> created{false};   // mutex and cond initialised by load
    bool thread_started = false;
    pthread_t thread{};
    int critical_cycles = 0;     // the thread's own
    std::atomic<bool> enabled{true};
    std::atomic<bool> checks_active{true};
    std::atomic<bool> stop{false};
    std::atomic<bool> keepalive{false};
    std::atomic<int> missed{0};
    std::atomic<int> cpu_high{0};
};
constinit WatchdogState g_watchdog;
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

bool running() noexcept {
    return !g_watchdog.stop.load(std::memory_order_acquire) && g_watchdog.enabled.load(std::memory_order_acquire);
}

void wake_thread() noexcept {
    if (!g_watchdog.created)
        return;
    (void)pthread_mutex_lock(&g_watchdog.mutex);
    (void)pthread_cond_broadcast(&g_watchdog.cond);
    (void)pthread_mutex_unlock(&g_watchdog.mutex);
}

void run_cycle() noexcept {
    if (!g_watchdog.checks_active.load(std::memory_order_acquire))
        return;   // paused: no monitor runs, both counts stay
    int sum = 0;
    for (const Monitor& m : kMonitors)
        sum += m.score();
    if (sum >= kCriticalScore)
        ++g_watchdog.critical_cycles;
    else
        g_watchdog.critical_cycles = 0;
    if (g_watchdog.critical_cycles < kCriticalCyclesBeforeTermination)
        return;
    const int level = g_watchdog.critical_cycles - kCriticalCyclesBeforeTermination;
    KV_LOG_ERROR("%s: TERMINATION LEVEL %d - process should be terminated", kWatchdogThread, level);
    const int signal = level == 0 ? SIGHUP : level == 1 ? SIGTERM : SIGKILL;
    // The process, not this thread: the service may handle SIGHUP/SIGTERM
    // on any of its threads.
    (void)::kill(::getpid(), signal);
}

void deadline_after(timespec* ts, int ms) noexcept {
    (void)::clock_gettime(CLOCK_MONOTONIC, ts);
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    }
}

}  // namespace

int watchdog_cycle_ms() noexcept { return KV_WATCHDOG_CYCLE_MS; }

void* watchdog_main(void*) noexcept {
    sigset_t all;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, nullptr);
    (void)pthread_setname_np(pthread_self(), "kvwatchdog");
    (void)pthread_mutex_lock(&g_watchdog.mutex);
    while (running()) {
        run_cycle();
#ifdef KV_WATCHDOG_CYCLE_HOOK
        KV_WATCHDOG_CYCLE_HOOK();
#endif
        timespec deadline{};
        deadline_after(&deadline, KV_WATCHDOG_CYCLE_MS);
        while (running()) {
            if (pthread_cond_timedwait(&g_watchdog.cond, &g_watchdog.mutex, &deadline) == ETIMEDOUT)
                break;
        }
    }
    (void)pthread_mutex_unlock(&g_watchdog.mutex);
    return nullptr;
}

bool is_agent_service_process() noexcept {
    char exe[sizeof kAgentServicePath + 1];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    return n == static_cast<ssize_t>(sizeof kAgentServicePath - 1) &&
           std::memcmp(exe, kAgentServicePath, sizeof kAgentServicePath - 1) == 0;
}

void watchdog_load() noexcept {
    pthread_condattr_t attr;
    (void)pthread_condattr_init(&attr);
    (void)pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    (void)pthread_mutex_init(&g_watchdog.mutex, nullptr);
    (void)pthread_cond_init(&g_watchdog.cond, &attr);
    (void)pthread_condattr_destroy(&attr);
    g_watchdog.created = true;
    // Any other process that loads the library (the updater, tools) would be
    // killed for never sending keep-alives.
    if (is_agent_service_process())
        (void)watchdog_start_thread();
}

int watchdog_start_thread() noexcept {
    if (!g_watchdog.created || g_watchdog.thread_started || !running())
        return -EALREADY;
    const int rc = pthread_create(&g_watchdog.thread, nullptr, watchdog_main, nullptr);
    if (rc != 0) {
        KV_LOG_ERROR("%s: Watcher thread creation failed", kWatchdogThread);
        return -rc;
    }
    g_watchdog.thread_started = true;
    return 0;
}

void watchdog_unload() noexcept {
    if (!g_watchdog.created)
        return;
    (void)pthread_mutex_lock(&g_watchdog.mutex);
    g_watchdog.stop.store(true, std::memory_order_release);
    (void)pthread_cond_broadcast(&g_watchdog.cond);
    (void)pthread_mutex_unlock(&g_watchdog.mutex);
    if (g_watchdog.thread_started) {
        // exit() called on the watchdog thread itself cannot join it.
        if (pthread_equal(g_watchdog.thread, pthread_self()))
            (void)pthread_detach(g_watchdog.thread);
        else
            (void)pthread_join(g_watchdog.thread, nullptr);
        g_watchdog.thread_started = false;
    }
    (void)pthread_cond_destroy(&g_watchdog.cond);
    (void)pthread_mutex_destroy(&g_watchdog.mutex);
    g_watchdog.created = false;
}

void watchdog_set_keepalive() noexcept { g_watchdog.keepalive.store(true, std::memory_order_relaxed); }

void watchdog_set_disabled() noexcept {
    g_watchdog.enabled.store(false, std::memory_order_release);
    wake_thread();
}

void watchdog_set_checks_active(bool active) noexcept {
    g_watchdog.checks_active.store(active, std::memory_order_release);
}

int deadlock_score() noexcept {
    if (g_watchdog.keepalive.exchange(false, std::memory_order_relaxed)) {
        g_watchdog.missed.store(0, std::memory_order_relaxed);
        return 0;
    }
    return 10 * (g_watchdog.missed.fetch_add(1, std::memory_order_relaxed) + 1);
}

int cpu_score() noexcept {
    std::uint64_t values[kCpuValues];
    if (cpu_usages(values, kCpuValues) != 0)
        return 0;
    if (values[2] > static_cast<std::uint64_t>(kCpuThresholdPercent))
        return 10 * (g_watchdog.cpu_high.fetch_add(1, std::memory_order_relaxed) + 1);
    g_watchdog.cpu_high.store(0, std::memory_order_relaxed);
    return 0;
}

int memory_score() noexcept {
    std::uint64_t values[kMemoryValues];
    if (memory_statistics(values, kMemoryValues) != 0)
        return 0;
    return values[1] * 1000 > kResidentLimit ? 100 : 0;
}

}  // namespace kv::helper
