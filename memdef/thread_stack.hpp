// Per-thread state of the library: the re-entry guard and the calling
// thread's stack bounds, in initial-exec TLS so that reaching it never
// calls __tls_get_addr or allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kv::md {

struct ThreadState {
    std::uint16_t in_hook;        // 1 while checks or thread set-up run on this thread
    std::uintptr_t stack_low;     // lowest address of the stack; 0 = unknown
    std::size_t stack_size;       // bytes; 0 = unknown
};
static_assert(std::is_trivial_v<ThreadState>);

[[gnu::tls_model("initial-exec")]] constinit inline thread_local ThreadState t_state{};

inline constexpr std::size_t kDefaultStackSize = 0x800000;

// Records the calling thread's stack from its pthread attributes; leaves
// the record alone when they cannot be read.
void init_stack_for_thread() noexcept;
// True (and both values) when the calling thread's stack is known.
bool stack_data(std::uintptr_t& ret_low, std::size_t& ret_size) noexcept;
// The recorded size, or 8 MiB when none is known.
std::size_t stack_size_or_default() noexcept;

}  // namespace kv::md
