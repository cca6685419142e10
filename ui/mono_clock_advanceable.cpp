// Test-only clock, linked only into the test build of the tray program:
// GLib's monotonic time plus an offset. Each SIGUSR2 moves the clock 301
// seconds forward, so the 300-second silence rule can be tested without
// waiting. The signal is blocked in every thread (set before main, so all
// threads inherit it) and collected from a signalfd whenever the clock is
// read: no handler runs in signal context.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>

#include <glib.h>

#include "mono_clock.hpp"

namespace kv::ui {
namespace {

constexpr std::int64_t kStepUs = 301LL * 1000 * 1000;
constinit std::atomic<std::int64_t> g_offset_us{0};
constinit int g_advance_fd = -1;

[[gnu::constructor]] void block_advance_signal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
    g_advance_fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

std::int64_t monotonic_us() noexcept {
    signalfd_siginfo info;
    while (g_advance_fd >= 0 && read(g_advance_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        g_offset_us.fetch_add(kStepUs);
    return g_get_monotonic_time() + g_offset_us.load();
}

}  // namespace kv::ui
