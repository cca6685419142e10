// Instruction-length decoding from opcode tables: one descriptor byte per
// opcode of the one-byte and 0F maps, opcode sets for 0F 38, 0F 3A and the
// VEX/EVEX maps, and a few group rules that need the ModRM byte.
#include "x86_decoder.hpp"

#include <errno.h>

namespace kv::md {
namespace {

constexpr std::size_t kMaxLength = 15;   // longer encodings raise #GP

// Descriptor byte: bits 0-3 say what follows the ModRM/SIB/displacement.
enum : std::uint8_t {
    kNoImm,
    kIb,     // imm8
    kIw,     // imm16
    kIz,     // imm16 with 66, else imm32
    kIv,     // B8+r: imm64 with REX.W, imm16 with 66, else imm32
    kAp,     // far pointer: offset (2 with 66, else 4) and selector
    kOb,     // moffs: the address size
    kIwIb,   // enter
    kJb,     // rel8
    kJz,     // rel32 (rel16 with 66: refused)
};
constexpr std::uint8_t kImmMask = 0x0F;
constexpr std::uint8_t kModrm = 0x10;
constexpr std::uint8_t kNot64 = 0x20;    // invalid in 64-bit mode
constexpr std::uint8_t kGroup = 0x40;    // validity or operands depend on ModRM (see check_group)
constexpr std::uint8_t kDefined = 0x80;

constexpr std::uint8_t XX = 0;
constexpr std::uint8_t NN = kDefined;
constexpr std::uint8_t MM = kDefined | kModrm;
constexpr std::uint8_t MB = MM | kIb;
constexpr std::uint8_t MZ = MM | kIz;
constexpr std::uint8_t IB = kDefined | kIb;
constexpr std::uint8_t IW = kDefined | kIw;
constexpr std::uint8_t IZ = kDefined | kIz;
constexpr std::uint8_t IV = kDefined | kIv;
constexpr std::uint8_t JB = kDefined | kJb;
constexpr std::uint8_t JZ = kDefined | kJz;
constexpr std::uint8_t OB = kDefined | kOb;
constexpr std::uint8_t EN = kDefined | kIwIb;
constexpr std::uint8_t N6 = NN | kNot64;
constexpr std::uint8_t B6 = IB | kNot64;
constexpr std::uint8_t M6 = MM | kNot64;
constexpr std::uint8_t G6 = MB | kNot64;
constexpr std::uint8_t P6 = kDefined | kAp | kNot64;
constexpr std::uint8_t MG = MM | kGroup;
constexpr std::uint8_t GB = MG | kIb;
constexpr std::uint8_t GZ = MG | kIz;

// Prefix bytes and 0F are consumed before the lookup and read XX here.
// C4, C5 and 62 reach it only as LES, LDS and BOUND (32-bit, memory ModRM).
// D6 (SALC) is undocumented and refused.
constexpr std::uint8_t kOneByteMap[256] = {
//  0   1   2   3   4   5   6   7   8   9   A   B   C   D   E   F
    MM, MM, MM, MM, IB, IZ, N6, N6, MM, MM, MM, MM, IB, IZ, N6, XX,  // 0
    MM, MM, MM, MM, IB, IZ, N6, N6, MM, MM, MM, MM, IB, IZ, N6, N6,  // 1
    MM, MM, MM, MM, IB, IZ, XX, N6, MM, MM, MM, MM, IB, IZ, XX, N6,  // 2
    MM, MM, MM, MM, IB, IZ, XX, N6, MM, MM, MM, MM, IB, IZ, XX, N6,  // 3
    NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN,  // 4
    NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, NN,  // 5
    N6, N6, M6, MM, XX, XX, XX, XX, IZ, MZ, IB, MB, NN, NN, NN, NN,  // 6
    JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB, JB,  // 7
    MB, MZ, G6, MB, MM, MM, MM, MM, MM, MM, MM, MM, MM, MG, MM, MG,  // 8
    NN, NN, NN, NN, NN, NN, NN, NN, NN, NN, P6, NN, NN, NN, NN, NN,  // 9
    OB, OB, OB, OB, NN, NN, NN, NN, IB, IZ, NN, NN, NN, NN, NN, NN,  // A
    IB, IB, IB, IB, IB, IB, IB, IB, IV, IV, IV, IV, IV, IV, IV, IV,  // B
    MB, MB, IW, NN, M6, M6, GB, GZ, EN, NN, IW, NN, NN, IB, N6, NN,  // C
    MM, MM, MM, MM, B6, B6, XX, NN, MM, MM, MM, MM, MM, MM, MM, MM,  // D
    JB, JB, JB, JB, IB, IB, IB, IB, JZ, JZ, P6, JB, NN, NN, NN, NN,  // E
    XX, NN, XX, XX, NN, NN, GB, GZ, NN, NN, NN, NN, NN, NN, MG, MG,  // F
};

// 0F map. 0F 38 and 0F 3A are escapes (XX here). Refused: 3DNow! (0F 0F,
// 0F 0E), UD0 and UD1 (0F FF, 0F B9: whether a ModRM follows has differed
// between vendors and generations) and the unused rows.
constexpr std::uint8_t k0FMap[256] = {
//  0   1   2   3   4   5   6   7   8   9   A   B   C   D   E   F
    MG, MG, MM, MM, XX, NN, NN, NN, NN, NN, XX, NN, XX, MM, XX, XX,  // 0
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // 1
    MG, MG, MG, MG, XX, XX, XX, XX, MM, MM, MM, MM, MM, MM, MM, MM,  // 2
    NN, NN, NN, NN, NN, NN, XX, NN, XX, XX, XX, XX, XX, XX, XX, XX,  // 3
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // 4
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // 5
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // 6
    MB, GB, GB, GB, MM, MM, MM, NN, MM, MM, XX, XX, MM, MM, MM, MM,  // 7
    JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ, JZ,  // 8
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // 9
    NN, NN, NN, MM, MB, MM, XX, XX, NN, NN, NN, MM, MB, MM, MM, MM,  // A
    MM, MM, MM, MM, MM, MM, MM, MM, MM, XX, GB, MM, MM, MM, MM, MM,  // B
    MM, MM, MB, MM, MB, MB, MB, MG, NN, NN, NN, NN, NN, NN, NN, NN,  // C
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // D
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM,  // E
    MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, MM, XX,  // F
};

// Mandatory-prefix sets: which of none / 66 / F3 / F2 (the VEX pp values
// 0..3) make an opcode defined. 0 = undefined.
constexpr std::uint8_t PN = 1, P66 = 2, PF3 = 4, PF2 = 8, PA = PN | P66 | PF3 | PF2;

struct PrefixRange {
    std::uint8_t first;
    std::uint8_t last;
    std::uint8_t allowed;
};

struct PrefixTable {
    std::uint8_t allowed[256];
};

template <std::size_t N>
constexpr PrefixTable make_table(const PrefixRange (&ranges)[N], std::uint8_t fill) {
    PrefixTable t{};
    for (std::uint8_t& a : t.allowed)
        a = fill;
    for (const PrefixRange& r : ranges)
        for (unsigned op = r.first; op <= r.last; ++op)
            t.allowed[op] = r.allowed;
    return t;
}

// 0F map: the SSE opcodes take only their listed mandatory prefixes (other
// combinations are reserved and behave differently across processors); every
// other opcode ignores F2/F3 or reads 66 as operand size (fill PA). Excluded:
// the AMD-only F2/F3 0F 2B and 66/F2 0F 78/79 forms, and bare 0F B8 (jmpe).
constexpr PrefixRange k0FPrefixRanges[] = {
    {0x09, 0x09, PN | PF3},   // wbinvd, wbnoinvd
    {0x10, 0x12, PA}, {0x13, 0x15, PN | P66}, {0x16, 0x16, PN | P66 | PF3}, {0x17, 0x17, PN | P66},
    {0x28, 0x29, PN | P66}, {0x2A, 0x2A, PA}, {0x2B, 0x2B, PN | P66}, {0x2C, 0x2D, PA}, {0x2E, 0x2F, PN | P66},
    {0x50, 0x50, PN | P66}, {0x51, 0x51, PA}, {0x52, 0x53, PN | PF3}, {0x54, 0x57, PN | P66}, {0x58, 0x5A, PA},
    {0x5B, 0x5B, PN | P66 | PF3}, {0x5C, 0x5F, PA}, {0x60, 0x6B, PN | P66}, {0x6C, 0x6D, P66}, {0x6E, 0x6E, PN | P66},
    {0x6F, 0x6F, PN | P66 | PF3}, {0x70, 0x70, PA}, {0x71, 0x76, PN | P66}, {0x77, 0x79, PN}, {0x7C, 0x7D, P66 | PF2},
    {0x7E, 0x7F, PN | P66 | PF3}, {0xB8, 0xB8, PF3}, {0xBC, 0xBD, PN | P66 | PF3}, {0xC2, 0xC2, PA}, {0xC3, 0xC3, PN},
    {0xC4, 0xC6, PN | P66}, {0xD0, 0xD0, P66 | PF2}, {0xD1, 0xD5, PN | P66}, {0xD6, 0xD6, P66 | PF3 | PF2},
    {0xD7, 0xE5, PN | P66}, {0xE6, 0xE6, P66 | PF3 | PF2}, {0xE7, 0xEF, PN | P66}, {0xF0, 0xF0, PF2},
    {0xF1, 0xFE, PN | P66},
};
// The three-byte maps share one layout each: every opcode has a ModRM byte,
// 0F 3A adds imm8. Only the defined opcodes are accepted, so an extension
// added later with another layout is refused rather than mismeasured.
constexpr PrefixRange k0F38PrefixRanges[] = {
    {0x00, 0x0B, PN | P66}, {0x10, 0x10, P66}, {0x14, 0x15, P66}, {0x17, 0x17, P66}, {0x1C, 0x1E, PN | P66},
    {0x20, 0x25, P66}, {0x28, 0x2B, P66}, {0x30, 0x35, P66}, {0x37, 0x41, P66}, {0x80, 0x82, P66},
    {0xC8, 0xCD, PN}, {0xCF, 0xCF, P66}, {0xD8, 0xD8, PF3}, {0xDB, 0xDB, P66}, {0xDC, 0xDF, P66 | PF3},
    {0xF0, 0xF1, PN | P66 | PF2}, {0xF5, 0xF5, P66}, {0xF6, 0xF6, PN | P66 | PF3}, {0xF8, 0xF8, P66 | PF3 | PF2},
    {0xF9, 0xF9, PN}, {0xFA, 0xFB, PF3}, {0xFC, 0xFC, PA},
};
constexpr PrefixRange k0F3APrefixRanges[] = {
    {0x08, 0x0E, P66}, {0x0F, 0x0F, PN | P66}, {0x14, 0x17, P66}, {0x20, 0x22, P66}, {0x40, 0x42, P66},
    {0x44, 0x44, P66}, {0x60, 0x63, P66}, {0xCC, 0xCC, PN}, {0xCE, 0xCF, P66}, {0xDF, 0xDF, P66}, {0xF0, 0xF0, PF3},
};
// VEX and EVEX (union of both) per map, by pp.
constexpr PrefixRange kVex1PrefixRanges[] = {
    {0x10, 0x12, PA}, {0x13, 0x15, PN | P66}, {0x16, 0x16, PN | P66 | PF3}, {0x17, 0x17, PN | P66},
    {0x28, 0x29, PN | P66}, {0x2A, 0x2A, PF3 | PF2}, {0x2B, 0x2B, PN | P66}, {0x2C, 0x2D, PF3 | PF2},
    {0x2E, 0x2F, PN | P66}, {0x41, 0x42, PN | P66}, {0x44, 0x47, PN | P66}, {0x4A, 0x4B, PN | P66},
    {0x50, 0x50, PN | P66}, {0x51, 0x51, PA}, {0x52, 0x53, PN | PF3}, {0x54, 0x57, PN | P66}, {0x58, 0x5A, PA},
    {0x5B, 0x5B, PN | P66 | PF3}, {0x5C, 0x5F, PA}, {0x60, 0x6E, P66}, {0x6F, 0x70, P66 | PF3 | PF2},
    {0x71, 0x76, P66}, {0x77, 0x77, PN}, {0x78, 0x79, PA}, {0x7A, 0x7B, P66 | PF3 | PF2}, {0x7C, 0x7D, P66 | PF2},
    {0x7E, 0x7E, P66 | PF3}, {0x7F, 0x7F, P66 | PF3 | PF2}, {0x90, 0x91, PN | P66}, {0x92, 0x93, PN | P66 | PF2},
    {0x98, 0x99, PN | P66}, {0xAE, 0xAE, PN}, {0xC2, 0xC2, PA}, {0xC4, 0xC5, P66}, {0xC6, 0xC6, PN | P66},
    {0xD0, 0xD0, P66 | PF2}, {0xD1, 0xE5, P66}, {0xE6, 0xE6, P66 | PF3 | PF2}, {0xE7, 0xEF, P66},
    {0xF0, 0xF0, PF2}, {0xF1, 0xFE, P66},
};
constexpr PrefixRange kVex2PrefixRanges[] = {
    {0x00, 0x0F, P66}, {0x10, 0x15, P66 | PF3}, {0x16, 0x1F, P66}, {0x20, 0x2A, P66 | PF3}, {0x2B, 0x2F, P66},
    {0x30, 0x35, P66 | PF3}, {0x36, 0x37, P66}, {0x38, 0x3A, P66 | PF3}, {0x3B, 0x47, P66},
    {0x49, 0x49, PN | P66 | PF2}, {0x4B, 0x4B, P66 | PF3 | PF2}, {0x4C, 0x51, P66}, {0x52, 0x52, P66 | PF3},
    {0x53, 0x55, P66}, {0x58, 0x5B, P66}, {0x5C, 0x5C, PF3}, {0x5E, 0x5E, PA}, {0x62, 0x66, P66}, {0x68, 0x68, PF2},
    {0x70, 0x71, P66}, {0x72, 0x72, P66 | PF3 | PF2}, {0x73, 0x73, P66}, {0x75, 0x7F, P66}, {0x83, 0x83, P66},
    {0x88, 0x93, P66}, {0x96, 0xA3, P66}, {0xA6, 0xAF, P66}, {0xB0, 0xB1, PA}, {0xB4, 0xBF, P66}, {0xC4, 0xC4, P66},
    {0xC6, 0xCD, P66}, {0xCF, 0xCF, P66}, {0xDB, 0xDF, P66}, {0xF2, 0xF3, PN}, {0xF5, 0xF5, PN | PF3 | PF2},
    {0xF6, 0xF6, PF2}, {0xF7, 0xF7, PA},
};
constexpr PrefixRange kVex3PrefixRanges[] = {
    {0x00, 0x06, P66}, {0x08, 0x0F, P66}, {0x14, 0x1B, P66}, {0x1D, 0x1F, P66}, {0x20, 0x23, P66},
    {0x25, 0x27, P66}, {0x30, 0x33, P66}, {0x38, 0x3B, P66}, {0x3E, 0x44, P66}, {0x46, 0x46, P66},
    {0x4A, 0x4C, P66}, {0x50, 0x51, P66}, {0x54, 0x57, P66}, {0x60, 0x63, P66}, {0x66, 0x67, P66},
    {0x70, 0x73, P66}, {0xCE, 0xCF, P66}, {0xDF, 0xDF, P66}, {0xF0, 0xF0, PF2},
};
// 0F 01 with a register ModRM: each byte is its own instruction (PA marks
// the defined ones; the table is indexed by the ModRM byte).
constexpr PrefixRange k0F01RegRanges[] = {
    {0xC0, 0xC6, PA}, {0xC8, 0xCB, PA}, {0xCF, 0xD1, PA}, {0xD4, 0xE9, PA}, {0xEA, 0xEA, PA}, {0xEC, 0xFF, PA},
};

constexpr PrefixTable k0FPrefixes = make_table(k0FPrefixRanges, PA);
constexpr PrefixTable k0F38Prefixes = make_table(k0F38PrefixRanges, 0);
constexpr PrefixTable k0F3APrefixes = make_table(k0F3APrefixRanges, 0);
constexpr PrefixTable kVexPrefixes[3] = {
    make_table(kVex1PrefixRanges, 0), make_table(kVex2PrefixRanges, 0), make_table(kVex3PrefixRanges, 0)};
constexpr PrefixTable k0F01Reg = make_table(k0F01RegRanges, 0);

// VEX/EVEX map-1 opcodes that carry imm8, as their legacy forms do.
constexpr bool vex_map1_has_imm8(std::uint8_t op) {
    return (op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6);
}

// Bounded reader: nothing at or past `limit` is ever touched.
struct Reader {
    const std::uint8_t* code;
    std::size_t limit;
    std::size_t pos;

