// Test program for the installed hooks: loads with the library, starts it
// as the loader would (seed and policy from the command line), then runs
// one case and prints what it saw. Run under the driver stand-in for the
// patches to be written.
// Usage: hook_probe CASE SEED ACTIONS   (ACTIONS: letters A..D per type)
//        hook_probe trials:TARGET:N SEED ACTIONS
//   installs the hooks in N forked children while 4 threads call TARGET
//   and prints how many children crashed or hung.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "memdef.h"
#include "x86_decoder.hpp"

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
    // More threads at once than there are slots, 1,000 in waves of 64: the
    // creators wait for slots as wrappers free them, and every thread runs
    // its routine.
    constexpr int kThreads = 1000;
    constexpr int kWave = 64;
    int ran = 0;
    for (int started = 0; started < kThreads; started += kWave) {
        pthread_t wave[kWave];
        int n = 0;
        for (; n < kWave && started + n < kThreads; ++n)
            if (pthread_create(&wave[n], nullptr, [](void* a) -> void* {
                    __atomic_add_fetch(static_cast<int*>(a), 1, __ATOMIC_RELAXED);
                    return nullptr;
                }, &ran) != 0)
                say("fail pthread_create");
        for (int i = 0; i < n; ++i)
            pthread_join(wave[i], nullptr);
    }
    if (ran != kThreads)
        say("fail threads ran " + std::to_string(ran));
}

// Read and write permission of the page holding `at` (execute is not shown
// the same way under an emulator).
std::string read_write(const void* at) { return permissions(at).substr(0, 2); }

char* g_nested_page = nullptr;
std::string g_nested_result = "no report written";

}  // namespace

