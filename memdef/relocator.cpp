// Measuring and relocating displaced entry instructions. Pure functions over
// byte buffers: no allocation, no system calls, so the tables of generated
// code in the tests exercise exactly what the installer runs.
#include "relocator.hpp"

#include <cerrno>

namespace kv::md {
namespace {

void store32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Displacement from `next` to `target` as the mode's relative operand
// computes it; false when it does not fit `bytes` signed bytes. In 32-bit
// mode addresses wrap, so a 32-bit displacement reaches every address.
bool displacement(std::uint64_t target, std::uint64_t next, X86Mode mode, int bytes, std::int64_t& ret) noexcept {
    std::uint64_t diff = target - next;
    if (mode == X86Mode::bits32) {
        diff &= 0xFFFFFFFFu;
        if (bytes == 4) {
            ret = static_cast<std::int32_t>(static_cast<std::uint32_t>(diff));
            return true;
        }
        diff = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(diff)));
    }
    const auto d = static_cast<std::int64_t>(diff);
    const std::int64_t limit = std::int64_t{1} << (8 * bytes - 1);
    if (d < -limit || d >= limit)
        return false;
    ret = d;
    return true;
}

struct Emitter {
    std::uint8_t* out;
    std::size_t capacity;
    std::size_t length = 0;
    bool overflow = false;

    std::uint8_t* take(std::size_t n) noexcept {
        if (overflow || capacity - length < n) {
            overflow = true;
            return nullptr;
        }
        std::uint8_t* p = out + length;
        length += n;
        return p;
    }
    void bytes(const std::uint8_t* src, std::size_t n) noexcept {
        if (std::uint8_t* p = take(n))
            for (std::size_t i = 0; i < n; ++i)
                p[i] = src[i];
    }
    // opcode bytes then a 32-bit value
    void op_imm32(const std::uint8_t* op, std::size_t n, std::uint32_t value) noexcept {
        if (std::uint8_t* p = take(n + 4)) {
            for (std::size_t i = 0; i < n; ++i)
                p[i] = op[i];
            store32(p + n, value);
        }
    }
};

// Copies the instruction with its relative field (rel8/rel16/rel32 at
// insn.rel_offset, or the disp32 of a RIP-relative operand) rewritten to keep
// `target` from the new place.
int copy_with_field(const std::uint8_t* src, const X86Insn& insn, std::uint8_t field_offset, std::uint8_t field_size,
                    std::uint64_t target, std::uint64_t to, X86Mode mode, Emitter& e) noexcept {
    std::int64_t d = 0;
    if (!displacement(target, to + e.length + insn.length, mode, field_size, d))
        return kRelocRefused;
    std::uint8_t* p = e.take(insn.length);
    if (p == nullptr)
        return kRelocRefused;
    for (std::size_t i = 0; i < insn.length; ++i)
        p[i] = src[i];
    for (int i = 0; i < field_size; ++i)
        p[field_offset + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(d) >> (8 * i));
    return 0;
}

// A rel8 jump whose displacement no longer fits: the same prefixes, then
// the rel32 form (EB -> E9, 7x -> 0F 8x).
int widen_rel8(const std::uint8_t* src, const X86Insn& insn, std::uint64_t to, X86Mode mode, Emitter& e) noexcept {
    if ((insn.prefixes & (kX86PrefixOpSize | kX86PrefixAddrSize)) != 0)
        return kRelocRefused;
    std::uint8_t op[2];
    std::size_t op_len = 0;
    if (insn.branch == X86Branch::jmp_rel8) {
        op[op_len++] = 0xE9;
    } else {
        op[op_len++] = 0x0F;
        op[op_len++] = static_cast<std::uint8_t>(0x80 | (insn.opcode & 0x0F));
    }
    const std::size_t new_length = insn.opcode_offset + op_len + 4;
    std::int64_t d = 0;
    if (!displacement(insn.target, to + e.length + new_length, mode, 4, d))
        return kRelocRefused;
    e.bytes(src, insn.opcode_offset);
    e.op_imm32(op, op_len, static_cast<std::uint32_t>(d));
    return e.overflow ? kRelocRefused : 0;
}

}  // namespace

