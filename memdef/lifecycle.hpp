// Start-up, coma and shutdown of the library, the kernel-command seed and
// the stored log level.
#pragma once

#include <atomic>
#include <cstdint>

#include "memdef.h"

namespace kv::md {

// Seed of the kernel-command scrambling; 0 means no command can be sent.
inline constinit std::atomic<std::int32_t> g_crypt_seed{0};
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

int initialize_with(MemDefPolicyTable* table, std::int32_t seed) noexcept;
int startup_sequence() noexcept;
void shutdown_sequence() noexcept;
void coma_sequence() noexcept;

void log_set_level(std::int32_t level) noexcept;
std::int32_t log_get_level() noexcept;

}  // namespace kv::md
