// The five replacement functions the hooks jump to, the thread start
// wrapper, and the stack tests their checks use.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace kv::md {

// Same arguments and results as the functions they replace (mmap's offset
// is the C library's `long` of the plain, not the 64-bit, entry).
void* memdef_mmap(void* addr, std::size_t length, int prot, int flags, int fd, long offset) noexcept;
int memdef_mprotect(void* addr, std::size_t len, int prot) noexcept;
void* memdef_mremap(void* old_address, std::size_t old_size, std::size_t new_size, int flags, ...) noexcept;
int memdef_remap_file_pages(void* addr, std::size_t size, int prot, std::size_t pgoff, int flags) noexcept;
int memdef_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start_routine)(void*),
                          void* arg) noexcept;

inline constexpr std::size_t kThreadSlots = 20;

// True when sp lies in the calling thread's recorded stack, low < sp <=
// low + size, or when no stack is recorded.
bool is_local_stack_ptr(std::uintptr_t sp) noexcept;
// True when address lies in the recorded stack (low < address <= low +
// size); false when none is recorded.
bool is_stack_region(std::uintptr_t address) noexcept;
// True when [address, address + length) overlaps the recorded stack
// [low, low + size); false when none is recorded.
bool overlaps_stack(std::uintptr_t address, std::size_t length) noexcept;

}  // namespace kv::md