int measure_displaced(const std::uint8_t* code, std::size_t readable, std::uint64_t address, X86Mode mode,
                      Displaced& ret) noexcept {
    if (code == nullptr)
        return -EINVAL;
    const std::size_t window = readable < kMeasureWindow ? readable : kMeasureWindow;
    Displaced d{};
    X86Insn insns[sizeof d.lengths];
    std::size_t total = 0;
    while (total < kPatchJumpLength) {
        if (d.count > 0 && (insns[d.count - 1].flags & kX86EndsFlow) != 0)
            return kRelocRefused;   // the function ends before the patch does
        X86Insn& insn = insns[d.count];
        if (total >= window || x86_decode(code + total, window - total, address + total, mode, &insn) != 0)
            return kRelocRefused;
        d.lengths[d.count++] = insn.length;
        total += insn.length;
    }
    for (std::size_t i = 0; i < d.count; ++i) {
        const X86Insn& insn = insns[i];
        if (insn.branch != X86Branch::none || (insn.flags & kX86RipRelative) != 0) {
            // Into the displaced bytes but not their start: after patching,
            // those bytes are the middle of the jump.
            if (insn.target > address && insn.target < address + total)
                return kRelocRefused;
        }
    }
    for (std::size_t i = 0; i < total; ++i)
        d.bytes[i] = code[i];
    d.total = static_cast<std::uint8_t>(total);
    ret = d;
    return 0;
}

int relocate_displaced(const Displaced& d, std::uint64_t from, std::uint64_t to, X86Mode mode, CodeReader read,
                       void* context, std::uint8_t* out, std::size_t capacity, std::size_t& ret_length) noexcept {
    Emitter e{out, capacity};
    std::size_t offset = 0;
    for (std::size_t i = 0; i < d.count; ++i) {
        const std::uint8_t* src = d.bytes + offset;
        const std::uint64_t old_address = from + offset;
        X86Insn insn;
        if (x86_decode(src, d.total - offset, old_address, mode, &insn) != 0 || insn.length != d.lengths[i])
            return kRelocRefused;
        offset += insn.length;
        int r = 0;
        switch (insn.branch) {
        case X86Branch::none:
            if ((insn.flags & kX86RipRelative) != 0) {
                // An address-size override makes it EIP-relative: not kept.
                if ((insn.prefixes & kX86PrefixAddrSize) != 0 || insn.disp_size != 4)
                    return kRelocRefused;
                r = copy_with_field(src, insn, insn.disp_offset, 4, insn.target, to, mode, e);
            } else {
                e.bytes(src, insn.length);
            }
            break;
        case X86Branch::call_rel32: {
            if (insn.rel_size != 4)
                return kRelocRefused;
            const auto next32 = static_cast<std::uint32_t>(old_address + insn.length);
            std::uint8_t reg = 0;
            if ((insn.flags & kX86CallNext) != 0) {
                // call $+5 pushes its own end, a 32-bit constant: a push
                // of the same value. (The call alone covers the patch, so
                // the pop that takes the value stays in the target.)
                if (mode != X86Mode::bits32 || insn.length != 5)
                    return kRelocRefused;
                const std::uint8_t op = 0x68;
                e.op_imm32(&op, 1, next32);
                break;
            }
            if (mode == X86Mode::bits32) {
                // The callee must be readable to tell a get-PC thunk, which
                // would load the trampoline's address instead of the target's.
                std::uint8_t callee[4];
                if (read == nullptr || !read(insn.target, callee, sizeof callee, context))
                    return kRelocRefused;
                if (x86_is_get_pc_thunk(callee, sizeof callee, &reg)) {
                    if (insn.length != 5)
                        return kRelocRefused;
                    const std::uint8_t op = static_cast<std::uint8_t>(0xB8 + reg);
                    e.op_imm32(&op, 1, next32);
                    break;
                }
            }
            r = copy_with_field(src, insn, insn.rel_offset, 4, insn.target, to, mode, e);
            break;
        }
        case X86Branch::jmp_rel32:
        case X86Branch::jcc_rel32:
        case X86Branch::xbegin:
            if (insn.rel_size != 4 && insn.branch != X86Branch::xbegin)
                return kRelocRefused;
            r = copy_with_field(src, insn, insn.rel_offset, insn.rel_size, insn.target, to, mode, e);
            break;
        case X86Branch::jcc_rel8:
        case X86Branch::jmp_rel8:
            r = copy_with_field(src, insn, insn.rel_offset, 1, insn.target, to, mode, e);
            if (r == kRelocRefused && !e.overflow)
                r = widen_rel8(src, insn, to, mode, e);
            break;
        case X86Branch::jcxz:
        case X86Branch::loop:
        case X86Branch::loope:
        case X86Branch::loopne:
            r = copy_with_field(src, insn, insn.rel_offset, 1, insn.target, to, mode, e);
            break;
        }
        if (r != 0 || e.overflow)
            return kRelocRefused;
    }
    ret_length = e.length;
    return 0;
}

}  // namespace kv::md
