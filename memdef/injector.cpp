// Hook installation. Runs once per start-up on the loader's thread while
// other threads may run: islands are complete before they become
// executable, and each entry is switched in by one 8-byte compare-and-
// exchange, so a thread entering a target sees the old bytes or the whole
// jump. Nothing here allocates or prints.
#include "injector.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

#include "kernel_cmd.hpp"
#include "md_export.hpp"
#include "memdef.h"
#include "memory.hpp"
#include "relocator.hpp"
#include "replacements.hpp"

namespace kv::md {

// Statically initialised: the replacement addresses are link-time constants.
inject_s injects[kInjectCount] = {
    {1, "libc.so.6", "mmap", reinterpret_cast<void*>(&memdef_mmap), nullptr, kInjectMmap},
    {1, "libc.so.6", "mprotect", reinterpret_cast<void*>(&memdef_mprotect), nullptr, kInjectMprotect},
    {1, "libc.so.6", "mremap", reinterpret_cast<void*>(&memdef_mremap), nullptr, kInjectMremap},
    {1, "libc.so.6", "remap_file_pages", reinterpret_cast<void*>(&memdef_remap_file_pages), nullptr,
     kInjectRemapFilePages},
    {1, "libpthread.so.0", "pthread_create", reinterpret_cast<void*>(&memdef_pthread_create), nullptr,
     kInjectPthreadCreate},
};

constinit IslandArea g_islands{};
constinit volatile std::uint32_t _in_seccomp = 0;

namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kLine = 64;
constexpr std::uintptr_t kReach = 0x7FFFFF00;
constexpr std::size_t kAreaLimit = 0x3F000;

void on_sigsys(int) { _in_seccomp = 1; }

void store32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// One atomic 8-byte compare-and-exchange at any address inside one cache
// line (lock cmpxchg8b in both builds); true when `expected` was replaced.
bool compare_exchange8(std::uintptr_t address, std::uint64_t expected, std::uint64_t desired) noexcept {
    auto lo = static_cast<std::uint32_t>(expected);
    auto hi = static_cast<std::uint32_t>(expected >> 32);
    bool swapped = false;
    __asm__ __volatile__("lock cmpxchg8b %[mem]"
                         : [mem] "+m"(*reinterpret_cast<std::uint64_t*>(address)), "+a"(lo), "+d"(hi),
                           "=@ccz"(swapped)
                         : "b"(static_cast<std::uint32_t>(desired)), "c"(static_cast<std::uint32_t>(desired >> 32))
                         : "memory");
    return swapped;
}

bool in_reach(std::uintptr_t island, std::uintptr_t near) noexcept {
#if defined(__x86_64__)
    const std::uintptr_t distance = island > near ? island - near : near - island;
    return distance <= kReach;
#else
    // A 32-bit displacement wraps, so it reaches every address.
    (void)island;
    (void)near;
    return true;
#endif
}

bool read_code(std::uint64_t address, std::uint8_t* buf, std::size_t n, void*) noexcept {
    const auto at = static_cast<std::uintptr_t>(address);
    const std::uintptr_t end = readable_end(at);
    if (end == 0 || end - at < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        buf[i] = reinterpret_cast<const std::uint8_t*>(at)[i];
    return true;
}

std::uintptr_t parse_hex(const char*& p, const char* end) noexcept {
    std::uintptr_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            break;
        v = (v << 4) | static_cast<std::uintptr_t>(digit);
    }
    return v;
}

// One "start-end perms ..." line: the end when it holds `address` readably.
std::uintptr_t line_end_if_holding(const char* p, const char* end, std::uintptr_t address) noexcept {
    const std::uintptr_t lo = parse_hex(p, end);
    if (p >= end || *p != '-')
        return 0;
    ++p;
    const std::uintptr_t hi = parse_hex(p, end);
    if (p + 1 >= end || *p != ' ' || p[1] != 'r')
        return 0;
    return lo <= address && address < hi ? hi : 0;
}

}  // namespace

std::uintptr_t readable_end(std::uintptr_t address) noexcept {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[4096];
    std::size_t have = 0;
    std::uintptr_t found = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
        std::size_t start = 0;
        for (std::size_t i = 0; i < have && found == 0; ++i) {
            if (buf[i] != '\n')
                continue;
            found = line_end_if_holding(buf + start, buf + i, address);
            start = i + 1;
        }
        if (found != 0)
            break;
        if (start == 0) {        // a line longer than the buffer: drop it
            have = 0;
            continue;
        }
        for (std::size_t i = start; i < have; ++i)
            buf[i - start] = buf[i];
        have -= start;
    }
    (void)close(fd);
    return found;
}

bool lookup_function(inject_s& record) noexcept {
    void* handle = dlopen(record.library, RTLD_LAZY | RTLD_NODELETE);
    if (handle == nullptr)
        return false;
    void* address = dlsym(handle, record.symbol);
    if (address == nullptr)
        address = dlsym(RTLD_NEXT, record.symbol);
    __atomic_store_n(&record.passthrough, address, __ATOMIC_RELEASE);
    (void)dlclose(handle);
    return true;
}

