// Instruction bytes against expected lengths, layouts and classifications in
// both modes; every truncation of every case must be refused without touching
// the byte after the given size (the input ends at a PROT_NONE page).
#include "x86_decoder.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kv::md {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr X86Mode k32 = X86Mode::bits32;
constexpr X86Mode k64 = X86Mode::bits64;

std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (std::uint8_t x : b) {
        std::snprintf(t, sizeof t, "%02x ", x);
        s += t;
    }
    return s;
}

// Two pages, the second PROT_NONE: bytes copied to the end of the first page
// are followed by unreadable memory, so an over-read faults.
class GuardedBuffer {
public:
    GuardedBuffer() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(p, MAP_FAILED);
        base_ = static_cast<std::uint8_t*>(p);
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    }
    ~GuardedBuffer() { (void)munmap(base_, 2 * page_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    const std::uint8_t* place(const Bytes& b, std::size_t n) {
        std::uint8_t* at = base_ + page_ - n;
        if (n != 0)
            std::memcpy(at, b.data(), n);
        return at;
    }

private:
    std::size_t page_ = 0;
    std::uint8_t* base_ = nullptr;
};

int decode(X86Mode mode, const Bytes& b, X86Insn& out, std::uint64_t address = 0x401000) {
    static GuardedBuffer buffer;
    return x86_decode(buffer.place(b, b.size()), b.size(), address, mode, &out);
}

// Every shorter view of a decodable instruction is refused, and the decoder
// reads nothing past the view (a read past it would fault).
void expect_truncations_refused(X86Mode mode, const Bytes& b, std::size_t length) {
    GuardedBuffer buffer;
    for (std::size_t n = 0; n < length; ++n) {
        X86Insn insn{};
        insn.length = 0xEE;
        EXPECT_EQ(x86_decode(buffer.place(b, n), n, 0x1000, mode, &insn), kX86Unknown) << hex(b) << "cut to " << n;
        EXPECT_EQ(insn.length, 0xEE) << "output written on failure";
    }
    X86Insn insn{};
    ASSERT_EQ(x86_decode(buffer.place(b, length), length, 0x1000, mode, &insn), 0) << hex(b);
    EXPECT_EQ(insn.length, length) << hex(b);
}

struct LayoutCase {
    const char* what;
    X86Mode mode;
    Bytes bytes;
    int length;
    X86Encoding encoding;
    X86Map map;
    int opcode_offset;
    int modrm_offset;   // 0: none
    int sib_offset;     // 0: none
    int disp_size;
    int imm_size;
};

constexpr auto L = X86Encoding::legacy;
constexpr auto V2 = X86Encoding::vex2;
constexpr auto V3 = X86Encoding::vex3;
constexpr auto EV = X86Encoding::evex;
constexpr auto M0 = X86Map::one_byte;
constexpr auto M1 = X86Map::map_0f;
constexpr auto M2 = X86Map::map_0f38;
constexpr auto M3 = X86Map::map_0f3a;

const LayoutCase kLayouts[] = {
    {"nop", k64, {0x90}, 1, L, M0, 0, 0, 0, 0, 0},
    {"mov rbp, rsp", k64, {0x48, 0x89, 0xE5}, 3, L, M0, 1, 2, 0, 0, 0},
    {"add eax, imm32", k64, {0x05, 0x78, 0x56, 0x34, 0x12}, 5, L, M0, 0, 0, 0, 0, 4},
    {"66: add ax, imm16", k64, {0x66, 0x05, 0x34, 0x12}, 4, L, M0, 1, 0, 0, 0, 2},
    {"66 REX.W: REX.W wins, imm32", k64, {0x66, 0x48, 0x05, 0x78, 0x56, 0x34, 0x12}, 7, L, M0, 2, 0, 0, 0, 4},
    {"mov rax, imm64", k64, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, L, M0, 1, 0, 0, 0, 8},
    {"mov r15, imm64", k64, {0x49, 0xBF, 1, 2, 3, 4, 5, 6, 7, 8}, 10, L, M0, 1, 0, 0, 0, 8},
    {"mov eax, imm32", k64, {0xB8, 1, 2, 3, 4}, 5, L, M0, 0, 0, 0, 0, 4},
    {"mov ax, imm16", k64, {0x66, 0xB8, 1, 2}, 4, L, M0, 1, 0, 0, 0, 2},
    {"REX.W mov r/m64, imm32 (sign-extended)", k64, {0x48, 0xC7, 0xC0, 1, 2, 3, 4}, 7, L, M0, 1, 2, 0, 0, 4},
    {"mov al, moffs64", k64, {0xA0, 1, 2, 3, 4, 5, 6, 7, 8}, 9, L, M0, 0, 0, 0, 0, 8},
    {"mov moffs64, rax", k64, {0x48, 0xA3, 1, 2, 3, 4, 5, 6, 7, 8}, 10, L, M0, 1, 0, 0, 0, 8},
    {"67: mov eax, moffs32", k64, {0x67, 0xA1, 1, 2, 3, 4}, 6, L, M0, 1, 0, 0, 0, 4},
    {"mov eax, moffs32 (32-bit)", k32, {0xA1, 1, 2, 3, 4}, 5, L, M0, 0, 0, 0, 0, 4},
    {"67: mov eax, moffs16 (32-bit)", k32, {0x67, 0xA1, 1, 2}, 4, L, M0, 1, 0, 0, 0, 2},
    {"enter", k64, {0xC8, 0x10, 0x00, 0x01}, 4, L, M0, 0, 0, 0, 0, 3},
    {"ret imm16", k64, {0xC2, 0x08, 0x00}, 3, L, M0, 0, 0, 0, 0, 2},
    {"66: ret imm16 stays 16", k32, {0x66, 0xC2, 0x08, 0x00}, 4, L, M0, 1, 0, 0, 0, 2},
    {"imul r, r/m, imm8", k64, {0x6B, 0xC0, 0x05}, 3, L, M0, 0, 1, 0, 0, 1},
    {"imul r, r/m, imm32", k64, {0x69, 0xC0, 1, 2, 3, 4}, 6, L, M0, 0, 1, 0, 0, 4},
    {"66: imul r16, r/m16, imm16", k64, {0x66, 0x69, 0xC0, 1, 2}, 5, L, M0, 1, 2, 0, 0, 2},
    {"test r/m8, imm8 (F6 /0)", k64, {0xF6, 0xC0, 0x01}, 3, L, M0, 0, 1, 0, 0, 1},
    {"not r/m8 (F6 /2): no immediate", k64, {0xF6, 0xD0}, 2, L, M0, 0, 1, 0, 0, 0},
    {"test r/m32, imm32 (F7 /0)", k64, {0xF7, 0xC0, 1, 2, 3, 4}, 6, L, M0, 0, 1, 0, 0, 4},
    {"neg r/m32 (F7 /3)", k64, {0xF7, 0xD8}, 2, L, M0, 0, 1, 0, 0, 0},
    {"66: test r/m16, imm16", k64, {0x66, 0xF7, 0xC0, 1, 2}, 5, L, M0, 1, 2, 0, 0, 2},
    {"push imm32 (32-bit)", k32, {0x68, 1, 2, 3, 4}, 5, L, M0, 0, 0, 0, 0, 4},
    {"push imm32 (64-bit)", k64, {0x68, 1, 2, 3, 4}, 5, L, M0, 0, 0, 0, 0, 4},
    {"lea rax, [rip+d32]", k64, {0x48, 0x8D, 0x05, 1, 2, 3, 4}, 7, L, M0, 1, 2, 0, 4, 0},
    {"mov eax, [rsp+8]: SIB, disp8", k64, {0x8B, 0x44, 0x24, 0x08}, 4, L, M0, 0, 1, 2, 1, 0},
    {"mov eax, [rbx*4+d32]: SIB without base", k64, {0x8B, 0x04, 0x9D, 1, 2, 3, 4}, 7, L, M0, 0, 1, 2, 4, 0},
    {"mov eax, [rbp+d32]", k64, {0x8B, 0x85, 1, 2, 3, 4}, 6, L, M0, 0, 1, 0, 4, 0},
    {"mov rax, fs:[0x28]", k64, {0x64, 0x48, 0x8B, 0x04, 0x25, 0x28, 0, 0, 0}, 9, L, M0, 2, 3, 4, 4, 0},
    {"cmp byte [rip+d32], imm8", k64, {0x80, 0x3D, 1, 2, 3, 4, 0x00}, 7, L, M0, 0, 1, 0, 4, 1},
    {"mov dword [rax+d8], imm32", k64, {0xC7, 0x40, 0x08, 1, 2, 3, 4}, 7, L, M0, 0, 1, 0, 1, 4},
    {"movsxd rax, edi", k64, {0x48, 0x63, 0xC7}, 3, L, M0, 1, 2, 0, 0, 0},
    {"nopw cs:[rax+rax+0]", k64, {0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00, 0, 0, 0, 0}, 10, L, M1, 3, 4, 5, 4, 0},
    {"nopl [rax+rax+0]", k64, {0x0F, 0x1F, 0x44, 0x00, 0x00}, 5, L, M1, 1, 2, 3, 1, 0},
    {"lock cmpxchg [rdi], ecx", k64, {0xF0, 0x0F, 0xB1, 0x0F}, 4, L, M1, 2, 3, 0, 0, 0},
    {"lock add qword [rdi], 1", k64, {0xF0, 0x48, 0x83, 0x07, 0x01}, 5, L, M0, 2, 3, 0, 0, 1},
    {"lock xadd [rdx], eax", k32, {0xF0, 0x0F, 0xC1, 0x02}, 4, L, M1, 2, 3, 0, 0, 0},
    {"rep movsb", k64, {0xF3, 0xA4}, 2, L, M0, 1, 0, 0, 0, 0},
    {"endbr64", k64, {0xF3, 0x0F, 0x1E, 0xFA}, 4, L, M1, 2, 3, 0, 0, 0},
    {"fld qword [rsp+8]", k64, {0xDD, 0x44, 0x24, 0x08}, 4, L, M0, 0, 1, 2, 1, 0},
    {"syscall", k64, {0x0F, 0x05}, 2, L, M1, 1, 0, 0, 0, 0},
    {"xgetbv", k64, {0x0F, 0x01, 0xD0}, 3, L, M1, 1, 2, 0, 0, 0},
    {"mov cr0, [ignored mod]: register form", k64, {0x0F, 0x22, 0x05}, 3, L, M1, 1, 2, 0, 0, 0},
    {"pshufd xmm0, xmm1, imm8", k64, {0x66, 0x0F, 0x70, 0xC1, 0x1B}, 5, L, M1, 2, 3, 0, 0, 1},
    {"psrldq xmm0, 8", k64, {0x66, 0x0F, 0x73, 0xD8, 0x08}, 5, L, M1, 2, 3, 0, 0, 1},
    {"bt eax, 3", k64, {0x0F, 0xBA, 0xE0, 0x03}, 4, L, M1, 1, 2, 0, 0, 1},
    {"shld eax, ebx, 4", k64, {0x0F, 0xA4, 0xD8, 0x04}, 4, L, M1, 1, 2, 0, 0, 1},
    {"66: pinsrw has imm8, not imm16", k64, {0x66, 0x0F, 0xC4, 0xC0, 0x01}, 5, L, M1, 2, 3, 0, 0, 1},
    {"popcnt", k64, {0xF3, 0x0F, 0xB8, 0xC1}, 4, L, M1, 2, 3, 0, 0, 0},
    {"cmpxchg16b [rdi]", k64, {0x48, 0x0F, 0xC7, 0x0F}, 4, L, M1, 2, 3, 0, 0, 0},
    {"rdrand eax", k64, {0x0F, 0xC7, 0xF0}, 3, L, M1, 1, 2, 0, 0, 0},
    {"pshufb xmm0, xmm1", k64, {0x66, 0x0F, 0x38, 0x00, 0xC1}, 5, L, M2, 3, 4, 0, 0, 0},
    {"crc32 eax, byte [rdi]", k64, {0xF2, 0x0F, 0x38, 0xF0, 0x07}, 5, L, M2, 3, 4, 0, 0, 0},
    {"crc32 eax, word [rdi]: 66 is operand size beside F2", k64, {0x66, 0xF2, 0x0F, 0x38, 0xF1, 0x07}, 6, L, M2, 4, 5, 0, 0, 0},
    {"crc32 eax, ecx: register form", k64, {0xF2, 0x0F, 0x38, 0xF1, 0xC1}, 5, L, M2, 3, 4, 0, 0, 0},
    {"adcx eax, ecx: register form", k64, {0x66, 0x0F, 0x38, 0xF6, 0xC1}, 5, L, M2, 3, 4, 0, 0, 0},
    {"movhlps: register form without 66", k64, {0x0F, 0x12, 0xC1}, 3, L, M1, 1, 2, 0, 0, 0},
    {"movq xmm/m64 (66 0F D6) with a register", k64, {0x66, 0x0F, 0xD6, 0xC1}, 4, L, M1, 2, 3, 0, 0, 0},
    {"wbnoinvd", k64, {0xF3, 0x0F, 0x09}, 3, L, M1, 2, 0, 0, 0, 0},
    {"popcnt ax: 66 beside F3", k64, {0x66, 0xF3, 0x0F, 0xB8, 0xC1}, 5, L, M1, 3, 4, 0, 0, 0},
    {"movdqu xmm0, [rdi]", k64, {0xF3, 0x0F, 0x6F, 0x07}, 4, L, M1, 2, 3, 0, 0, 0},
    {"movq mm0, [rdi] (MMX, no prefix)", k32, {0x0F, 0x6F, 0x07}, 3, L, M1, 1, 2, 0, 0, 0},
    {"imul with an ignored F3", k64, {0xF3, 0x0F, 0xAF, 0xC1}, 4, L, M1, 2, 3, 0, 0, 0},
    {"movbe eax, [rdi+4]", k64, {0x0F, 0x38, 0xF1, 0x47, 0x04}, 5, L, M2, 2, 3, 0, 1, 0},
    {"palignr xmm0, xmm1, 8", k64, {0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08}, 6, L, M3, 3, 4, 0, 0, 1},
    {"pcmpistri xmm0, [rdi], 0x1a", k64, {0x66, 0x0F, 0x3A, 0x63, 0x07, 0x1A}, 6, L, M3, 3, 4, 0, 0, 1},
    {"pextrd [rip+d32], xmm0, 1", k64, {0x66, 0x0F, 0x3A, 0x16, 0x05, 1, 2, 3, 4, 1}, 10, L, M3, 3, 4, 0, 4, 1},
    {"vmovdqu ymm0, [rsi]", k64, {0xC5, 0xFE, 0x6F, 0x06}, 4, V2, M1, 2, 3, 0, 0, 0},
    {"vpcmpeqb ymm1, ymm0, [rdi+0x20]", k64, {0xC5, 0xFD, 0x74, 0x4F, 0x20}, 5, V2, M1, 2, 3, 0, 1, 0},
    {"vzeroupper: no ModRM", k64, {0xC5, 0xF8, 0x77}, 3, V2, M1, 2, 0, 0, 0, 0},
    {"vpshufd ymm1, ymm0, imm8", k64, {0xC5, 0xFD, 0x70, 0xC8, 0x1B}, 5, V2, M1, 2, 3, 0, 0, 1},
    {"kmovd k1, eax", k64, {0xC5, 0xFB, 0x92, 0xC8}, 4, V2, M1, 2, 3, 0, 0, 0},
    {"vpbroadcastb ymm0, xmm0", k64, {0xC4, 0xE2, 0x7D, 0x78, 0xC0}, 5, V3, M2, 3, 4, 0, 0, 0},
    {"andn eax, eax, ecx", k64, {0xC4, 0xE2, 0x78, 0xF2, 0xC1}, 5, V3, M2, 3, 4, 0, 0, 0},
    {"vpalignr ymm0, ymm0, ymm1, 8", k64, {0xC4, 0xE3, 0x7D, 0x0F, 0xC1, 0x08}, 6, V3, M3, 3, 4, 0, 0, 1},
    {"rorx eax, eax, 5", k64, {0xC4, 0xE3, 0x7B, 0xF0, 0xC0, 0x05}, 6, V3, M3, 3, 4, 0, 0, 1},
    {"vmovdqa ymm0, [rip+d32]", k64, {0xC5, 0xFD, 0x6F, 0x05, 1, 2, 3, 4}, 8, V2, M1, 2, 3, 0, 4, 0},
    {"vmovdqu64 zmm16, [rsi]", k64, {0x62, 0xE1, 0xFE, 0x48, 0x6F, 0x06}, 6, EV, M1, 4, 5, 0, 0, 0},
    {"vpternlogd zmm0, zmm1, zmm2, 0xff", k64, {0x62, 0xF3, 0x75, 0x48, 0x25, 0xC2, 0xFF}, 7, EV, M3, 4, 5, 0, 0, 1},
    {"vpminub ymm16, ymm17, [rdi+disp8*N]", k64, {0x62, 0xA1, 0x75, 0x20, 0xDA, 0x47, 0x01}, 7, EV, M1, 4, 5, 0, 1, 0},
    {"vmovups zmm0, [rax+0x100]", k64, {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x80, 0, 1, 0, 0}, 10, EV, M1, 4, 5, 0, 4, 0},
    {"vpcmpb k1, zmm16, [rdi], 0 (EVEX 0F3A)", k64, {0x62, 0xB3, 0x7D, 0x40, 0x3F, 0x0F, 0x00}, 7, EV, M3, 4, 5, 0, 0, 1},
    {"inc eax (32-bit: not REX)", k32, {0x40}, 1, L, M0, 0, 0, 0, 0, 0},
    {"dec eax, then mov: 48 is an instruction in 32-bit", k32, {0x48, 0xB8, 1, 2, 3, 4}, 1, L, M0, 0, 0, 0, 0, 0},
    {"les eax, [esi] (32-bit C4, memory ModRM)", k32, {0xC4, 0x06}, 2, L, M0, 0, 1, 0, 0, 0},
    {"lds eax, [esi] (32-bit C5, memory ModRM)", k32, {0xC5, 0x06}, 2, L, M0, 0, 1, 0, 0, 0},
    {"bound eax, [esi] (32-bit 62)", k32, {0x62, 0x06}, 2, L, M0, 0, 1, 0, 0, 0},
    {"vzeroupper (32-bit C5, register-like byte)", k32, {0xC5, 0xF8, 0x77}, 3, V2, M1, 2, 0, 0, 0, 0},
    {"vmovdqu ymm0, [esi] (32-bit VEX3)", k32, {0xC4, 0xE1, 0x7E, 0x6F, 0x06}, 5, V3, M1, 3, 4, 0, 0, 0},
    {"vmovups zmm0, [eax] (32-bit EVEX)", k32, {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x00}, 6, EV, M1, 4, 5, 0, 0, 0},
    {"mov eax, [bp+8] (16-bit addressing)", k32, {0x67, 0x8B, 0x46, 0x08}, 4, L, M0, 1, 2, 0, 1, 0},
    {"mov eax, [disp16] (16-bit addressing)", k32, {0x67, 0x8B, 0x06, 0x34, 0x12}, 5, L, M0, 1, 2, 0, 2, 0},
    {"mov eax, [bx+disp16] (16-bit addressing)", k32, {0x67, 0x8B, 0x87, 0x34, 0x12}, 5, L, M0, 1, 2, 0, 2, 0},
    {"mov eax, [si]: r/m 100 is no SIB in 16-bit", k32, {0x67, 0x8B, 0x04}, 3, L, M0, 1, 2, 0, 0, 0},
    {"mov eax, [disp32] (32-bit: absolute)", k32, {0x8B, 0x05, 1, 2, 3, 4}, 6, L, M0, 0, 1, 0, 4, 0},
    {"67: 32-bit addressing in 64-bit mode keeps SIB", k64, {0x67, 0x8B, 0x04, 0x24}, 4, L, M0, 1, 2, 3, 0, 0},
    {"jmp ptr16:32", k32, {0xEA, 1, 2, 3, 4, 0x23, 0}, 7, L, M0, 0, 0, 0, 0, 6},
    {"66: jmp ptr16:16", k32, {0x66, 0xEA, 1, 2, 0x23, 0}, 6, L, M0, 1, 0, 0, 0, 4},
    {"call ptr16:32", k32, {0x9A, 1, 2, 3, 4, 0x23, 0}, 7, L, M0, 0, 0, 0, 0, 6},
    {"aam", k32, {0xD4, 0x0A}, 2, L, M0, 0, 0, 0, 0, 1},
    {"pusha", k32, {0x60}, 1, L, M0, 0, 0, 0, 0, 0},
    {"xabort imm8", k64, {0xC6, 0xF8, 0x05}, 3, L, M0, 0, 1, 0, 0, 1},
    {"int 0x80", k32, {0xCD, 0x80}, 2, L, M0, 0, 0, 0, 0, 1},
    {"14 prefixes and nop: 15 bytes",
     k64, {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x90},
     15, L, M0, 14, 0, 0, 0, 0},
};

TEST(X86Decoder, LengthsAndLayouts) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(std::string(c.what) + ": " + hex(c.bytes));
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, c.bytes, insn), 0);
        EXPECT_EQ(insn.length, c.length);
        EXPECT_EQ(insn.encoding, c.encoding);
        EXPECT_EQ(insn.map, c.map);
        EXPECT_EQ(insn.opcode_offset, c.opcode_offset);
        EXPECT_EQ(insn.opcode, c.bytes[static_cast<std::size_t>(c.opcode_offset)]);
        EXPECT_EQ(insn.modrm_offset, c.modrm_offset);
        if (c.modrm_offset != 0) {
            EXPECT_EQ(insn.modrm, c.bytes[static_cast<std::size_t>(c.modrm_offset)]);
        }
        EXPECT_EQ(insn.sib_offset, c.sib_offset);
        EXPECT_EQ(insn.disp_size, c.disp_size);
        if (c.disp_size != 0) {   // the displacement follows ModRM (and SIB)
            EXPECT_EQ(insn.disp_offset, (c.sib_offset ? c.sib_offset : c.modrm_offset) + 1);
        }
        EXPECT_EQ(insn.imm_size, c.imm_size);
        if (c.imm_size != 0) {   // the immediate ends the instruction
            EXPECT_EQ(insn.imm_offset, c.length - c.imm_size);
        }
        EXPECT_EQ(insn.branch, X86Branch::none);
    }
}

