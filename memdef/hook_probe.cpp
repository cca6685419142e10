// Test program for the installed hooks: loads with the library, starts it
// as the loader would (seed and policy from the command line), then runs
// one case and prints what it saw. Run under the driver stand-in for the
// patches to be written.
// Usage: hook_probe CASE SEED ACTIONS   (ACTIONS: letters A..D per type)
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "memdef.h"

namespace {

constexpr const char* kTargets[] = {"mmap", "mprotect", "mremap", "remap_file_pages", "pthread_create"};

std::string g_out;
std::string g_case;

void say(const std::string& line) { g_out += line + "\n"; }

std::string permissions(const void* at) {
    char line[512];
    FILE* maps = fopen("/proc/self/maps", "r");
    std::string perms = "?";
    const auto a = reinterpret_cast<std::uintptr_t>(at);
    while (maps != nullptr && fgets(line, sizeof line, maps) != nullptr) {
        unsigned long lo = 0, hi = 0;
        char p[5] = {};
        if (sscanf(line, "%lx-%lx %4s", &lo, &hi, p) == 3 && lo <= a && a < hi) {
            perms = p;
            break;
        }
    }
    if (maps != nullptr)
        fclose(maps);
    return perms;
}

std::string result(long r, int e) { return r == -1 ? "-1 errno " + std::to_string(e) : std::to_string(r); }

// The five functions still behave: results and errno as without hooks.
void behaviour() {
    errno = 0;
    void* p = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        say("fail mmap");
    if (mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, 987, 0) != MAP_FAILED || errno != EBADF)
        say("fail mmap EBADF");
    if (mprotect(p, 4096, PROT_READ) != 0 || permissions(p) != "r--p")
        say("fail mprotect");
    if (mprotect(static_cast<char*>(p) + 1, 4096, PROT_READ) != -1 || errno != EINVAL)
        say("fail mprotect EINVAL");
    void* target = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* moved = mremap(p, 4096, 4096, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved != target || permissions(target) != "r--p")
        say("fail mremap fixed");
    if (mremap(moved, 4096, 16384, MREMAP_MAYMOVE) == MAP_FAILED)
        say("fail mremap");
    // The system call's own answer (ENOSYS under an emulator, EINVAL here).
    errno = 0;
    const long direct = syscall(SYS_remap_file_pages, nullptr, 4096, 0, 0, 0);
    const int direct_errno = errno;
    errno = 0;
    if (remap_file_pages(nullptr, 4096, 0, 0, 0) != direct || errno != direct_errno)
        say("fail remap_file_pages");
    pthread_t t;
    void* value = nullptr;
    if (pthread_create(&t, nullptr, [](void* a) -> void* { pthread_exit(a); }, &g_out) != 0 ||
        pthread_join(t, &value) != 0 || value != &g_out)
        say("fail pthread_exit");
    // Failed creations give their thread slot back: after more failures
    // than there are slots, creation still works (it would wait for ever).
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, (~std::size_t{0} / 4 * 3) & ~std::size_t{4095});
    for (int i = 0; i < 25; ++i)
        if (pthread_create(&t, &attr, [](void*) -> void* { return nullptr; }, nullptr) == 0)
            say("fail pthread_create huge stack");
    // More threads at once than there are slots: the creators wait for
    // slots as wrappers free them, and every thread runs its routine.
    constexpr int kThreads = 64;
    pthread_t many[kThreads];
    int ran = 0;
    for (auto& m : many)
        if (pthread_create(&m, nullptr, [](void* a) -> void* {
                __atomic_add_fetch(static_cast<int*>(a), 1, __ATOMIC_RELAXED);
                return nullptr;
            }, &ran) != 0)
            say("fail pthread_create");
    for (auto& m : many)
        pthread_join(m, nullptr);
    if (ran != kThreads)
        say("fail threads ran " + std::to_string(ran));
}

// Read and write permission of the page holding `at` (execute is not shown
// the same way under an emulator).
std::string read_write(const void* at) { return permissions(at).substr(0, 2); }

// The case body runs on a thread created through the hook, so its stack
// is recorded.
void* stack_case(void*) {
    std::uintptr_t low = 0;
    std::size_t size = 0;
    if (getstackdata(&low, &size) != 0) {
        say("no stack record");
        return nullptr;
    }
    char* page = reinterpret_cast<char*>((low + 8191) & ~std::uintptr_t{4095});
    std::size_t length = 4096;
    if (g_case == "protect-below") {
        page = reinterpret_cast<char*>(low & ~std::uintptr_t{4095}) - 4096;
        length = 8192;
    } else if (g_case == "protect-heap") {
        page = static_cast<char*>(aligned_alloc(4096, 8192));
    } else if (g_case == "protect-low") {
        page = reinterpret_cast<char*>(low & ~std::uintptr_t{4095});
    }
    const std::string before = read_write(page + length - 1);
    errno = 0;
    const int r = mprotect(page, length, PROT_READ | PROT_EXEC);
    say("mprotect " + result(r, errno) + " " + before + " -> " + read_write(page + length - 1));
    if (g_case == "protect-heap") {
        (void)mprotect(page, length, PROT_READ | PROT_WRITE);
        free(page);
    }
    return nullptr;
}

