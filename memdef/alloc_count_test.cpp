// The event path allocates nothing: this program interposes the C
// library's allocator and counts every call made while a report runs.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "memdef.h"
#include "process.hpp"
#include "test_child.hpp"

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

}  // namespace
