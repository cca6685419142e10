// Arbitrary bytes through the instruction decoder in both modes. It must stay
// inside the size it is given (inputs are copied to exact-size heap buffers so
// ASan sees any over-read), and a measured instruction must lie inside the
// input, measure the same when cut to its own length and be refused when cut
// one byte shorter.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "x86_decoder.hpp"

namespace {

using kv::md::X86Insn;
using kv::md::X86Mode;

int decode_copy(const std::uint8_t* data, std::size_t size, std::uint64_t address, X86Mode mode, X86Insn* out) {
    auto* copy = static_cast<std::uint8_t*>(std::malloc(size ? size : 1));
    if (copy == nullptr)
        std::abort();
    if (size != 0)
        std::memcpy(copy, data, size);
    const int r = kv::md::x86_decode(copy, size, address, mode, out);
    std::free(copy);
    return r;
}

bool same(const X86Insn& a, const X86Insn& b) {
    return a.target == b.target && a.flags == b.flags && a.length == b.length && a.prefix_count == b.prefix_count &&
           a.prefixes == b.prefixes && a.segment == b.segment && a.rex == b.rex && a.encoding == b.encoding &&
           a.map == b.map && a.opcode == b.opcode && a.opcode_offset == b.opcode_offset &&
           a.modrm_offset == b.modrm_offset && a.modrm == b.modrm && a.sib_offset == b.sib_offset &&
           a.disp_offset == b.disp_offset && a.disp_size == b.disp_size && a.imm_offset == b.imm_offset &&
           a.imm_size == b.imm_size && a.branch == b.branch && a.rel_offset == b.rel_offset && a.rel_size == b.rel_size;
}

bool inside(unsigned offset, unsigned size, unsigned length) {
    return size == 0 || (offset != 0 && offset + size <= length);
}

void check(const std::uint8_t* data, std::size_t size, std::uint64_t address, X86Mode mode) {
    X86Insn insn{};
    const int r = decode_copy(data, size, address, mode, &insn);
    if (r != 0) {
        if (r != kv::md::kX86Unknown)
            __builtin_trap();
        return;
    }
    const unsigned length = insn.length;
    if (length == 0 || length > 15 || length > size || insn.opcode_offset >= length ||
        insn.prefix_count > insn.opcode_offset || insn.modrm_offset >= length ||
        (insn.modrm_offset != 0 && insn.modrm_offset <= insn.opcode_offset) ||
        !inside(insn.disp_offset, insn.disp_size, length) || !inside(insn.imm_offset, insn.imm_size, length) ||
        !inside(insn.rel_offset, insn.rel_size, length) ||
        (insn.branch != kv::md::X86Branch::none && insn.rel_offset + insn.rel_size != length) ||
        ((insn.flags & kv::md::kX86RipRelative) != 0 && insn.disp_size != 4))
        __builtin_trap();
    X86Insn cut{};
    if (decode_copy(data, length, address, mode, &cut) != 0 || !same(cut, insn))
        __builtin_trap();
    if (decode_copy(data, length - 1, address, mode, &cut) != kv::md::kX86Unknown)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(data, size, 0x7FFFF7A01000, X86Mode::bits64);
    check(data, size, 0xFFFFFFF0, X86Mode::bits32);
    std::uint8_t reg = 0;
    (void)kv::md::x86_is_get_pc_thunk(data, size, &reg);
    return 0;
}
