// Fail-closed x86 / x86-64 instruction-length decoder and classifier for the
// hook relocator: one instruction per call, never reading past the bytes the
// caller allows, answering kX86Unknown for anything it cannot measure for sure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

enum class X86Mode : std::uint8_t { bits32 = 32, bits64 = 64 };

enum class X86Encoding : std::uint8_t { legacy, vex2, vex3, evex };

// Opcode map: one-byte, 0F, 0F 38, 0F 3A (for VEX/EVEX the map field).
enum class X86Map : std::uint8_t { one_byte, map_0f, map_0f38, map_0f3a };

// Instructions whose operand is relative to the next instruction's address.
enum class X86Branch : std::uint8_t {
    none,
    jcc_rel8,     // 70-7F
    jcc_rel32,    // 0F 80-8F
    jmp_rel8,     // EB
    jmp_rel32,    // E9
    call_rel32,   // E8
    jcxz,         // E3: jcxz / jecxz / jrcxz
    loop,         // E2
    loope,        // E1
    loopne,       // E0
    xbegin,       // C7 F8
};

// X86Insn::flags
inline constexpr std::uint16_t kX86EndsFlow = 1u << 0;     // never falls through: ret, jmp, ud2, int3, hlt...
inline constexpr std::uint16_t kX86Call = 1u << 1;         // pushes a return address (any call form)
inline constexpr std::uint16_t kX86RipRelative = 1u << 2;  // 64-bit ModRM operand [rip + disp32]
inline constexpr std::uint16_t kX86CallNext = 1u << 3;     // E8 00 00 00 00: call $+5, pushes its own end

// X86Insn::prefixes: legacy prefixes present (any order, any count)
inline constexpr std::uint8_t kX86PrefixLock = 1u << 0;      // F0
inline constexpr std::uint8_t kX86PrefixRepne = 1u << 1;     // F2
inline constexpr std::uint8_t kX86PrefixRep = 1u << 2;       // F3
inline constexpr std::uint8_t kX86PrefixOpSize = 1u << 3;    // 66
inline constexpr std::uint8_t kX86PrefixAddrSize = 1u << 4;  // 67

// Result of x86_decode: the instruction could not be measured (undefined,
// invalid in the mode, vendor-dependent length, or truncated by the size).
inline constexpr int kX86Unknown = 1;

// All offsets are from the instruction's first byte; a size of 0 means the
// part is absent. A ModRM byte never sits at offset 0, so modrm_offset 0 means
// there is none.
struct X86Insn {
    // Branch: its destination. RIP-relative operand: the address it refers
    // to. Computed as the processor does: wrapped to 32 bits in 32-bit mode
    // and for an address-size-overridden RIP-relative operand. Otherwise 0.
    std::uint64_t target;
    std::uint16_t flags;
    std::uint8_t length;         // 1..15
    std::uint8_t prefix_count;   // legacy prefix bytes
    std::uint8_t prefixes;       // kX86Prefix* bits
    std::uint8_t segment;        // last segment-override prefix byte, or 0
    std::uint8_t rex;            // REX byte in effect (64-bit mode), or 0
    X86Encoding encoding;
    X86Map map;
    std::uint8_t opcode;
    std::uint8_t opcode_offset;
    std::uint8_t modrm_offset;
    std::uint8_t modrm;
    std::uint8_t sib_offset;
    std::uint8_t disp_offset;    // ModRM displacement (the disp32 of a RIP-relative operand)
    std::uint8_t disp_size;
    std::uint8_t imm_offset;     // immediate data (not branch displacements)
    std::uint8_t imm_size;
    X86Branch branch;
    std::uint8_t rel_offset;     // branch displacement, signed, little-endian
    std::uint8_t rel_size;
};

// Decodes the instruction at `code`, which runs at `address`, reading at most
// `size` bytes from `code` (fewer than 15 are fine when the readable range
// ends there). Returns 0 and fills ret_insn, or kX86Unknown (ret_insn
// untouched), or -EINVAL for a null pointer or a bad mode. Pure: no state,
// no allocation, safe in any thread and in signal handlers.
// Checked before a length is given: the opcode is defined in the mode, its
// mandatory prefix (SSE) or VEX/EVEX pp selects a defined form, the ModRM reg
// field names a member of its group, memory-only and register-only forms get
// the operand they need, LOCK is on a lockable memory form, REX directly
// precedes the opcode. Not checked, as they never change a length: VEX/EVEX
// operand fields (vvvv, L, W, masking), MPX bound-register numbers and the
// reserved x87 slots.
int x86_decode(const std::uint8_t* code, std::size_t size, std::uint64_t address, X86Mode mode,
               X86Insn* ret_insn) noexcept;

// True when `code` is a 32-bit get-PC thunk: mov (%esp),%reg; ret
// (8B /r with [esp], then C3) for any register but esp; *ret_reg gets the
// register number (0 eax .. 7 edi). Reads at most `size` bytes.
bool x86_is_get_pc_thunk(const std::uint8_t* code, std::size_t size, std::uint8_t* ret_reg) noexcept;

}  // namespace kv::md