    bool next(std::uint8_t& ret_byte) {
        if (pos >= limit)
            return false;
        ret_byte = code[pos++];
        return true;
    }
    bool peek(std::uint8_t& ret_byte) const {
        if (pos >= limit)
            return false;
        ret_byte = code[pos];
        return true;
    }
    bool skip(std::size_t n) {
        if (n > limit - pos)
            return false;
        pos += n;
        return true;
    }
};

std::int64_t read_signed(const std::uint8_t* p, unsigned size) {
    std::uint32_t v = 0;
    for (unsigned i = size; i-- > 0;)
        v = (v << 8) | p[i];
    switch (size) {
    case 1: return static_cast<std::int8_t>(v);
    case 2: return static_cast<std::int16_t>(v);
    default: return static_cast<std::int32_t>(v);
    }
}

// Reads legacy prefixes and REX; leaves the first opcode byte in ret_byte and
// the last F2/F3 byte (the one that selects an SSE form) in ret_last_rep. A
// REX byte must directly precede the opcode: one followed by another prefix is
// ignored by some processors and not by others, so it is refused.
bool read_prefixes(Reader& in, bool is64, X86Insn& insn, std::uint8_t& ret_byte, std::uint8_t& ret_last_rep) {
    for (;;) {
        std::uint8_t b = 0;
        if (!in.next(b))
            return false;
        std::uint8_t bit = 0;
        switch (b) {
        case 0xF0: bit = kX86PrefixLock; break;
        case 0xF2: bit = kX86PrefixRepne; ret_last_rep = b; break;
        case 0xF3: bit = kX86PrefixRep; ret_last_rep = b; break;
        case 0x66: bit = kX86PrefixOpSize; break;
        case 0x67: bit = kX86PrefixAddrSize; break;
        case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65: insn.segment = b; break;
        default:
            if (!is64 || (b & 0xF0) != 0x40) {
                ret_byte = b;
                return true;
            }
            if (insn.rex != 0)
                return false;
            insn.rex = b;
            continue;
        }
        if (insn.rex != 0)
            return false;
        insn.prefixes |= bit;
        ++insn.prefix_count;
    }
}

// VEX (C4/C5) or EVEX (62) after its escape byte: reads the payload and the
// opcode, returns the descriptor or XX. These prefixes may not follow REX,
// LOCK, 66, F2 or F3 (#UD), and 16-bit addressing is refused with them.
std::uint8_t read_vex(Reader& in, std::uint8_t escape, X86Insn& insn) {
    constexpr std::uint8_t kNotWithVex = kX86PrefixLock | kX86PrefixRepne | kX86PrefixRep | kX86PrefixOpSize;
    if (insn.rex != 0 || (insn.prefixes & kNotWithVex) != 0)
        return XX;
    std::uint8_t p0 = 0, p1 = 0, map = 1;
    if (escape == 0xC5) {
        insn.encoding = X86Encoding::vex2;
        if (!in.next(p0))
            return XX;
    } else if (escape == 0xC4) {
        insn.encoding = X86Encoding::vex3;
        if (!in.next(p0) || !in.next(p1))
            return XX;
        map = p0 & 0x1F;
    } else {
        insn.encoding = X86Encoding::evex;
        if (!in.next(p0) || !in.next(p1) || !in.skip(1))   // P2 (masking, broadcast, L'L) keeps the length
            return XX;
        if ((p0 & 0x08) != 0 || (p1 & 0x04) == 0)   // reserved 0 / fixed 1 bits
            return XX;
        map = p0 & 0x07;
    }
    std::uint8_t op = 0;
    if (map < 1 || map > 3 || !in.next(op))
        return XX;
    insn.map = static_cast<X86Map>(map);
    insn.opcode = op;
    insn.opcode_offset = static_cast<std::uint8_t>(in.pos - 1);
    const unsigned pp = (insn.encoding == X86Encoding::vex2 ? p0 : p1) & 3;   // implied none/66/F3/F2
    if ((kVexPrefixes[map - 1].allowed[op] & (1u << pp)) == 0)
        return XX;
    if (map == 1 && op == 0x77)   // vzeroupper / vzeroall: no ModRM, VEX only
        return insn.encoding == X86Encoding::evex ? XX : NN;
    return (map == 3 || (map == 1 && vex_map1_has_imm8(op))) ? MB : MM;
}

// Group rules for descriptors marked kGroup; returns the adjusted descriptor
// or XX. `reg_only` is set where the processor ignores ModRM.mod.
std::uint8_t check_group(X86Map map, std::uint8_t op, std::uint8_t modrm, std::uint8_t entry, bool& reg_only) {
    const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7;
    if (map == X86Map::one_byte) {
        switch (op) {
        case 0x8D: return mod == 3 ? XX : entry;                        // lea needs memory
        case 0x8F: return reg == 0 ? entry : XX;                        // pop r/m; XOP refused
        case 0xC6: return (reg == 0 || modrm == 0xF8) ? entry : XX;     // mov r/m8, imm8; xabort
        case 0xC7:                                                      // mov r/m, imm; xbegin
            if (reg == 0)
                return entry;
            return modrm == 0xF8 ? static_cast<std::uint8_t>((entry & ~kImmMask) | kJz) : XX;
        case 0xF6: case 0xF7:                                           // only test has an immediate
            return reg < 2 ? entry : static_cast<std::uint8_t>(entry & ~kImmMask);
        case 0xFE: return reg < 2 ? entry : XX;
        case 0xFF:                                                      // far call/jmp need memory
            return (reg == 7 || ((reg == 3 || reg == 5) && mod == 3)) ? XX : entry;
        default: return XX;
        }
    }
    switch (op) {
    case 0x00: return reg < 6 ? entry : XX;
    case 0x01: return (mod != 3 || k0F01Reg.allowed[modrm] != 0) ? entry : XX;
    case 0x20: case 0x21: case 0x22: case 0x23: reg_only = true; return entry;   // mov to/from CRn/DRn
    case 0x71: case 0x72: return (mod == 3 && (reg == 2 || reg == 4 || reg == 6)) ? entry : XX;
    case 0x73: return (mod == 3 && (reg == 2 || reg == 3 || reg == 6 || reg == 7)) ? entry : XX;
    case 0xBA: return reg >= 4 ? entry : XX;
    case 0xC7: return (reg == 0 || reg == 2 || (reg == 1 && mod == 3)) ? XX : entry;
    default: return XX;
    }
}

// SSE and system forms of the 0F / 0F 38 maps that take only a memory or
// only a register ModRM operand (the other form is undefined). `mandatory` is
// the PN/P66/PF3/PF2 bit selecting the form.
bool operand_form_ok(X86Map map, std::uint8_t op, std::uint8_t mandatory, unsigned mod) {
    bool memory_only = false, register_only = false;
    if (map == X86Map::map_0f) {
        switch (op) {
        case 0x0D: case 0x13: case 0x17: case 0x2B: case 0xB2: case 0xB4: case 0xB5: case 0xC3: case 0xE7: case 0xF0:
            memory_only = true;   // prefetch(w), movlps/movhps stores, movnt*, lss/lfs/lgs, lddqu
            break;
        case 0x12: case 0x16: memory_only = mandatory == P66; break;   // movlpd, movhpd
        case 0x50: case 0xC5: case 0xD7: case 0xF7: register_only = true; break;   // movmsk, pextrw, pmovmskb, maskmov
        case 0xD6: register_only = mandatory != P66; break;            // movq2dq, movdq2q
        default: break;
        }
    } else if (map == X86Map::map_0f38) {
        switch (op) {
        case 0x2A: case 0x80: case 0x81: case 0x82: case 0xF5: case 0xF8: case 0xF9: case 0xFC:
            memory_only = true;   // movntdqa, invept/invvpid/invpcid, wruss, movdir64b/enqcmd, movdiri, aadd..
            break;
        case 0xF0: case 0xF1: memory_only = mandatory != PF2; break;   // movbe (crc32 takes registers)
        case 0xF6: memory_only = mandatory == PN; break;               // wrss (adcx/adox take registers)
        default: break;
        }
    }
    return !(memory_only && mod == 3) && !(register_only && mod != 3);
}

// LOCK is valid only on these read-modify-write forms with a memory operand.
bool lockable(X86Map map, std::uint8_t op, unsigned reg) {
    if (map == X86Map::one_byte) {
        if (op < 0x38 && (op & 7) <= 1)   // add or adc sbb and sub xor, r/m destination
            return true;
        switch (op) {
        case 0x80: case 0x81: case 0x82: case 0x83: return reg != 7;
        case 0x86: case 0x87: return true;
        case 0xF6: case 0xF7: return reg == 2 || reg == 3;
        case 0xFE: case 0xFF: return reg < 2;
        default: return false;
        }
    }
    if (map != X86Map::map_0f)
        return false;
    switch (op) {
    case 0xAB: case 0xB3: case 0xBB: case 0xB0: case 0xB1: case 0xC0: case 0xC1: return true;
    case 0xBA: return reg >= 5;
    case 0xC7: return reg == 1;
    default: return false;
    }
}

X86Branch branch_kind(X86Map map, std::uint8_t op) {
    if (map == X86Map::map_0f)
        return X86Branch::jcc_rel32;   // only 0F 80-8F carry a relative operand in this map
    if (op >= 0x70 && op <= 0x7F)
        return X86Branch::jcc_rel8;
    switch (op) {
    case 0xE0: return X86Branch::loopne;
    case 0xE1: return X86Branch::loope;
    case 0xE2: return X86Branch::loop;
    case 0xE3: return X86Branch::jcxz;
    case 0xE8: return X86Branch::call_rel32;
    case 0xE9: return X86Branch::jmp_rel32;
    case 0xEB: return X86Branch::jmp_rel8;
    default: return X86Branch::xbegin;   // C7 F8
    }
}

std::uint16_t flow_flags(X86Map map, std::uint8_t op, unsigned reg) {
    if (map == X86Map::map_0f)   // ud2, sysret, sysexit
        return (op == 0x0B || op == 0x07 || op == 0x35) ? kX86EndsFlow : 0;
    if (map != X86Map::one_byte)
        return 0;
    switch (op) {
    case 0xC2: case 0xC3: case 0xCA: case 0xCB: case 0xCF:   // ret, retf, iret
    case 0xCC: case 0xF4:                                    // int3, hlt
    case 0xE9: case 0xEA: case 0xEB:                         // jmp
        return kX86EndsFlow;
    case 0xE8: case 0x9A: return kX86Call;
    case 0xFF:
        if (reg == 2 || reg == 3)
            return kX86Call;
        return (reg == 4 || reg == 5) ? kX86EndsFlow : 0;
    default: return 0;
    }
}

// ModRM addressing: SIB and displacement. 16-bit addressing has no SIB and
// [disp16] at mod 00 r/m 110; 32/64-bit has SIB at r/m 100 and [disp32] (in
// 64-bit mode [rip + disp32]) at mod 00 r/m 101.
bool read_address(Reader& in, std::uint8_t modrm, bool addr16, bool is64, X86Insn& insn) {
    const unsigned mod = modrm >> 6, rm = modrm & 7;
    unsigned disp = 0;
    if (mod == 3)
        return true;
    if (addr16) {
        disp = mod == 1 ? 1 : (mod == 2 || rm == 6) ? 2 : 0;
    } else {
        if (rm == 4) {
            std::uint8_t sib = 0;
            insn.sib_offset = static_cast<std::uint8_t>(in.pos);
            if (!in.next(sib))
                return false;
            if (mod == 0 && (sib & 7) == 5)
                disp = 4;
        } else if (mod == 0 && rm == 5) {
            disp = 4;
            if (is64)
                insn.flags |= kX86RipRelative;
        }
        if (mod == 1)
            disp = 1;
        else if (mod == 2)
            disp = 4;
    }
    insn.disp_offset = static_cast<std::uint8_t>(disp ? in.pos : 0);
    insn.disp_size = static_cast<std::uint8_t>(disp);
    return in.skip(disp);
}

}  // namespace

int x86_decode(const std::uint8_t* code, std::size_t size, std::uint64_t address, X86Mode mode,
               X86Insn* ret_insn) noexcept {
    if (code == nullptr || ret_insn == nullptr || (mode != X86Mode::bits32 && mode != X86Mode::bits64))
        return -EINVAL;
    const bool is64 = mode == X86Mode::bits64;
    Reader in{code, size < kMaxLength ? size : kMaxLength, 0};
    X86Insn insn{};
    std::uint8_t b = 0, last_rep = 0;
    if (!read_prefixes(in, is64, insn, b, last_rep))
        return kX86Unknown;
    const bool addr16 = !is64 && (insn.prefixes & kX86PrefixAddrSize) != 0;
    const bool op16 = (insn.prefixes & kX86PrefixOpSize) != 0 && (insn.rex & 0x08) == 0;

    std::uint8_t entry = XX;
    std::uint8_t after = 0;
    std::uint8_t mandatory = PN;
    if ((b == 0xC4 || b == 0xC5 || b == 0x62) && !is64 && !in.peek(after))
        return kX86Unknown;
    // Outside 64-bit mode these are LES/LDS/BOUND unless the next byte looks
    // like a register ModRM, which those instructions cannot take.
    if ((b == 0xC4 || b == 0xC5 || b == 0x62) && (is64 || (after & 0xC0) == 0xC0)) {
        entry = read_vex(in, b, insn);
        if (addr16)
            return kX86Unknown;
    } else if (b == 0x0F) {
        std::uint8_t op = 0;
        if (!in.next(op))
            return kX86Unknown;
        const PrefixTable* allowed = &k0FPrefixes;
        if (op == 0x38 || op == 0x3A) {
            if (!in.next(insn.opcode))
                return kX86Unknown;
            insn.map = op == 0x38 ? X86Map::map_0f38 : X86Map::map_0f3a;
            allowed = op == 0x38 ? &k0F38Prefixes : &k0F3APrefixes;
            entry = op == 0x38 ? MM : MB;
        } else {
            insn.map = X86Map::map_0f;
            insn.opcode = op;
            entry = k0FMap[op];
        }
        insn.opcode_offset = static_cast<std::uint8_t>(in.pos - 1);
        // The SSE form is chosen by the last F2/F3, else by 66, as for VEX pp.
        mandatory = last_rep == 0xF3 ? PF3 : last_rep == 0xF2 ? PF2 : (insn.prefixes & kX86PrefixOpSize) ? P66 : PN;
        if ((allowed->allowed[insn.opcode] & mandatory) == 0)
            return kX86Unknown;
    } else {
        insn.opcode = b;
        insn.opcode_offset = static_cast<std::uint8_t>(in.pos - 1);
        entry = kOneByteMap[b];
    }
    if (entry == XX || (is64 && (entry & kNot64) != 0))
        return kX86Unknown;

    unsigned reg = 0;
    if ((entry & kModrm) != 0) {
        insn.modrm_offset = static_cast<std::uint8_t>(in.pos);
        if (!in.next(insn.modrm))
            return kX86Unknown;
        reg = (insn.modrm >> 3) & 7;
        bool reg_only = false;
        if ((entry & kGroup) != 0)
            entry = check_group(insn.map, insn.opcode, insn.modrm, entry, reg_only);
        if (entry == XX || (insn.encoding == X86Encoding::legacy &&
                            !operand_form_ok(insn.map, insn.opcode, mandatory, insn.modrm >> 6)))
            return kX86Unknown;
        if ((insn.prefixes & kX86PrefixLock) != 0 &&
            ((insn.modrm >> 6) == 3 || insn.encoding != X86Encoding::legacy || !lockable(insn.map, insn.opcode, reg)))
            return kX86Unknown;
        if (!reg_only && !read_address(in, insn.modrm, addr16, is64, insn))
            return kX86Unknown;
    } else if ((insn.prefixes & kX86PrefixLock) != 0) {
        return kX86Unknown;
    }

    unsigned imm = 0, rel = 0;
    switch (entry & kImmMask) {
    case kIb: imm = 1; break;
    case kIw: imm = 2; break;
    case kIz: imm = op16 ? 2 : 4; break;
    case kIv: imm = (insn.rex & 0x08) ? 8 : op16 ? 2 : 4; break;
    case kAp: imm = op16 ? 4 : 6; break;
    case kOb: imm = is64 ? (insn.prefixes & kX86PrefixAddrSize ? 4 : 8) : (addr16 ? 2 : 4); break;
    case kIwIb: imm = 3; break;
    case kJb: rel = 1; break;
    case kJz: rel = 4; break;
    default: break;
    }
    // A 16-bit operand size truncates the instruction pointer (and vendors
    // disagree on it in 64-bit mode): no relocator can keep such a branch.
    if (rel != 0 && (insn.prefixes & kX86PrefixOpSize) != 0)
        return kX86Unknown;
    const std::size_t tail = in.pos;
    if (!in.skip(imm + rel))
        return kX86Unknown;

    insn.length = static_cast<std::uint8_t>(in.pos);
    if (imm != 0) {
        insn.imm_offset = static_cast<std::uint8_t>(tail);
        insn.imm_size = static_cast<std::uint8_t>(imm);
    }
    const std::uint64_t next = address + insn.length;
    const std::uint64_t mask = is64 ? ~std::uint64_t{0} : 0xFFFFFFFFu;
    if (rel != 0) {
        insn.rel_offset = static_cast<std::uint8_t>(tail);
        insn.rel_size = static_cast<std::uint8_t>(rel);
        insn.branch = branch_kind(insn.map, insn.opcode);
        const std::int64_t delta = read_signed(code + tail, rel);
        insn.target = (next + static_cast<std::uint64_t>(delta)) & mask;
        if (insn.branch == X86Branch::call_rel32 && delta == 0)
            insn.flags |= kX86CallNext;
    } else if ((insn.flags & kX86RipRelative) != 0) {
        const std::int64_t delta = read_signed(code + insn.disp_offset, 4);
        const std::uint64_t eip_mask = (insn.prefixes & kX86PrefixAddrSize) ? 0xFFFFFFFFu : mask;
        insn.target = (next + static_cast<std::uint64_t>(delta)) & eip_mask;
    }
    if (insn.encoding == X86Encoding::legacy)
        insn.flags |= flow_flags(insn.map, insn.opcode, reg);
    *ret_insn = insn;
    return 0;
}

bool x86_is_get_pc_thunk(const std::uint8_t* code, std::size_t size, std::uint8_t* ret_reg) noexcept {
    // 8B /r with mod 00, r/m 100; SIB 24 = [esp]; then ret.
    if (code == nullptr || size < 4 || code[0] != 0x8B || (code[1] & 0xC7) != 0x04 || code[2] != 0x24 ||
        code[3] != 0xC3)
        return false;
    const std::uint8_t reg = (code[1] >> 3) & 7;
    if (reg == 4)
        return false;
    if (ret_reg != nullptr)
        *ret_reg = reg;
    return true;
}

}  // namespace kv::md
