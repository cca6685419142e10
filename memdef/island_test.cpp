// The islands one hook builds: a target of generated code in a mapping of
// its own, the hook island leaving for the replacement and the trampoline
// running the displaced instruction and leaving for the rest of the target.
// Each case runs in a forked child: the island area is process-wide.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "injector.hpp"
#include "testing/test_child.hpp"

namespace {

using kv::md::kIslandCode;

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Where a jump at `at` (E9 rel32, EB rel8, or the 64-bit island's
// FF 25 + absolute destination) lands; 0 for anything else.
std::uintptr_t jump_destination(const std::uint8_t* at) {
    const auto here = reinterpret_cast<std::uintptr_t>(at);
    if (at[0] == 0xE9)
        return here + 5 + static_cast<std::uintptr_t>(static_cast<std::int32_t>(load32(at + 1)));
    if (at[0] == 0xEB)
        return here + 2 + static_cast<std::uintptr_t>(static_cast<std::int8_t>(at[1]));
#if defined(__x86_64__)
    if (at[0] == 0xFF && at[1] == 0x25 && load32(at + 2) == 0) {
        std::uint64_t v;
        std::memcpy(&v, at + 6, 8);
        return static_cast<std::uintptr_t>(v);
    }
#endif
    return 0;
}

// True when the jumps from `at` lead to `destination` (read no further).
bool leads_to(std::uintptr_t at, std::uintptr_t destination) {
    for (int hops = 0; hops < 4 && at != 0; ++hops) {
        at = jump_destination(reinterpret_cast<const std::uint8_t*>(at));
        if (at == destination)
            return true;
    }
    return false;
}

// Builds one hook for a target "mov eax, 10; syscall; ret" and checks where
// both islands lead. `replacement_offset` places the replacement relative
// to the hook island. Returns "" when it holds.
std::string hook_leads(std::intptr_t replacement_offset, std::uint8_t expected_first_byte) {
    auto* page = static_cast<std::uint8_t*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (page == MAP_FAILED)
        return "no page";
    const std::uint8_t code[] = {0xB8, 0x0A, 0x00, 0x00, 0x00, 0x0F, 0x05, 0xC3};
    std::memcpy(page, code, sizeof code);
    const auto target = reinterpret_cast<std::uintptr_t>(page);
    if (kv::md::func_override_allocate(target, 1) != 0)
        return "no island area";
    std::uint8_t* hook = kv::md::g_islands.base;
    const std::uintptr_t replacement = reinterpret_cast<std::uintptr_t>(hook) + static_cast<std::uintptr_t>(replacement_offset);
    void* passthrough = nullptr;
    kv::md::override_record record{};
    if (kv::md::func_override_ptr(target, reinterpret_cast<void*>(replacement), &passthrough, record) != 0)
        return "hook refused";
    std::string err;
    if (jump_destination(reinterpret_cast<const std::uint8_t*>(&record.patch)) - reinterpret_cast<std::uintptr_t>(&record.patch) !=
        reinterpret_cast<std::uintptr_t>(hook) - target)
        err += " patch does not lead to the hook island;";
    if (hook[0] != expected_first_byte)
        err += " hook island starts with " + std::to_string(hook[0]) + ";";
    if (!leads_to(reinterpret_cast<std::uintptr_t>(hook), replacement))
        err += " hook island does not lead to the replacement;";
    auto* trampoline = static_cast<std::uint8_t*>(passthrough);
    if (trampoline != hook + kv::md::kIslandSpacing || std::memcmp(trampoline, code, 5) != 0)
        err += " trampoline does not start with the displaced instruction;";
    else if (!leads_to(reinterpret_cast<std::uintptr_t>(trampoline + 5), target + 5))
        err += " trampoline does not lead back behind the displaced instruction;";
    return err;
}

TEST(Islands, LeaveByTheShortestWay) {
    // A replacement in reach: one direct jump.
    EXPECT_EQ(kv::md::test::in_child([] { return hook_leads(0x10000, 0xE9); }), "");
#if defined(__x86_64__)
    // Beyond a 32-bit displacement: a short jump over the filler to the
    // island's absolute jump.
    EXPECT_EQ(kv::md::test::in_child([] { return hook_leads(std::intptr_t{1} << 40, 0xEB); }), "");
#else
    // A 32-bit displacement wraps: every address is in reach.
    EXPECT_EQ(kv::md::test::in_child([] { return hook_leads(-0x70000000, 0xE9); }), "");
#endif
}

}  // namespace
