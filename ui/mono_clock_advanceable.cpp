// Test-only clock, linked only into the test build of the tray program:
// GLib's monotonic time plus an offset. Each SIGUSR2 moves the clock 301
// seconds forward, so the 300-second silence rule can be tested without
// waiting. The handler only adds to a lock-free atomic (async-signal-safe).
#include <signal.h>

#include <atomic>

#include <glib.h>

#include "mono_clock.hpp"

namespace kv::ui {
namespace {

constexpr std::int64_t kStepUs = 301LL * 1000 * 1000;
// 64-bit atomics are lock-free on x86-64 and on i686 with cmpxchg8b.
constinit std::atomic<std::int64_t> g_offset_us{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

void advance(int) { g_offset_us.fetch_add(kStepUs); }

[[gnu::constructor]] void install_advance_handler() {
    struct sigaction action {};
    action.sa_handler = advance;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGUSR2, &action, nullptr);
}

}  // namespace

std::int64_t monotonic_us() noexcept { return g_get_monotonic_time() + g_offset_us.load(); }

}  // namespace kv::ui
