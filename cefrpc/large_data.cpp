// Writing, sizing and consuming large-data files. Names are "<dir>/<time>_<n>"
// with n drawn from a per-process sequence, so two processes writing in the
// same second do not walk the same names.
#include "large_data.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fd_io.hpp"
#include "unique_handle.hpp"

namespace kv::rpc {
namespace {

std::uint64_t mix(std::uint64_t x) noexcept {   // splitmix64 finaliser
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A non-negative int for the name, from a sequence seeded once per process:
// a forked child sees a new pid and seeds its own.
int next_name_value() noexcept {
    static std::atomic<pid_t> seeded_pid{0};
    static std::atomic<std::uint64_t> seed{0};
    static std::atomic<std::uint64_t> counter{0};
    const pid_t pid = getpid();
    if (seeded_pid.load(std::memory_order_acquire) != pid) {
        timespec now{};
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
                                 static_cast<std::uint64_t>(now.tv_nsec);
        seed.store(mix((static_cast<std::uint64_t>(pid) << 32) ^ ns), std::memory_order_relaxed);
        seeded_pid.store(pid, std::memory_order_release);
    }
    const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(mix(seed.load(std::memory_order_relaxed) + n) & INT_MAX);
}

// The directory exists afterwards: a non-directory in its place is removed
// first, and a directory created concurrently by another sender counts.
int ensure_directory() noexcept {
    struct stat st {};
    if (stat(kLargeDataDir, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        (void)unlink(kLargeDataDir);
    }
    if (mkdir(kLargeDataDir, 0700) == 0)
        return 0;
    const int error = errno;
    if (error == EEXIST && stat(kLargeDataDir, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return -error;
}

}  // namespace

int send_large_data(const void* payload, std::uint32_t length, char* path,
                    std::size_t path_size) noexcept {
    if (payload == nullptr || length == 0 || path == nullptr || path_size < kMinPathSize)
        return -EINVAL;
    const int r = ensure_directory();
    if (r < 0)
        return r;
    char name[kMinPathSize];
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        (void)std::snprintf(name, sizeof name, "%s/%ld_%d", kLargeDataDir,
                            static_cast<long>(std::time(nullptr)), next_name_value());
        UniqueFd fd(open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST)
                continue;
            return -errno;
        }
        const int w = write_all(fd.get(), payload, length);
        if (w < 0) {
            (void)unlink(name);
            return w;
        }
        std::memcpy(path, name, std::strlen(name) + 1);
        return 0;
    }
    return -EEXIST;
}

int large_data_size(const char* path, std::uint32_t* ret_size) noexcept {
    struct stat st {};
    if (lstat(path, &st) != 0)
        return -errno;
    if (S_ISLNK(st.st_mode))
        return -ELOOP;
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    if (static_cast<std::uint64_t>(st.st_size) > UINT32_MAX)
        return -EFBIG;
    *ret_size = static_cast<std::uint32_t>(st.st_size);
    return 0;
}

int large_data_read(const char* path, void* buffer, std::uint32_t capacity,
                    std::uint32_t* ret_size) noexcept {
    std::uint32_t size = 0;
    int r = large_data_size(path, &size);
    if (r < 0)
        return r;
    if (size > capacity)
        return kBufferTooSmall;
    // O_NOFOLLOW: a link swapped in after the check is refused, never read;
    // O_NONBLOCK: a FIFO swapped in cannot stall the reader.
    UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return -errno;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    if (static_cast<std::uint64_t>(st.st_size) > capacity)
        return kBufferTooSmall;
    size = static_cast<std::uint32_t>(st.st_size);
    *ret_size = size;
    r = read_all(fd.get(), buffer, size);
    fd.reset();
    (void)unlink(path);
    return r;
}

}  // namespace kv::rpc