TEST(X86Decoder, EveryTruncationIsRefusedWithoutReadingPastTheSize) {
    for (const LayoutCase& c : kLayouts)
        expect_truncations_refused(c.mode, Bytes(c.bytes.begin(), c.bytes.begin() + c.length), static_cast<std::size_t>(c.length));
}

TEST(X86Decoder, LongerInputDoesNotChangeTheLength) {
    for (const LayoutCase& c : kLayouts) {
        Bytes padded = c.bytes;
        padded.resize(32, 0x90);
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, padded, insn), 0) << c.what;
        EXPECT_EQ(insn.length, c.length) << c.what;
    }
}

struct PrefixCase {
    const char* what;
    X86Mode mode;
    Bytes bytes;
    int prefix_count;
    std::uint8_t prefixes;
    std::uint8_t segment;
    std::uint8_t rex;
};

TEST(X86Decoder, PrefixesAndRex) {
    const PrefixCase cases[] = {
        {"fs 66 lock REX.B cmpxchg [r15], cx", k64, {0x64, 0x66, 0xF0, 0x41, 0x0F, 0xB1, 0x0F}, 3,
         kX86PrefixOpSize | kX86PrefixLock, 0x64, 0x41},
        {"xrelease lock and REX.W", k64, {0xF3, 0xF0, 0x48, 0x0F, 0xB1, 0x0F}, 2, kX86PrefixRep | kX86PrefixLock, 0, 0x48},
        {"67 F2 (bnd) and ds", k64, {0x67, 0xF2, 0x3E, 0xFF, 0x20}, 3, kX86PrefixAddrSize | kX86PrefixRepne, 0x3E, 0},
        {"no REX in 32-bit mode", k32, {0x2E, 0x40}, 1, 0, 0x2E, 0},
    };
    for (const PrefixCase& c : cases) {
        SCOPED_TRACE(c.what);
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, c.bytes, insn), 0);
        EXPECT_EQ(insn.length, c.bytes.size());
        EXPECT_EQ(insn.prefix_count, c.prefix_count);
        EXPECT_EQ(insn.prefixes, c.prefixes);
        EXPECT_EQ(insn.segment, c.segment);
        EXPECT_EQ(insn.rex, c.rex);
    }
}

