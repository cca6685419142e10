// The named semaphore and its lock file, and the fatal-signal handler.
// Lock order: g_lock_mutex only; the handler takes no lock and touches
// only g_creator (written before the handler is installed) and
// fatal_error_in_progress.
#include "instance_lock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kv::helper {
namespace {

// Where glibc keeps the semaphore's name: the handler removes that file
// with unlink(2), which is async-signal-safe (sem_unlink is not listed so).
constexpr char kSemaphoreFile[] = "/dev/shm/sem.com.korvane.kvkvkv";

constexpr int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGQUIT, SIGTERM, SIGINT};

constinit pthread_mutex_t g_lock_mutex = PTHREAD_MUTEX_INITIALIZER;
// The lock file, held with flock() from the creation of the name on.
constinit int g_lock_fd = -1;
// The process that created the name (0: none); a forked child inherits the
// value but is another process, so it never removes the name.
constinit volatile pid_t g_creator = 0;
constinit bool g_handler_installed[sizeof kFatalSignals / sizeof kFatalSignals[0]] = {};

struct MutexHold {
    MutexHold() noexcept { (void)pthread_mutex_lock(&g_lock_mutex); }
    ~MutexHold() { (void)pthread_mutex_unlock(&g_lock_mutex); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
};

// Async-signal-safe (sigaction only).
void restore_default_action(int sig) noexcept {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)::sigaction(sig, &dfl, nullptr);
}

// Async-signal-safe only: getpid, unlink, sigaction, raise.
void fatal_signal_handler(int sig) {
    if (fatal_error_in_progress == 0) {
        fatal_error_in_progress = 1;
        if (g_creator != 0 && g_creator == ::getpid())
            (void)::unlink(kSemaphoreFile);
    }
    restore_default_action(sig);
    // Delivered with the default action as soon as the handler returns.
    (void)::raise(sig);
}

bool handler_is_ours(const struct sigaction& act) noexcept {
    return (act.sa_flags & SA_SIGINFO) == 0 && act.sa_handler == &fatal_signal_handler;
}

// Installs the handler where the disposition is the default: an ignored
// signal stays ignored, and a handler of the process's own stays.
void install_handlers() noexcept {
    for (std::size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
        struct sigaction current {};
        if (::sigaction(kFatalSignals[i], nullptr, &current) != 0)
            continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction act {};
        act.sa_handler = &fatal_signal_handler;
        sigfillset(&act.sa_mask);
        if (::sigaction(kFatalSignals[i], &act, nullptr) == 0)
            g_handler_installed[i] = true;
    }
}

// The lock file held with flock(): 1 held by us (fd in *ret_fd), 0 no lock
// file to be had (not root, no /run), -EEXIST held by a live process.
int hold_lock_file(int* ret_fd) noexcept {
    const int fd = ::open(kInstanceLockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return 0;
    struct stat st {};
    // Only a regular file of our own user counts: one that someone else
    // made could be held by them for ever.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        (void)::close(fd);
        return 0;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        (void)::close(fd);
        return error == EWOULDBLOCK ? -EEXIST : 0;
    }
    *ret_fd = fd;
    return 1;
}

sem_t* create_semaphore() noexcept {
    return ::sem_open(kInstanceSemaphoreName, O_CREAT | O_EXCL, 0644, 1);
}

}  // namespace

int open_instance_lock() noexcept {
    const MutexHold hold;
    int fd = -1;
    const int held = hold_lock_file(&fd);
    if (held < 0)
        return held;
    sem_t* sem = create_semaphore();
    if (sem == SEM_FAILED && errno == EEXIST && held == 1) {
        // Nobody alive holds the lock file, so the name was left by a
        // holder that died without removing it (SIGKILL): take it over.
        (void)::sem_unlink(kInstanceSemaphoreName);
        sem = create_semaphore();
    }
    if (sem == SEM_FAILED) {
        const int error = errno;
        if (fd >= 0)
            (void)::close(fd);
        return -error;
    }
    (void)::sem_close(sem);   // the name stays
    if (fd >= 0) {
        if (g_lock_fd >= 0)
            (void)::close(g_lock_fd);
        g_lock_fd = fd;
    }
    g_creator = ::getpid();
    install_handlers();
    return 0;
}

int unlink_instance_lock() noexcept {
    const MutexHold hold;
    const int rc = ::sem_unlink(kInstanceSemaphoreName) == 0 ? 0 : -errno;
    if (g_creator == ::getpid()) {
        g_creator = 0;
        if (g_lock_fd >= 0)
            (void)::close(g_lock_fd);
        g_lock_fd = -1;
    }
    return rc;
}

void release_instance_lock_at_unload() noexcept {
    const MutexHold hold;
    // The handler's code goes with the library: a signal must not reach it.
    for (std::size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
        if (!g_handler_installed[i])
            continue;
        struct sigaction current {};
        if (::sigaction(kFatalSignals[i], nullptr, &current) == 0 && handler_is_ours(current))
            restore_default_action(kFatalSignals[i]);
        g_handler_installed[i] = false;
    }
    // Only the process that created the name removes it: another process
    // unloading the library (the updater) leaves the service's lock alone.
    if (g_creator != 0 && g_creator == ::getpid())
        (void)::sem_unlink(kInstanceSemaphoreName);
    g_creator = 0;
    if (g_lock_fd >= 0)
        (void)::close(g_lock_fd);
    g_lock_fd = -1;
}

}  // namespace kv::helper
