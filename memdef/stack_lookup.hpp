// The stack lookup: frames registered while a thread is being set up, under
// which the checks of nested hooked calls are skipped.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv::md {

// Registered frames; written under the array lock, read without it.
extern constinit std::atomic<std::int32_t> g_stacklookup_count;

// How far above the checked stack position a registered frame may lie.
inline constexpr std::uintptr_t kStackLookupWindow = 512;

// 0, or -ENOMEM when the array could not grow (the old array is kept).
int stacklookup_add(std::uintptr_t address) noexcept;
void stacklookup_remove(std::uintptr_t address) noexcept;
// True when a registered frame lies in (sp, sp + 512], or when the calling
// thread is the one growing the array (its allocator may re-enter a hook
// while it holds the array lock for writing).
bool stacklookup_check_registered(std::uintptr_t sp) noexcept;

// The same, inline for the hook path: nothing registered (the usual case)
// costs one load.
inline bool stacklookup_check(std::uintptr_t sp) noexcept {
    return g_stacklookup_count.load(std::memory_order_acquire) != 0 && stacklookup_check_registered(sp);
}

}  // namespace kv::md
