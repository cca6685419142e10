// The memory module's switch and its start-up/shutdown: whether hooks run
// their checks, and where the hook installation is started.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv::md {

// 0: every hook passes straight through to the overridden function.
inline constinit std::atomic<std::uint32_t> g_HooksEnabled{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

int memory_initialize() noexcept;
int memory_hook() noexcept;
void memory_shutdown() noexcept;
void memory_coma() noexcept;

// Installs the hooks of every still-enabled hook-table record; 0 when the
// installation ran, a negative errno otherwise.
int install_injects() noexcept;

}  // namespace kv::md
