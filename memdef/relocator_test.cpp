// Relocation of displaced entry instructions: tables of generated code,
// input bytes against the expected trampoline bytes, and each refusal.
#include "relocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using kv::md::Displaced;
using kv::md::kRelocRefused;
using kv::md::X86Mode;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kFrom64 = 0x7f0000001000;
constexpr std::uint64_t kNear64 = kFrom64 + 0x100000;
constexpr std::uint64_t kFrom32 = 0x08049000;
constexpr std::uint64_t kTo32 = 0xF7001000;     // the displacement wraps
constexpr std::uint64_t kCallee32 = 0x0804A000; // E8 FB 0F 00 00 at kFrom32 calls it

struct RelocCase {
    const char* name;
    X86Mode mode;
    Bytes input;
    std::uint64_t from;
    std::uint64_t to;
    Bytes expected;                 // empty: refused
    Bytes callee = {};              // code at kCallee32, readable when given
    std::size_t readable = 64;      // bytes of input the mapping holds
};

struct Callee {
    std::uint64_t address;
    const Bytes* bytes;
};

bool read_callee(std::uint64_t address, std::uint8_t* buf, std::size_t n, void* context) {
    const auto* c = static_cast<const Callee*>(context);
    if (address != c->address || c->bytes->size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        buf[i] = (*c->bytes)[i];
    return true;
}

// Measures and relocates; the trampoline bytes, or empty when refused.
Bytes relocate(const RelocCase& c, std::size_t capacity) {
    Bytes code = c.input;
    code.resize(64, 0xCC);
    Displaced d;
    if (kv::md::measure_displaced(code.data(), c.readable, c.from, c.mode, d) != 0)
        return {};
    std::uint8_t out[32];
    std::size_t length = 0;
    Callee callee{kCallee32, &c.callee};
    if (kv::md::relocate_displaced(d, c.from, c.to, c.mode, read_callee, &callee, out, capacity, length) != 0)
        return {};
    return Bytes(out, out + length);
}

TEST(Relocator, TrampolineBytes) {
    const X86Mode b64 = X86Mode::bits64;
    const X86Mode b32 = X86Mode::bits32;
    const std::vector<RelocCase> cases = {
        {"plain instructions copied", b64, {0x55, 0x48, 0x89, 0xE5, 0x41, 0x57}, kFrom64, kNear64,
         {0x55, 0x48, 0x89, 0xE5, 0x41, 0x57}},
        {"endbr64 then push: 5 bytes", b64, {0xF3, 0x0F, 0x1E, 0xFA, 0x55, 0x48}, kFrom64, kNear64,
         {0xF3, 0x0F, 0x1E, 0xFA, 0x55}},
        {"jmp rel32", b64, {0xE9, 0x00, 0x01, 0x00, 0x00}, kFrom64, kNear64, {0xE9, 0x00, 0x01, 0xF0, 0xFF}},
        {"call rel32", b64, {0xE8, 0x00, 0x01, 0x00, 0x00}, kFrom64, kNear64, {0xE8, 0x00, 0x01, 0xF0, 0xFF}},
        {"lea rip-relative", b64, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, kFrom64, kNear64,
         {0x48, 0x8D, 0x05, 0x10, 0x00, 0xF0, 0xFF}},
        {"mov from rip-relative", b64, {0x48, 0x8B, 0x05, 0x10, 0, 0, 0}, kFrom64, kNear64,
         {0x48, 0x8B, 0x05, 0x10, 0x00, 0xF0, 0xFF}},
        {"cmp imm8 with rip-relative", b64, {0x80, 0x3D, 0x10, 0, 0, 0, 0x00}, kFrom64, kNear64,
         {0x80, 0x3D, 0x10, 0x00, 0xF0, 0xFF, 0x00}},
        {"rip-relative beyond 32 bits", b64, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, kFrom64, kFrom64 + 0x90000000, {}},
        {"jcc rel8 widened to rel32", b64, {0x74, 0x10, 0x48, 0x89, 0xE5}, kFrom64, kNear64,
         {0x0F, 0x84, 0x0C, 0x00, 0xF0, 0xFF, 0x48, 0x89, 0xE5}},
        {"jcc rel32", b64, {0x0F, 0x85, 0x00, 0x01, 0x00, 0x00}, kFrom64, kNear64,
         {0x0F, 0x85, 0x00, 0x01, 0xF0, 0xFF}},
        {"jrcxz within rel8 reach", b64, {0xE3, 0x10, 0x48, 0x89, 0xE5}, kFrom64, kFrom64 + 0x20,
         {0xE3, 0xF0, 0x48, 0x89, 0xE5}},
        {"jrcxz out of reach", b64, {0xE3, 0x10, 0x48, 0x89, 0xE5}, kFrom64, kNear64, {}},
        {"loop out of reach", b64, {0xE2, 0x10, 0x48, 0x89, 0xE5}, kFrom64, kNear64, {}},
        {"xbegin", b64, {0xC7, 0xF8, 0x00, 0x01, 0x00, 0x00}, kFrom64, kNear64, {0xC7, 0xF8, 0x00, 0x01, 0xF0, 0xFF}},
        {"ret before 5 bytes", b64, {0x31, 0xC0, 0xC3, 0x90, 0x90}, kFrom64, kNear64, {}},
        {"jmp rel8 before 5 bytes", b64, {0xEB, 0x10, 0x90, 0x90, 0x90}, kFrom64, kNear64, {}},
        {"int3 before 5 bytes", b64, {0x90, 0xCC, 0x90, 0x90, 0x90}, kFrom64, kNear64, {}},
        {"ud2 before 5 bytes", b64, {0x0F, 0x0B, 0x90, 0x90, 0x90}, kFrom64, kNear64, {}},
        {"branch back into the displaced bytes", b64, {0x75, 0x01, 0x90, 0x48, 0x89, 0xE5}, kFrom64, kNear64, {}},
        {"call $+5 in 64-bit code", b64, {0xE8, 0x00, 0x00, 0x00, 0x00}, kFrom64, kNear64, {}},
        {"undecodable", b64, {0x06, 0x90, 0x90, 0x90, 0x90}, kFrom64, kNear64, {}},
        {"mapping ends inside the instructions", b64, {0x55, 0x48, 0x89, 0xE5}, kFrom64, kNear64, {}, {}, 3},
        {"call to get-PC thunk (ebx)", b32, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32,
         {0xBB, 0x05, 0x90, 0x04, 0x08}, {0x8B, 0x1C, 0x24, 0xC3}},
        {"call to get-PC thunk (ebp)", b32, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32,
         {0xBD, 0x05, 0x90, 0x04, 0x08}, {0x8B, 0x2C, 0x24, 0xC3}},
        {"call to get-PC thunk (edi)", b32, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32,
         {0xBF, 0x05, 0x90, 0x04, 0x08}, {0x8B, 0x3C, 0x24, 0xC3}},
        {"push then thunk call", b32, {0x55, 0xE8, 0xFA, 0x0F, 0x00, 0x00}, kFrom32, kTo32,
         {0x55, 0xB8, 0x06, 0x90, 0x04, 0x08}, {0x8B, 0x04, 0x24, 0xC3}},
        {"call to an ordinary function wraps", b32, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32,
         {0xE8, 0xFB, 0x8F, 0x04, 0x11}, {0x55, 0x89, 0xE5, 0x53}},
        {"call to unreadable code", b32, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32, {}},
        {"jmp rel32 wraps", b32, {0xE9, 0xFB, 0x0F, 0x00, 0x00}, kFrom32, kTo32, {0xE9, 0xFB, 0x8F, 0x04, 0x11}},
        // The pop stays in the target and takes the pushed constant.
        {"call $+5; pop ebx: the call pushes its end", b32, {0xE8, 0x00, 0x00, 0x00, 0x00, 0x5B}, kFrom32, kTo32,
         {0x68, 0x05, 0x90, 0x04, 0x08}},
        {"push then call $+5", b32, {0x55, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x5D}, kFrom32, kTo32,
         {0x55, 0x68, 0x06, 0x90, 0x04, 0x08}},
        {"relocated code longer than the island", b32, {0x74, 0x10, 0x74, 0x10, 0x74, 0x10}, kFrom32, kTo32, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(relocate(c, c.mode == X86Mode::bits64 ? 32 : 16), c.expected) << c.name;
}

TEST(Relocator, MeasuresWholeInstructions) {
    struct Case {
        Bytes input;
        std::vector<std::uint8_t> lengths;
    };
    const std::vector<Case> cases = {
        {{0x55, 0x48, 0x89, 0xE5, 0x41, 0x57}, {1, 3, 2}},
        {{0x48, 0x83, 0xEC, 0x58, 0x4C, 0x89, 0x44, 0x24, 0x40}, {4, 5}},
        {{0xE9, 0x00, 0x00, 0x00, 0x00}, {5}},
    };
    for (const auto& c : cases) {
        Bytes code = c.input;
        code.resize(64, 0xCC);
        Displaced d;
        ASSERT_EQ(kv::md::measure_displaced(code.data(), code.size(), kFrom64, X86Mode::bits64, d), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(d.lengths, d.lengths + d.count), c.lengths);
        std::size_t total = 0;
        for (auto l : c.lengths)
            total += l;
        EXPECT_EQ(d.total, total);
        EXPECT_EQ(Bytes(d.bytes, d.bytes + d.total), Bytes(c.input.begin(), c.input.begin() + total));
    }
}

}  // namespace