alignas(16) char g_pivot_stack[65536];
ucontext_t g_main_context, g_pivot_context;

char* g_own_stack_page = nullptr;

void on_pivot_stack() {
    if (g_case == "pivot-protect") {
        errno = 0;
        const int r = mprotect(g_own_stack_page, 4096, PROT_READ | PROT_EXEC);
        say("mprotect " + result(r, errno) + " -> " + read_write(g_own_stack_page));
        return;
    }
    errno = 0;
    void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    say(std::string("mmap ") + (p == MAP_FAILED ? "MAP_FAILED errno " + std::to_string(errno) : "mapped"));
}

void* pivot_case(void*) {
    std::uintptr_t low = 0;
    std::size_t size = 0;
    if (getstackdata(&low, &size) == 0)
        g_own_stack_page = reinterpret_cast<char*>((low + 8191) & ~std::uintptr_t{4095});
    getcontext(&g_pivot_context);
    g_pivot_context.uc_stack.ss_sp = g_pivot_stack;
    g_pivot_context.uc_stack.ss_size = sizeof g_pivot_stack;
    g_pivot_context.uc_link = &g_main_context;
    makecontext(&g_pivot_context, on_pivot_stack, 0);
    swapcontext(&g_main_context, &g_pivot_context);
    return nullptr;
}

int g_stop_hammer = 0;

// Calls mprotect (or, for "hammer-mmap", mmap) in a loop until told to
// stop, while the hooks go in.
void* hammer(void* page) {
    const bool maps = g_case == "hammer-mmap";
    while (__atomic_load_n(&g_stop_hammer, __ATOMIC_RELAXED) == 0) {
        if (maps)
            (void)munmap(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), 4096);
        else
            (void)mprotect(page, 4096, PROT_READ | PROT_WRITE);
    }
    return nullptr;
}

bool enter_seccomp_filter() {
    sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog program = {1, &allow};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    g_case = argv[1];
    // Its own process group: action 3 signals the group.
    (void)setpgid(0, 0);
    // Action 3 then ends the process by SIGKILL, its own kill.
    (void)signal(SIGTERM, SIG_IGN);
    static struct {
        std::uint32_t count;
        std::uint8_t actions[23];
    } table;
    table.count = 23;
    for (std::size_t i = 0; i < sizeof table.actions; ++i) {
        const char c = i < strlen(argv[3]) ? argv[3][i] : 'B';
        table.actions[i] = static_cast<std::uint8_t>(c - 'A');
    }
    if (g_case == "seccomp" && !enter_seccomp_filter()) {
        printf("no seccomp\n");
        return 0;
    }
    pthread_t hammers[4];
    void* hammered = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (g_case.rfind("hammer", 0) == 0)
        for (auto& h : hammers)
            pthread_create(&h, nullptr, hammer, hammered);
    const int rc = memdef_initialize(reinterpret_cast<MemDefPolicyTable*>(&table), static_cast<std::int32_t>(atoi(argv[2])));
    std::string patched;
    // The C library's own entries (an executable may interpose its own).
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    for (const char* name : kTargets)
        patched += *static_cast<const std::uint8_t*>(dlsym(libc, name)) == 0xE9 ? '1' : '0';
    say("init " + std::to_string(rc) + " patched " + patched);
    pthread_t t;
    if (g_case.rfind("hammer", 0) == 0) {
        usleep(20000);
        __atomic_store_n(&g_stop_hammer, 1, __ATOMIC_RELAXED);
        for (auto& h : hammers)
            pthread_join(h, nullptr);
    } else if (g_case == "pivot" || g_case == "pivot-protect") {
        pthread_create(&t, nullptr, pivot_case, nullptr);
        pthread_join(t, nullptr);
    } else if (g_case == "coma" || g_case == "shutdown") {
        if (g_case == "coma")
            memdeflinux_coma();
        else
            memdeflinux_shutdown();
        g_case = "protect-stack";
        pthread_create(&t, nullptr, stack_case, nullptr);
        pthread_join(t, nullptr);
    } else if (g_case.rfind("protect", 0) == 0) {
        pthread_create(&t, nullptr, stack_case, nullptr);
        pthread_join(t, nullptr);
    } else {
        behaviour();
    }
    fputs(g_out.c_str(), stdout);
    return 0;
}