struct BranchCase {
    const char* what;
    X86Mode mode;
    std::uint64_t address;
    Bytes bytes;
    X86Branch kind;
    int rel_offset;
    int rel_size;
    std::uint64_t target;
    std::uint16_t flags;
};

TEST(X86Decoder, RelativeBranches) {
    const BranchCase cases[] = {
        {"je rel8", k64, 0x1000, {0x74, 0x10}, X86Branch::jcc_rel8, 1, 1, 0x1012, 0},
        {"jne to itself", k64, 0x1000, {0x75, 0xFE}, X86Branch::jcc_rel8, 1, 1, 0x1000, 0},
        {"ds-hinted jcc rel8", k32, 0x1000, {0x3E, 0x74, 0x10}, X86Branch::jcc_rel8, 2, 1, 0x1013, 0},
        {"jne rel32", k64, 0x1000, {0x0F, 0x85, 0x00, 0x01, 0, 0}, X86Branch::jcc_rel32, 2, 4, 0x1106, 0},
        {"je rel32 backwards", k64, 0x1000, {0x0F, 0x84, 0xF0, 0xFF, 0xFF, 0xFF}, X86Branch::jcc_rel32, 2, 4, 0xFF6, 0},
        {"jmp rel8", k64, 0x1000, {0xEB, 0x05}, X86Branch::jmp_rel8, 1, 1, 0x1007, kX86EndsFlow},
        {"jmp rel32", k64, 0x1000, {0xE9, 0x00, 0x01, 0, 0}, X86Branch::jmp_rel32, 1, 4, 0x1105, kX86EndsFlow},
        {"bnd jmp rel32", k64, 0x1000, {0xF2, 0xE9, 0x00, 0x01, 0, 0}, X86Branch::jmp_rel32, 2, 4, 0x1106, kX86EndsFlow},
        {"REX.W jmp rel32", k64, 0x1000, {0x48, 0xE9, 0x00, 0x01, 0, 0}, X86Branch::jmp_rel32, 2, 4, 0x1106, kX86EndsFlow},
        {"call rel32 to itself", k64, 0x1000, {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, X86Branch::call_rel32, 1, 4, 0x1000, kX86Call},
        {"call far below", k64, 0x7FFF00001000, {0xE8, 0x00, 0x00, 0x00, 0x80}, X86Branch::call_rel32, 1, 4,
         0x7FFF00001005 - 0x80000000ull, kX86Call},
        {"call $+5 (32-bit)", k32, 0x8048000, {0xE8, 0, 0, 0, 0}, X86Branch::call_rel32, 1, 4, 0x8048005,
         kX86Call | kX86CallNext},
        {"call to a thunk (32-bit)", k32, 0x8048000, {0xE8, 0x10, 0, 0, 0}, X86Branch::call_rel32, 1, 4, 0x8048015, kX86Call},
        {"jmp wraps at 4 GiB (32-bit)", k32, 0xFFFFFFF0, {0xE9, 0x20, 0, 0, 0}, X86Branch::jmp_rel32, 1, 4, 0x15, kX86EndsFlow},
        {"jcc wraps below 0 (32-bit)", k32, 0x10, {0x0F, 0x8C, 0xE0, 0xFF, 0xFF, 0xFF}, X86Branch::jcc_rel32, 2, 4,
         0xFFFFFFF6, 0},
        {"jrcxz", k64, 0x1000, {0xE3, 0x02}, X86Branch::jcxz, 1, 1, 0x1004, 0},
        {"jecxz (67 in 64-bit mode)", k64, 0x1000, {0x67, 0xE3, 0x02}, X86Branch::jcxz, 2, 1, 0x1005, 0},
        {"jecxz (32-bit)", k32, 0x1000, {0xE3, 0x80}, X86Branch::jcxz, 1, 1, 0xF82, 0},
        {"loop", k64, 0x1000, {0xE2, 0xFE}, X86Branch::loop, 1, 1, 0x1000, 0},
        {"loope", k32, 0x1000, {0xE1, 0x10}, X86Branch::loope, 1, 1, 0x1012, 0},
        {"loopne", k64, 0x1000, {0xE0, 0x7F}, X86Branch::loopne, 1, 1, 0x1081, 0},
        {"xbegin rel32", k64, 0x1000, {0xC7, 0xF8, 0x10, 0, 0, 0}, X86Branch::xbegin, 2, 4, 0x1016, 0},
    };
    for (const BranchCase& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + hex(c.bytes));
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, c.bytes, insn, c.address), 0);
        EXPECT_EQ(insn.length, c.bytes.size());
        EXPECT_EQ(insn.branch, c.kind);
        EXPECT_EQ(insn.rel_offset, c.rel_offset);
        EXPECT_EQ(insn.rel_size, c.rel_size);
        EXPECT_EQ(insn.imm_size, 0);
        EXPECT_EQ(insn.target, c.target);
        EXPECT_EQ(insn.flags, c.flags);
        expect_truncations_refused(c.mode, c.bytes, c.bytes.size());
    }
}

