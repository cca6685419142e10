// The start-up, coma and shutdown sequences. The loader runs them on one
// thread; hooks on other threads only ever see g_HooksEnabled flip, never a
// lock being re-initialised or destroyed.
#include "lifecycle.hpp"

#include "agent_channel.hpp"
#include "memory.hpp"
#include "policy.hpp"

namespace kv::md {
namespace {

constinit std::atomic<std::int32_t> g_log_level{2};

}  // namespace

void log_set_level(std::int32_t level) noexcept { g_log_level.store(level, std::memory_order_relaxed); }
std::int32_t log_get_level() noexcept { return g_log_level.load(std::memory_order_relaxed); }

int initialize_with(MemDefPolicyTable* table, std::int32_t seed) noexcept {
    g_crypt_seed.store(seed, std::memory_order_release);
    policy_set_caller_table(table);
    return startup_sequence();
}

int startup_sequence() noexcept {
    if (!agent_preinit())
        return 0;
    // The log module keeps no state beyond its level: nothing to start.
    policy_initialize();
    // The agent channel needs nothing beyond the temp directory resolved above.
    (void)memory_initialize();
    return 0;
}

void shutdown_sequence() noexcept {
    memory_shutdown();
    policy_shutdown();
}

void coma_sequence() noexcept { memory_coma(); }

}  // namespace kv::md