int allocateBranchIslands(std::uintptr_t near, std::size_t size) noexcept {
#if defined(__x86_64__)
    if (size >= kAreaLimit)
        return 22;
    std::uintptr_t candidate = (near + kPage) & ~(kPage - 1);
    const std::uintptr_t limit = candidate + 0x7FFF0000;
    constexpr std::uintptr_t kStep = 0x100000;
    unsigned char residency[kAreaLimit / kPage];
    // MAP_FIXED_NOREPLACE never replaces a mapping another thread made since
    // the probe; a kernel that ignores the flag takes it as a hint, so the
    // result is checked and anything else given back.
    for (; candidate + size <= limit; candidate += kStep) {
        if (_in_seccomp != 0)
            return 38;
        if (mincore(reinterpret_cast<void*>(candidate), size, residency) == 0)
            continue;                      // every page mapped
        if (errno == EPERM)
            return 1;
        if (errno != ENOMEM || _in_seccomp != 0)
            continue;
        void* p = mmap(reinterpret_cast<void*>(candidate), size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == MAP_FAILED)
            continue;
        if (reinterpret_cast<std::uintptr_t>(p) != candidate) {
            (void)munmap(p, size);
            continue;
        }
        g_islands = IslandArea{static_cast<std::uint8_t*>(p), 0, static_cast<std::uint32_t>(size / kIslandSpacing),
                               size};
        return 0;
    }
    return 12;
#else
    (void)near;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED)
        g_islands = IslandArea{static_cast<std::uint8_t*>(p), 0, static_cast<std::uint32_t>(size / kIslandSpacing),
                               size};
    return 0;
#endif
}

int func_override_allocate(std::uintptr_t near, std::size_t count) noexcept {
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == 2)
        return 1;
    struct sigaction guard = {};
    struct sigaction previous = {};
    guard.sa_handler = on_sigsys;
    (void)sigemptyset(&guard.sa_mask);
    const bool guarded = sigaction(SIGSYS, &guard, &previous) == 0;
    const std::size_t size = (count * kIslandBytesPerHook + kPage - 1) & ~(kPage - 1);
    const int r = allocateBranchIslands(near, size);
    if (guarded)
        (void)sigaction(SIGSYS, &previous, nullptr);
    return r;
}

int allocateBranchIsland(std::uint8_t** out, std::uintptr_t near) noexcept {
    const std::uint32_t i = g_islands.count++;
    if (i >= g_islands.total)
        return 2;
    std::uint8_t* island = g_islands.base + std::size_t{i} * kIslandSpacing;
    if (!in_reach(reinterpret_cast<std::uintptr_t>(island), near))
        return 2;
    *out = island;
    return 0;
}

namespace {

// Writes at code[at] of an island's code (the island runs at `island`) the
// shortest way on to `destination`: a direct jump when it is in reach,
// otherwise a short jump over the remaining filler to the island's own
// jump, which reaches anything. Nothing when neither fits.
void write_exit_jump(std::uint8_t* code, std::size_t at, std::uintptr_t island, std::uintptr_t destination) noexcept {
    const std::uintptr_t next = island + at + 5;
    if (at + 5 <= kIslandCode && in_reach(destination, next)) {
        code[at] = 0xE9;
        store32(code + at + 1, static_cast<std::uint32_t>(destination - next));
    } else if (at + 2 < kIslandCode) {
        code[at] = 0xEB;
        code[at + 1] = static_cast<std::uint8_t>(kIslandCode - at - 2);
    }
}

}  // namespace

// 64-bit island: 32 code bytes, FF 25 00000000 (jmp *[rip]), 8-byte target
// at offset 38. 32-bit island: 16 code bytes, E9 rel32 at offset 16.
int setBranchIslandTarget_i386(std::uint8_t* island, std::uintptr_t destination, const std::uint8_t* code) noexcept {
    for (std::size_t i = 0; i < kIslandCode; ++i)
        island[i] = code != nullptr ? code[i] : 0x90;
#if defined(__x86_64__)
    const std::uint8_t jump[6] = {0xFF, 0x25, 0, 0, 0, 0};
    for (std::size_t i = 0; i < sizeof jump; ++i)
        island[32 + i] = jump[i];
    for (int i = 0; i < 8; ++i)
        island[38 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(destination) >> (8 * i));
#else
    island[16] = 0xE9;
    store32(island + 17, static_cast<std::uint32_t>(destination - (reinterpret_cast<std::uintptr_t>(island) + 21)));
#endif
    return 0;
}