struct RipCase {
    const char* what;
    std::uint64_t address;
    Bytes bytes;
    int disp_offset;
    std::uint64_t target;
};

TEST(X86Decoder, RipRelativeOperands) {
    const RipCase cases[] = {
        {"lea rax, [rip+0x10]", 0x1000, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, 3, 0x1017},
        {"mov eax, [rip-0x10]", 0x1000, {0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0xFF}, 2, 0xFF6},
        {"mov dword [rip+0x10], imm32: relative to the end", 0x1000, {0xC7, 0x05, 0x10, 0, 0, 0, 1, 2, 3, 4}, 2, 0x101A},
        {"cmp byte [rip+0x10], 0", 0x1000, {0x80, 0x3D, 0x10, 0, 0, 0, 0x00}, 2, 0x1017},
        {"pextrd [rip+0x10], xmm0, 1", 0x1000, {0x66, 0x0F, 0x3A, 0x16, 0x05, 0x10, 0, 0, 0, 1}, 5, 0x101A},
        {"vmovdqa ymm0, [rip+0x10]", 0x1000, {0xC5, 0xFD, 0x6F, 0x05, 0x10, 0, 0, 0}, 4, 0x1018},
        {"vmovups zmm0, [rip+0x10]", 0x1000, {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x05, 0x10, 0, 0, 0}, 6, 0x101A},
        {"jmp [rip+0]", 0x7FFFF7A00000, {0xFF, 0x25, 0, 0, 0, 0}, 2, 0x7FFFF7A00006},
        {"67: eip-relative wraps to 32 bits", 0x100001000, {0x67, 0x8B, 0x05, 0x10, 0, 0, 0}, 3, 0x1017},
    };
    for (const RipCase& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + hex(c.bytes));
        X86Insn insn{};
        ASSERT_EQ(decode(k64, c.bytes, insn, c.address), 0);
        EXPECT_EQ(insn.length, c.bytes.size());
        EXPECT_TRUE(insn.flags & kX86RipRelative);
        EXPECT_EQ(insn.disp_offset, c.disp_offset);
        EXPECT_EQ(insn.disp_size, 4);
        EXPECT_EQ(insn.target, c.target);
    }
    const struct {
        const char* what;
        X86Mode mode;
        Bytes bytes;
    } absolute[] = {
        {"mov eax, [disp32] in 32-bit mode", k32, {0x8B, 0x05, 0x10, 0, 0, 0}},
        {"SIB without base: absolute", k64, {0x8B, 0x04, 0x25, 0x10, 0, 0, 0}},
        {"mov cr0 ignores mod", k64, {0x0F, 0x22, 0x05}},
    };
    for (const auto& c : absolute) {
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, c.bytes, insn), 0) << c.what;
        EXPECT_FALSE(insn.flags & kX86RipRelative) << c.what;
        EXPECT_EQ(insn.target, 0u) << c.what;
    }
}