// The event file is renamed into place last: when armed, a violation is
// raised from inside the report (another stack page made executable).
extern "C" [[gnu::visibility("default")]] int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) noexcept {
    if (char* page = __atomic_exchange_n(&g_nested_page, nullptr, __ATOMIC_ACQ_REL)) {
        errno = 0;
        const int r = mprotect(page, 4096, PROT_READ | PROT_EXEC);
        g_nested_result = "inside the report: mprotect " + result(r, errno) + " -> " + read_write(page);
    }
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

namespace {

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
    // The report of this violation raises another one on the same thread.
    if (g_case == "protect-nested")
        __atomic_store_n(&g_nested_page, page + 4096, __ATOMIC_RELEASE);
    errno = 0;
    const int r = mprotect(page, length, PROT_READ | PROT_EXEC);
    if (g_case == "protect-nested")
        say(g_nested_result);
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

bool enter_seccomp_filter() {
    sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog program = {1, &allow};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

// A filter that hides itself from PR_GET_SECCOMP (prctl fails with EINVAL)
// and traps mincore with SIGSYS, whose default action ends the process.
bool enter_trapping_filter() {
#if defined(__x86_64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#else
    constexpr std::uint32_t kArch = AUDIT_ARCH_I386;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mincore, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

// --- Installation under load: one forked child per trial --------------------

int g_stop_hammer = 0;
int g_hammer_calls = 0;
const char* g_hammered = "";

// Calls the hammered function in a loop until told to stop, while the
// hooks go in.
void* hammer(void*) {
    const std::string target = g_hammered;
    void* own = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::size_t own_size = 8192;
    while (__atomic_load_n(&g_stop_hammer, __ATOMIC_RELAXED) == 0) {
        if (target == "mmap") {
            (void)munmap(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), 4096);
        } else if (target == "mremap") {
            // Shrink only what is ours: a shrinking mremap unmaps the whole
            // old range, and once a grow in place has failed the second page
            // may be somebody else's mapping (the island area, say).
            const std::size_t next = own_size == 8192 ? 4096 : 8192;
            if (mremap(own, own_size, next, 0) != MAP_FAILED)
                own_size = next;
        } else if (target == "remap_file_pages") {
            (void)remap_file_pages(nullptr, 0, 0, 0, 0);
        } else {
            (void)mprotect(own, 4096, PROT_READ | PROT_WRITE);
        }
        __atomic_add_fetch(&g_hammer_calls, 1, __ATOMIC_RELAXED);
    }
    return nullptr;
}

const std::uint8_t* libc_entry(const char* name) {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return libc != nullptr ? static_cast<const std::uint8_t*>(dlsym(libc, name)) : nullptr;
}

// How many instructions the 5-byte patch jump displaces at the entry
// (-1 when they cannot be decoded).
int displaced_instructions(const std::uint8_t* entry) {
#if defined(__x86_64__)
    constexpr kv::md::X86Mode kMode = kv::md::X86Mode::bits64;
#else
    constexpr kv::md::X86Mode kMode = kv::md::X86Mode::bits32;
#endif
    int count = 0;
    for (std::size_t at = 0; at < 5; ++count) {
        kv::md::X86Insn insn;
        if (kv::md::x86_decode(entry + at, 32 - at, reinterpret_cast<std::uintptr_t>(entry + at), kMode, &insn) != 0)
            return -1;
        at += insn.length;
    }
    return count;
}

// One trial in a fresh child: 4 threads call the target, the hooks go in,
// the threads go on through them for a moment. Exit 0 patched, 3 not.
[[noreturn]] void trial(MemDefPolicyTable* table, std::int32_t seed) {
    pthread_t hammers[4];
    for (auto& h : hammers)
        pthread_create(&h, nullptr, hammer, nullptr);
    while (__atomic_load_n(&g_hammer_calls, __ATOMIC_RELAXED) < 4)
        sched_yield();
    (void)memdef_initialize(table, seed);
    const bool patched = *libc_entry(g_hammered) == 0xE9;
    const int before = __atomic_load_n(&g_hammer_calls, __ATOMIC_RELAXED);
    while (__atomic_load_n(&g_hammer_calls, __ATOMIC_RELAXED) < before + 64)
        sched_yield();
    __atomic_store_n(&g_stop_hammer, 1, __ATOMIC_RELAXED);
    for (auto& h : hammers)
        pthread_join(h, nullptr);
    _exit(patched ? 0 : 3);
}

void trials(const std::string& spec, MemDefPolicyTable* table, std::int32_t seed) {
    // trials:TARGET:N
    const auto colon = spec.find(':', 7);
    static std::string target = spec.substr(7, colon - 7);
    g_hammered = target.c_str();
    const int count = atoi(spec.c_str() + colon + 1);
    int crashed = 0, hung = 0, unpatched = 0;
    for (int i = 0; i < count; ++i) {
        fflush(stdout);
        const pid_t child = fork();
        if (child == 0)
            trial(table, seed);
        // A crash can wedge an emulated process for good: after 15 s the
        // child counts as hung and is killed.
        int status = 0;
        pid_t done = 0;
        for (int waited_ms = 0; (done = waitpid(child, &status, WNOHANG)) == 0 && waited_ms < 15000; ++waited_ms)
            usleep(1000);
        if (done == 0) {
            (void)kill(child, SIGKILL);
            (void)waitpid(child, &status, 0);
            ++hung;
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
            ++unpatched;
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++crashed;   // a signal, or a sanitizer's report of one (exit 1)
        }
    }
    printf("%s displaces %d instructions: %d trials, %d crashed, %d hung, %d unpatched\n", g_hammered,
           displaced_instructions(libc_entry(g_hammered)), count, crashed, hung, unpatched);
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
    const auto seed = static_cast<std::int32_t>(atoi(argv[2]));
    if (g_case.rfind("trials:", 0) == 0) {
        trials(g_case, reinterpret_cast<MemDefPolicyTable*>(&table), seed);
        return 0;
    }
    if ((g_case == "seccomp" && !enter_seccomp_filter()) || (g_case == "sigsys" && !enter_trapping_filter())) {
        printf("no seccomp\n");
        return 0;
    }
    const int rc = memdef_initialize(reinterpret_cast<MemDefPolicyTable*>(&table), seed);
    std::string patched;
    // The C library's own entries (an executable may interpose its own).
    for (const char* name : kTargets)
        patched += *libc_entry(name) == 0xE9 ? '1' : '0';
    say("init " + std::to_string(rc) + " patched " + patched);
    pthread_t t;
    if (g_case == "sigsys") {
        struct sigaction now = {};
        (void)sigaction(SIGSYS, nullptr, &now);
        say(now.sa_handler == SIG_DFL ? "SIGSYS action restored" : "SIGSYS action left changed");
    } else if (g_case == "pivot" || g_case == "pivot-protect") {
        pthread_create(&t, nullptr, pivot_case, nullptr);
        pthread_join(t, nullptr);
    } else if (g_case == "coma" || g_case == "shutdown" || g_case == "coma-restart") {
        if (g_case == "shutdown")
            memdeflinux_shutdown();
        else
            memdeflinux_coma();
        // Started again, the checks are back on (nothing is patched twice).
        if (g_case == "coma-restart")
            say("restart " + std::to_string(memdeflinux_initialize()));
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