int func_override_ptr(std::uintptr_t target, void* replacement, void** passthrough_out,
                      override_record& record) noexcept {
    // The patch word is exchanged atomically only inside one cache line
    // (which also keeps it inside one page).
    if (target % kLine > kLine - 8)
        return 1;
    const std::uintptr_t end = readable_end(target);
    if (end == 0 || end - target < 8)
        return 1;
    Displaced displaced;
    const auto* code = reinterpret_cast<const std::uint8_t*>(target);
    if (measure_displaced(code, end - target, target, kHostMode, displaced) != 0)
        return 1;
    std::uint8_t* hook = nullptr;
    if (allocateBranchIsland(&hook, target) != 0)
        return 2;
    // Every hooked call passes here: the NOP run starts with the shortest
    // way out.
    std::uint8_t leave[kIslandCode];
    for (auto& b : leave)
        b = 0x90;
    write_exit_jump(leave, 0, reinterpret_cast<std::uintptr_t>(hook), reinterpret_cast<std::uintptr_t>(replacement));
    (void)setBranchIslandTarget_i386(hook, reinterpret_cast<std::uintptr_t>(replacement), leave);
    std::uint8_t patch[8] = {0xE9};
    store32(patch + 1, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hook) - target - 5));
    for (int i = 5; i < 8; ++i)
        patch[i] = code[i];
    if (passthrough_out != nullptr) {
        std::uint8_t* trampoline = nullptr;
        if (allocateBranchIsland(&trampoline, reinterpret_cast<std::uintptr_t>(hook)) != 0)
            return 2;
        std::uint8_t relocated[kIslandCode];
        for (auto& b : relocated)
            b = 0x90;
        std::size_t length = 0;
        if (relocate_displaced(displaced, target, reinterpret_cast<std::uintptr_t>(trampoline), kHostMode, read_code,
                               nullptr, relocated, sizeof relocated, length) != 0)
            return 1;
        write_exit_jump(relocated, length, reinterpret_cast<std::uintptr_t>(trampoline), target + displaced.total);
        (void)setBranchIslandTarget_i386(trampoline, target + displaced.total, relocated);
        __atomic_store_n(passthrough_out, static_cast<void*>(trampoline), __ATOMIC_RELEASE);
    }
    record.target = target;
    record.before = load64(code);
    record.patch = load64(patch);
    return 0;
}

int makeIslandExecutable(std::uintptr_t address, std::size_t length, int protection) noexcept {
    const std::uintptr_t page = address & ~(kPage - 1);
    if (kernel_mprotect(reinterpret_cast<void*>(page), length, protection) != 0)
        return 1;
    return msync(reinterpret_cast<void*>(page), length, MS_INVALIDATE) != 0 ? 1 : 0;
}

int func_override_setup(const override_record* records, std::size_t count) noexcept {
    (void)msync(g_islands.base, std::size_t{g_islands.count} * kIslandSpacing, MS_INVALIDATE);
    const int r = makeIslandExecutable(reinterpret_cast<std::uintptr_t>(g_islands.base), g_islands.size,
                                       PROT_READ | PROT_EXEC);
    for (std::size_t i = 0; r == 0 && i < count; ++i) {
        const std::uintptr_t target = records[i].target;
        if (target == 0)
            continue;
        auto* page = reinterpret_cast<void*>(target & ~(kPage - 1));
        if (kernel_mprotect(page, kPage, PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
            break;
        // Changed since the patch was built: left alone.
        (void)compare_exchange8(target, records[i].before, records[i].patch);
        (void)kernel_mprotect(page, kPage, PROT_READ | PROT_EXEC);
    }
    // The channel closes (and the seed is cleared) on every path, so the
    // seed never outlives the installation.
    (void)kernel_disable();
    return r;
}

std::uintptr_t injector(inject_s* table, std::size_t count) noexcept {
    std::size_t first = count;
    for (std::size_t p = 0; p < count; ++p) {
        if (table[p].enabled == 0)
            continue;
        if (table[p].index != p)
            return table[p].index;
        if (first == count)
            first = p;
        (void)lookup_function(table[p]);
    }
    if (first == count)
        return count + 1;
    const int allocated =
        func_override_allocate(reinterpret_cast<std::uintptr_t>(inject_passthrough(first)), count);
    if (allocated != 0)
        return static_cast<std::uintptr_t>(allocated);
    override_record records[kInjectCount] = {};
    for (std::size_t p = 0; p < count && p < kInjectCount; ++p) {
        inject_s& record = table[p];
        if (record.enabled == 0)
            continue;
        const auto address = reinterpret_cast<std::uintptr_t>(record.passthrough);
        if (address != 0 && record.replacement != nullptr &&
            func_override_ptr(address, record.replacement, &record.passthrough, records[p]) != 0)
            records[p].target = 0;
        // Tried once; the hooked names do not stay in memory.
        record.enabled = 0;
        blank(record.symbol);
        blank(record.library);
        record.replacement = nullptr;
        record.index = 0;
    }
    return static_cast<std::uintptr_t>(func_override_setup(records, count < kInjectCount ? count : kInjectCount));
}

int install_injects() noexcept {
    return injector(injects, kInjectCount) == 0 ? 0 : -ECANCELED;
}

}  // namespace kv::md