TEST(X86Decoder, ControlFlowFlags) {
    const struct {
        const char* what;
        X86Mode mode;
        Bytes bytes;
        std::uint16_t flags;
    } cases[] = {
        {"ret", k64, {0xC3}, kX86EndsFlow},
        {"rep ret", k64, {0xF3, 0xC3}, kX86EndsFlow},
        {"ret imm16", k32, {0xC2, 0x04, 0x00}, kX86EndsFlow},
        {"retf", k64, {0xCB}, kX86EndsFlow},
        {"iret", k64, {0x48, 0xCF}, kX86EndsFlow},
        {"int3", k64, {0xCC}, kX86EndsFlow},
        {"hlt", k32, {0xF4}, kX86EndsFlow},
        {"ud2", k64, {0x0F, 0x0B}, kX86EndsFlow},
        {"jmp rax", k64, {0xFF, 0xE0}, kX86EndsFlow},
        {"notrack jmp [rax*8+d32]", k64, {0x3E, 0xFF, 0x24, 0xC5, 0, 0, 0, 0}, kX86EndsFlow},
        {"jmp far [eax]", k32, {0xFF, 0x28}, kX86EndsFlow},
        {"jmp ptr16:32", k32, {0xEA, 1, 2, 3, 4, 0x23, 0}, kX86EndsFlow},
        {"call rax", k64, {0xFF, 0xD0}, kX86Call},
        {"call [rip+0]", k64, {0xFF, 0x15, 0, 0, 0, 0}, kX86Call | kX86RipRelative},
        {"call far [eax]", k32, {0xFF, 0x18}, kX86Call},
        {"call ptr16:32", k32, {0x9A, 1, 2, 3, 4, 0x23, 0}, kX86Call},
        {"push [rax]: FF /6", k64, {0xFF, 0x30}, 0},
        {"syscall", k64, {0x0F, 0x05}, 0},
        {"int 0x80", k32, {0xCD, 0x80}, 0},
        {"xend", k64, {0x0F, 0x01, 0xD5}, 0},
    };
    for (const auto& c : cases) {
        X86Insn insn{};
        ASSERT_EQ(decode(c.mode, c.bytes, insn), 0) << c.what;
        EXPECT_EQ(insn.length, c.bytes.size()) << c.what;
        EXPECT_EQ(insn.flags, c.flags) << c.what;
    }
}

