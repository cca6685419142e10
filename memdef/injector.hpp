// Function hooking: the hook table, the island area near the targets, the
// hook and trampoline islands, and the switch-in of each entry patch by one
// 8-byte compare-and-exchange through the kernel driver's page protections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kv::md {

struct inject_s {
    std::uint8_t enabled;      // 1: still to be installed
    char library[32];
    char symbol[35];
    void* replacement;
    void* passthrough;         // the symbol, then the trampoline once installed
    std::uintptr_t index;      // the record's position in its table
};
static_assert(std::is_standard_layout_v<inject_s> && std::is_trivially_copyable_v<inject_s>);
static_assert(offsetof(inject_s, library) == 1 && offsetof(inject_s, symbol) == 33);
static_assert(offsetof(inject_s, replacement) == (sizeof(void*) == 8 ? 72 : 68));
static_assert(offsetof(inject_s, passthrough) == (sizeof(void*) == 8 ? 80 : 72));
static_assert(offsetof(inject_s, index) == (sizeof(void*) == 8 ? 88 : 76));
static_assert(sizeof(inject_s) == (sizeof(void*) == 8 ? 96 : 80));

struct override_record {
    std::uint64_t patch;       // the eight bytes to write at the target
    std::uintptr_t target;     // 0: not to be patched
    std::uint64_t before;      // the eight bytes found when the patch was built
};
static_assert(std::is_standard_layout_v<override_record> && std::is_trivially_copyable_v<override_record>);
static_assert(offsetof(override_record, target) == 8);
static_assert(offsetof(override_record, before) == (sizeof(void*) == 8 ? 16 : 12));

enum InjectIndex : std::size_t { kInjectMmap, kInjectMprotect, kInjectMremap, kInjectRemapFilePages,
                                 kInjectPthreadCreate, kInjectCount };

// The library's hook table, in its fixed order.
extern inject_s injects[kInjectCount];

// The passthrough of a table position, as the replacement calls it.
inline void* inject_passthrough(std::size_t position) noexcept {
    return __atomic_load_n(&injects[position].passthrough, __ATOMIC_ACQUIRE);
}

#if defined(__x86_64__)
inline constexpr std::size_t kIslandSpacing = 48;
inline constexpr std::size_t kIslandCode = 32;          // NOP run / displaced code
inline constexpr std::size_t kIslandBytesPerHook = 96;
#else
inline constexpr std::size_t kIslandSpacing = 32;
inline constexpr std::size_t kIslandCode = 16;
inline constexpr std::size_t kIslandBytesPerHook = 64;
#endif

// The one island area: handed out in order, never returned.
struct IslandArea {
    std::uint8_t* base;       // branchIslands
    std::uint32_t count;      // branchIslandsCnt
    std::uint32_t total;      // branchIslandsTotal
    std::size_t size;         // branchIslandsSize
};
extern IslandArea g_islands;
// Set by the SIGSYS handler installed while the area is searched.
extern volatile std::uint32_t _in_seccomp;

std::uintptr_t injector(inject_s* table, std::size_t count) noexcept;
bool lookup_function(inject_s& record) noexcept;
int func_override_allocate(std::uintptr_t near, std::size_t count) noexcept;
int allocateBranchIslands(std::uintptr_t near, std::size_t size) noexcept;
int allocateBranchIsland(std::uint8_t** out, std::uintptr_t near) noexcept;
int setBranchIslandTarget_i386(std::uint8_t* island, std::uintptr_t destination, const std::uint8_t* code) noexcept;
int func_override_ptr(std::uintptr_t target, void* replacement, void** passthrough_out,
                      override_record& record) noexcept;
int func_override_setup(const override_record* records, std::size_t count) noexcept;
int makeIslandExecutable(std::uintptr_t address, std::size_t length, int protection) noexcept;

// The end of the readable mapping that holds `address` (from
// /proc/self/maps), or 0 when no readable mapping holds it.
std::uintptr_t readable_end(std::uintptr_t address) noexcept;

}  // namespace kv::md
