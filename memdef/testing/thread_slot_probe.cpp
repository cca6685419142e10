// Test program for the thread slots: with the hooks installed, 20 threads
// are created whose start wrappers cannot get past their first step (the
// allocator holds the first one, the stack-lookup lock the others), so all
// 20 slots stay busy. The 21st creation must then wait until a timer opens
// the allocator and a wrapper frees its slot. Run under the driver
// stand-in. It interposes the allocator, so it is built without sanitizers.
// Usage: thread_slot_probe SEED
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "memdef.h"

extern "C" void* __libc_realloc(void*, size_t);

namespace {

constexpr int kSlots = 20;

pid_t g_main_thread = 0;
volatile sig_atomic_t g_gate_closed = 0;
volatile sig_atomic_t g_opened = 0;
int g_started = 0;

void open_gate(int) {
    g_gate_closed = 0;
    g_opened = 1;
}

void* routine(void*) {
    __atomic_add_fetch(&g_started, 1, __ATOMIC_RELAXED);
    return nullptr;
}

}  // namespace

// While the gate is closed, any thread but the main one waits here: the
// first start wrapper grows the stack lookup's array with realloc while it
// holds the array's lock.
extern "C" [[gnu::visibility("default")]] void* realloc(void* p, size_t n) noexcept {
    if (g_gate_closed != 0 && static_cast<pid_t>(syscall(SYS_gettid)) != g_main_thread) {
        const timespec step{0, 1000000};
        while (g_gate_closed != 0)
            (void)nanosleep(&step, nullptr);
    }
    return __libc_realloc(p, n);
}

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    g_main_thread = static_cast<pid_t>(syscall(SYS_gettid));
    static struct {
        std::uint32_t count;
        std::uint8_t actions[23];
    } table{23, {}};
    (void)memdef_initialize(reinterpret_cast<MemDefPolicyTable*>(&table), static_cast<std::int32_t>(atoi(argv[1])));
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (*static_cast<const std::uint8_t*>(dlsym(libc, "pthread_create")) != 0xE9) {
        printf("pthread_create not patched\n");
        return 0;
    }
    g_gate_closed = 1;
    pthread_t threads[kSlots + 1];
    for (int i = 0; i < kSlots; ++i)
        if (pthread_create(&threads[i], nullptr, routine, nullptr) != 0)
            printf("creation %d failed\n", i + 1);
    // Open the gate in 300 ms; until then no slot can be freed.
    (void)signal(SIGALRM, open_gate);
    const itimerval in_300ms{{0, 0}, {0, 300000}};
    (void)setitimer(ITIMER_REAL, &in_300ms, nullptr);
    const int started_before = __atomic_load_n(&g_started, __ATOMIC_RELAXED);
    if (pthread_create(&threads[kSlots], nullptr, routine, nullptr) != 0)
        printf("creation 21 failed\n");
    const bool waited = g_opened != 0;
    for (auto& t : threads)
        pthread_join(t, nullptr);
    printf("routines started before the 21st creation: %d\n", started_before);
    printf("21st creation returned %s the gate opened\n", waited ? "after" : "before");
    printf("routines run: %d\n", __atomic_load_n(&g_started, __ATOMIC_RELAXED));
    return 0;
}