TEST(X86Decoder, UnknownAndInvalidEncodingsAreRefused) {
    const struct {
        const char* what;
        X86Mode mode;
        Bytes bytes;
    } cases[] = {
        {"empty input", k64, {}},
        {"push es in 64-bit mode", k64, {0x06}},
        {"pusha in 64-bit mode", k64, {0x60}},
        {"aam in 64-bit mode", k64, {0xD4, 0x0A}},
        {"into in 64-bit mode", k64, {0xCE}},
        {"jmp ptr16:32 in 64-bit mode", k64, {0xEA, 1, 2, 3, 4, 0x23, 0}},
        {"82 group in 64-bit mode", k64, {0x82, 0xC0, 0x01}},
        {"salc", k32, {0xD6}},
        {"3DNow!", k32, {0x0F, 0x0F, 0xC1, 0xB4}},
        {"ud0: vendor-dependent length", k64, {0x0F, 0xFF, 0xC0}},
        {"ud1: vendor-dependent length", k64, {0x0F, 0xB9, 0xC0}},
        {"REX before a legacy prefix", k64, {0x48, 0x66, 0x05, 0x34, 0x12}},
        {"REX before REX", k64, {0x41, 0x48, 0x89, 0xE5}},
        {"unpcklps with F3", k64, {0xF3, 0x0F, 0x14, 0xC1}},
        {"movaps with F2", k64, {0xF2, 0x0F, 0x28, 0xC1}},
        {"haddps without its F2", k32, {0x0F, 0x7C, 0xC1}},
        {"lddqu with 66", k64, {0x66, 0x0F, 0xF0, 0x07}},
        {"sha1nexte with 66", k64, {0x66, 0x0F, 0x38, 0xC8, 0xC1}},
        {"pblendvb without 66", k64, {0x0F, 0x38, 0x10, 0xC1}},
        {"insertps without 66", k64, {0x0F, 0x3A, 0x21, 0xC1, 0x00}},
        {"vpsubd without its 66 (VEX pp)", k64, {0xC5, 0xF8, 0xFA, 0xC1}},
        {"wbinvd with 66", k64, {0x66, 0x0F, 0x09}},
        {"prefetchw with a register", k64, {0x0F, 0x0D, 0xC8}},
        {"movnti with a register", k64, {0x0F, 0xC3, 0xC1}},
        {"lss with a register", k32, {0x0F, 0xB2, 0xC1}},
        {"movlpd with a register", k64, {0x66, 0x0F, 0x12, 0xC1}},
        {"pmovmskb with memory", k64, {0x66, 0x0F, 0xD7, 0x07}},
        {"movq2dq with memory", k64, {0xF3, 0x0F, 0xD6, 0x07}},
        {"movbe with a register", k64, {0x0F, 0x38, 0xF0, 0xC1}},
        {"invpcid with a register", k64, {0x66, 0x0F, 0x38, 0x82, 0xC1}},
        {"wrss with a register", k64, {0x0F, 0x38, 0xF6, 0xC1}},
        {"vpshufb with F3 (VEX pp)", k64, {0xC4, 0xE2, 0x7A, 0x00, 0xC1}},
        {"vpalignr with F2 (VEX pp)", k64, {0xC4, 0xE3, 0x7F, 0x0F, 0xC1, 0x08}},
        {"0F 04", k64, {0x0F, 0x04}},
        {"0F 36", k32, {0x0F, 0x36}},
        {"0F A6", k64, {0x0F, 0xA6, 0xC0}},
        {"undefined 0F 38 opcode", k64, {0x66, 0x0F, 0x38, 0x50, 0xC0}},
        {"undefined 0F 3A opcode", k64, {0x66, 0x0F, 0x3A, 0x00, 0xC0, 0x01}},
        {"jmpe (0F B8 without F3)", k64, {0x0F, 0xB8, 0xC1}},
        {"66 0F 78: AMD-only two-immediate form", k64, {0x66, 0x0F, 0x78, 0xC0, 0x01, 0x02}},
        {"FF /7", k64, {0xFF, 0xF8}},
        {"FE /2", k64, {0xFE, 0xD0}},
        {"call far with a register", k64, {0xFF, 0xD8}},
        {"jmp far with a register", k32, {0xFF, 0xE8}},
        {"lea with a register", k64, {0x8D, 0xC0}},
        {"8F with reg != 0 (XOP escape)", k64, {0x8F, 0xE8, 0x78, 0xC2, 0xC0, 0x01}},
        {"C6 /1", k64, {0xC6, 0xC8, 0x00}},
        {"C7 /1 other than xbegin", k64, {0xC7, 0xC8, 1, 2, 3, 4}},
        {"0F BA /0", k64, {0x0F, 0xBA, 0xC0, 0x01}},
        {"0F C7 /0", k64, {0x0F, 0xC7, 0xC0}},
        {"cmpxchg8b with a register", k32, {0x0F, 0xC7, 0xC8}},
        {"psrlw with memory", k64, {0x0F, 0x71, 0x10, 0x01}},
        {"0F 73 /4", k64, {0x66, 0x0F, 0x73, 0xE0, 0x01}},
        {"0F 00 /6", k64, {0x0F, 0x00, 0xF0}},
        {"undefined 0F 01 register form", k64, {0x0F, 0x01, 0xD2}},
        {"lock nop", k64, {0xF0, 0x90}},
        {"lock add with a register destination", k64, {0xF0, 0x01, 0xC0}},
        {"lock mov", k64, {0xF0, 0x8B, 0x07}},
        {"lock cmp", k64, {0xF0, 0x39, 0x07}},
        {"lock cmpxchg with a register", k64, {0xF0, 0x0F, 0xB1, 0xC8}},
        {"66 before VEX", k64, {0x66, 0xC5, 0xF8, 0x77}},
        {"REX before VEX", k64, {0x48, 0xC5, 0xFE, 0x6F, 0x06}},
        {"F3 before VEX3", k64, {0xF3, 0xC4, 0xE2, 0x7D, 0x78, 0xC0}},
        {"lock before EVEX", k64, {0xF0, 0x62, 0xF1, 0x7C, 0x48, 0x10, 0xC0}},
        {"VEX3 map 0", k64, {0xC4, 0xE0, 0x7D, 0x78, 0xC0}},
        {"VEX3 map 4", k64, {0xC4, 0xE4, 0x7D, 0x78, 0xC0}},
        {"undefined VEX map-1 opcode", k64, {0xC5, 0xF8, 0x0B, 0xC0}},
        {"EVEX reserved bit set", k64, {0x62, 0xF9, 0x7C, 0x48, 0x10, 0xC0}},
        {"EVEX fixed bit clear", k64, {0x62, 0xF1, 0x78, 0x48, 0x10, 0xC0}},
        {"EVEX map 5 (FP16)", k64, {0x62, 0xF5, 0x7C, 0x48, 0x58, 0xC0}},
        {"EVEX 77", k64, {0x62, 0xF1, 0x7C, 0x48, 0x77, 0xC0}},
        {"VEX with 16-bit addressing", k32, {0x67, 0xC5, 0xF9, 0x6F, 0x06}},
        {"66 jmp rel16 (32-bit)", k32, {0x66, 0xE9, 0x00, 0x01}},
        {"66 call (64-bit)", k64, {0x66, 0xE8, 0, 0, 0, 0}},
        {"66 jcc rel8", k64, {0x66, 0x74, 0x10}},
        {"66 jcc rel32", k32, {0x66, 0x0F, 0x84, 0, 0}},
        {"66 xbegin", k64, {0x66, 0xC7, 0xF8, 0x10, 0x00}},
        {"66 loop", k32, {0x66, 0xE2, 0xFE}},
        {"15 prefixes and nop: 16 bytes",
         k64, {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x90}},
        {"mov rax, imm64 past 15 bytes",
         k64, {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"only prefixes", k64, {0x66, 0xF3, 0x2E, 0x48}},
    };
    for (const auto& c : cases) {
        X86Insn insn{};
        insn.length = 0xEE;
        EXPECT_EQ(decode(c.mode, c.bytes, insn), kX86Unknown) << c.what << ": " << hex(c.bytes);
        EXPECT_EQ(insn.length, 0xEE) << c.what;
    }
}

TEST(X86Decoder, BadArgumentsAreRejected) {
    const std::uint8_t nop = 0x90;
    X86Insn insn{};
    EXPECT_EQ(x86_decode(nullptr, 1, 0, k64, &insn), -EINVAL);
    EXPECT_EQ(x86_decode(&nop, 1, 0, k64, nullptr), -EINVAL);
    EXPECT_EQ(x86_decode(&nop, 1, 0, static_cast<X86Mode>(16), &insn), -EINVAL);
}

TEST(X86Decoder, GetPcThunks) {
    const struct {
        Bytes bytes;
        bool match;
        std::uint8_t reg;
    } cases[] = {
        {{0x8B, 0x04, 0x24, 0xC3}, true, 0},    // eax
        {{0x8B, 0x1C, 0x24, 0xC3}, true, 3},    // ebx
        {{0x8B, 0x2C, 0x24, 0xC3}, true, 5},    // ebp
        {{0x8B, 0x3C, 0x24, 0xC3}, true, 7},    // edi
        {{0x8B, 0x24, 0x24, 0xC3}, false, 0},   // esp is no thunk
        {{0x8B, 0x1C, 0x24, 0xC2}, false, 0},   // ret imm16
        {{0x8B, 0x5C, 0x24, 0x00}, false, 0},   // [esp+0] with disp8
        {{0x8B, 0x1C, 0x24}, false, 0},         // cut short
        {{0x89, 0x1C, 0x24, 0xC3}, false, 0},   // store, not load
    };
    for (const auto& c : cases) {
        std::uint8_t reg = 0xEE;
        EXPECT_EQ(x86_is_get_pc_thunk(c.bytes.data(), c.bytes.size(), &reg), c.match) << hex(c.bytes);
        EXPECT_EQ(reg, c.match ? c.reg : 0xEE) << hex(c.bytes);
    }
}

}  // namespace
}  // namespace kv::md
