// The event path allocates nothing: this program interposes the C
// library's allocator and counts every call made while a report runs.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "memdef.h"
#include "process.hpp"
#include "testing/test_child.hpp"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> g_armed{false};
std::atomic<int> g_allocations{0};
// Run inside realloc when set; a realloc that is to fail returns null.
void (*g_in_realloc)() = nullptr;
std::atomic<bool> g_fail_realloc{false};

void count() {
    if (g_armed.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    count();
    if (g_in_realloc != nullptr)
        g_in_realloc();
    if (g_fail_realloc.exchange(false))
        return nullptr;
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    *out = __libc_memalign(a, n);
    return *out != nullptr ? 0 : ENOMEM;
}
void free(void* p) { __libc_free(p); }
}

namespace {

TEST(AllocationFree, ReportsAllocateNothing) {
    kv::test::TempDir dir("mdalloc");
    EXPECT_EQ(kv::md::test::in_child([&] {
        setenv("TMPDIR", dir.path().c_str(), 1);
        memdeflinux_initialize();
        // The counter sees allocations at all (the interposer is live).
        g_armed = true;
        void* probe = malloc(16);
        g_armed = false;
        free(probe);
        if (g_allocations.exchange(0) != 1)
            return std::string("interposer not in effect");
        g_armed = true;
        const int a = CommReportEventStackProtect("mprotect", &probe, 4096, 7);
        const int b = CommReportEventStackPivot("mmap", &probe);
        char text[64];
        md_sprintf(text, sizeof text, "%s %p %d", "x", &probe, -1);
        g_armed = false;
        if (a != 0 || b != 0)
            return std::string("events not written");
        const int n = g_allocations.load();
        return n == 0 ? std::string() : std::to_string(n) + " allocations during reports";
    }), "");
}

int g_check_in_realloc = -1;

// Deep below any registered frame, as the allocator's own mmap call is.
[[gnu::noinline]] void check_from_allocator() {
    volatile char deep[2048];
    deep[0] = 0;
    g_check_in_realloc = stacklookup_check(const_cast<char*>(deep));
}

TEST(StackLookupGrowth, AllocatorReentryAndFailedGrowth) {
    EXPECT_EQ(kv::md::test::in_child([&] {
        alarm(10);   // a deadlock ends the child instead of the run
        char frames[3][64];
        std::string err;
        stacklookup_add(frames[0] + 32);
        // The thread growing the array (holding its write lock) is let
        // through instead of waiting on the lock it holds.
        g_in_realloc = check_from_allocator;
        stacklookup_add(frames[1] + 32);
        g_in_realloc = nullptr;
        if (g_check_in_realloc != 1)
            err += " check inside growth gave " + std::to_string(g_check_in_realloc) + ";";
        // A growth that fails keeps the array it had.
        g_fail_realloc = true;
        stacklookup_add(frames[2] + 32);
        if (stacklookup_check(frames[0]) != 1 || stacklookup_check(frames[1]) != 1)
            err += " entries lost;";
        if (stacklookup_check(frames[2]) != 0)
            err += " failed entry present;";
        stacklookup_add(frames[2] + 32);
        if (stacklookup_check(frames[2]) != 1)
            err += " entry not added after the failure;";
        return err;
    }), "");
}

}  // namespace
