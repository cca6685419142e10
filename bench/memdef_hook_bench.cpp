// Per-call cost of the hooked functions beside the same calls before the
// hooks are installed, in one run: the unhooked benchmarks are registered
// (and run) first, the first hooked one installs the hooks. Also the stack
// lookup's check with 0 and 64 registered frames (run first). The program re-executes
// itself under the driver stand-in so the patches can be written.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "memdef.h"

namespace {

constexpr std::int32_t kSeed = 5;
void* g_page = nullptr;

// True once the C library's mprotect starts with the patch jump.
bool install_once() {
    static bool done = false;
    if (done)
        return true;
    done = true;
    static struct {
        std::uint32_t count;
        std::uint8_t actions[23];
    } table{23, {}};
    memset(table.actions, 1, sizeof table.actions);
    (void)memdef_initialize(reinterpret_cast<MemDefPolicyTable*>(&table), kSeed);
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    done = libc != nullptr && *static_cast<const std::uint8_t*>(dlsym(libc, "mprotect")) == 0xE9;
    return done;
}

void mprotect_calls(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(mprotect(g_page, 4096, PROT_READ | PROT_WRITE));
}

void mmap_calls(benchmark::State& state) {
    for (auto _ : state) {
        void* p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        benchmark::DoNotOptimize(p);
        munmap(p, 4096);
    }
}

// A trivial call: refused by the kernel at once (EINVAL), so the hook's
// checks are most of what differs.
void remap_calls(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(remap_file_pages(nullptr, 0, 0, 0, 0));
}

// A trivial function: the C library refuses an offset that is not a page
// multiple before any system call, so the pair measures the hook's own cost
// (island, checks, trampoline) on a call of a few nanoseconds.
void mmap_trivial_calls(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 1));
}

void mremap_calls(benchmark::State& state) {
    void* p = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    for (auto _ : state) {
        // Shrink then grow in place: two calls, nothing moves. A shrink
        // unmaps the whole old range, so a failed grow ends the benchmark
        // rather than unmap a page that may not be ours.
        benchmark::DoNotOptimize(mremap(p, 8192, 4096, 0));
        if (mremap(p, 4096, 8192, 0) == MAP_FAILED) {
            state.SkipWithError("mremap could not grow in place");
            munmap(p, 4096);
            return;
        }
    }
    munmap(p, 8192);
}

void* thread_body(void* arg) { return arg; }

void thread_calls(benchmark::State& state) {
    for (auto _ : state) {
        pthread_t t;
        if (pthread_create(&t, nullptr, thread_body, nullptr) != 0) {
            state.SkipWithError("pthread_create failed");
            break;
        }
        pthread_join(t, nullptr);
    }
}

// Each call pattern, registered twice: all unhooked ones first, then the
// hooked ones (the first of which installs the hooks).
struct CallPattern {
    const char* name;
    void (*calls)(benchmark::State&);
};
constexpr CallPattern kPatterns[] = {
    {"mprotect", mprotect_calls},         {"mmap", mmap_calls},     {"remap_file_pages", remap_calls},
    {"mmap_trivial", mmap_trivial_calls}, {"mremap", mremap_calls}, {"pthread_create", thread_calls},
};

void register_patterns() {
    for (const auto& p : kPatterns)
        benchmark::RegisterBenchmark((std::string("BM_Unhooked_") + p.name).c_str(), p.calls);
    for (const auto& p : kPatterns)
        benchmark::RegisterBenchmark((std::string("BM_Hooked_") + p.name).c_str(), [calls = p.calls](benchmark::State& state) {
            if (!install_once()) {
                state.SkipWithError("hooks not installed");
                return;
            }
            calls(state);
        });
}

std::uint64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// The hooked C-library call and the same system call made directly,
// alternated call by call so that both see the same machine: drift and
// noise between separate runs would otherwise swamp a 10 % difference.
// Reported as the two mean times and their ratio.
template <class Hooked, class Direct>
void paired(benchmark::State& state, Hooked hooked, Direct direct) {
    if (!install_once()) {
        state.SkipWithError("hooks not installed");
        return;
    }
    std::uint64_t hooked_ns = 0, direct_ns = 0;
    for (auto _ : state) {
        const std::uint64_t t0 = now_ns();
        hooked();
        const std::uint64_t t1 = now_ns();
        direct();
        direct_ns += now_ns() - t1;
        hooked_ns += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["hooked_ns"] = static_cast<double>(hooked_ns) / n;
    state.counters["direct_ns"] = static_cast<double>(direct_ns) / n;
    state.counters["ratio"] = static_cast<double>(hooked_ns) / static_cast<double>(direct_ns);
}

void BM_Paired_mprotect(benchmark::State& state) {
    paired(
        state, [] { benchmark::DoNotOptimize(mprotect(g_page, 4096, PROT_READ | PROT_WRITE)); },
        [] { benchmark::DoNotOptimize(syscall(SYS_mprotect, g_page, 4096L, long{PROT_READ | PROT_WRITE})); });
}

void BM_Paired_mmap(benchmark::State& state) {
    paired(
        state,
        [] {
            void* p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            benchmark::DoNotOptimize(p);
            munmap(p, 4096);
            if (p == MAP_FAILED)
                abort();
        },
        [] {
#if defined(SYS_mmap)
            const long p = syscall(SYS_mmap, nullptr, 4096L, long{PROT_READ}, long{MAP_PRIVATE | MAP_ANONYMOUS}, -1L, 0L);
#else
            const long p = syscall(SYS_mmap2, nullptr, 4096L, long{PROT_READ}, long{MAP_PRIVATE | MAP_ANONYMOUS}, -1L, 0L);
#endif
            benchmark::DoNotOptimize(p);
            syscall(SYS_munmap, p, 4096L);
            if (p == -1)
                abort();
        });
}

void BM_StackLookupCheck(benchmark::State& state) {
    static char frames[64][16];
    for (int i = 0; i < state.range(0); ++i)
        stacklookup_add(frames[i]);
    char here = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(stacklookup_check(&here));
    for (int i = 0; i < state.range(0); ++i)
        stacklookup_remove(frames[i]);
}

BENCHMARK(BM_StackLookupCheck)->Arg(0)->Arg(64);
// Registered statically, so they would run first: added after the others.
void register_paired() {
    benchmark::RegisterBenchmark("BM_Paired_mprotect", BM_Paired_mprotect);
    benchmark::RegisterBenchmark("BM_Paired_mmap", BM_Paired_mmap);
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("KV_DRIVER_SEED") == nullptr) {
        setenv("KV_DRIVER_SEED", std::to_string(kSeed).c_str(), 1);
        setenv("LD_PRELOAD", KV_DRIVER_STANDIN, 1);
        execv("/proc/self/exe", argv);
        return 1;
    }
    g_page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    register_patterns();
    register_paired();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
