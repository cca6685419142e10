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
        // Shrink then grow in place: two calls, nothing moves.
        benchmark::DoNotOptimize(mremap(p, 8192, 4096, 0));
        benchmark::DoNotOptimize(mremap(p, 4096, 8192, 0));
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
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
