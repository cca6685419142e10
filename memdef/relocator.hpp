// Displaced-instruction relocation for the hook trampolines: measures the
// instructions a 5-byte jump at a function's entry covers and rewrites them
// to run from another address, or refuses when they cannot run there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "x86_decoder.hpp"

namespace kv::md {

#if defined(__x86_64__)
inline constexpr X86Mode kHostMode = X86Mode::bits64;
#else
inline constexpr X86Mode kHostMode = X86Mode::bits32;
#endif

// The patch is a 5-byte relative jump; whole instructions are displaced.
inline constexpr std::size_t kPatchJumpLength = 5;
// Bytes of a target the measurement ever reads (the decoder's input window).
inline constexpr std::size_t kMeasureWindow = 64;
// Expected outcome: the target cannot be displaced or relocated safely.
inline constexpr int kRelocRefused = 1;

// The instructions that the patch displaces: at most four of up to 15
// bytes each cover the first 5 bytes.
struct Displaced {
    std::uint8_t bytes[32];
    std::uint8_t lengths[8];
    std::uint8_t count;
    std::uint8_t total;    // copied length: the first byte not displaced
};

// Reads n bytes of code at address into buf; false when they are not all
// readable. Used for the callees of 32-bit calls (get-PC thunks).
using CodeReader = bool (*)(std::uint64_t address, std::uint8_t* buf, std::size_t n, void* context);

// Decodes from `code` (running at `address`, `readable` bytes available)
// until at least 5 bytes are covered. kRelocRefused when an instruction is
// unknown, when the code ends (ret, jmp, ud2, int3...) before 5 bytes are
// covered, or when a displaced instruction branches or refers strictly
// inside the displaced bytes, which will hold the patch.
int measure_displaced(const std::uint8_t* code, std::size_t readable, std::uint64_t address, X86Mode mode,
                      Displaced& ret) noexcept;

// Rewrites the measured instructions to run at `to` instead of `from`, into
// out (at most `capacity` bytes). Every relative operand keeps its
// destination: rel8 jumps are widened when their displacement no longer
// fits, get-PC thunk calls and `call $+5` become loads or pushes of the
// address they would produce. kRelocRefused when a displacement cannot be
// kept (a 64-bit displacement over 32 bits, jrcxz/loop out of rel8 reach,
// 16-bit forms) or the result exceeds the capacity.
int relocate_displaced(const Displaced& d, std::uint64_t from, std::uint64_t to, X86Mode mode, CodeReader read,
                       void* context, std::uint8_t* out, std::size_t capacity, std::size_t& ret_length) noexcept;

}  // namespace kv::md
