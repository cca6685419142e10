// The stack lookup: frames registered while a thread is being set up, under
// which the checks of nested hooked calls are skipped.
#pragma once

#include <cstdint>

namespace kv::md {

// How far above the checked stack position a registered frame may lie.
inline constexpr std::uintptr_t kStackLookupWindow = 512;

// 0, or -ENOMEM when the array could not grow (the old array is kept).
int stacklookup_add(std::uintptr_t address) noexcept;
void stacklookup_remove(std::uintptr_t address) noexcept;
// True when a registered frame lies in (sp, sp + 512], or when the calling
// thread is the one growing the array (its allocator may re-enter a hook
// while it holds the array lock for writing).
bool stacklookup_check(std::uintptr_t sp) noexcept;

}  // namespace kv::md
