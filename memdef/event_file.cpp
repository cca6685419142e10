// Event-file writing. Only stack buffers and system calls: this runs inside
// hooked calls, possibly from within the host's allocator. The directory is
// shared and chosen by the environment, so the file is created exclusively
// (no following a planted link, no blocking on a planted FIFO) under a
// temporary name and renamed into place complete.
#include "event_file.hpp"

#include <fcntl.h>
#include <stdio.h>        // renameat2 (a system-call wrapper; no stdio use)
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "agent_channel.hpp"
#include "comm_params.hpp"
#include "cryptor.hpp"
#include "fd_io.hpp"
#include "md_export.hpp"
#include "md_format.hpp"

namespace kv::md {
namespace {

constinit std::atomic<std::uint32_t> g_event_counter{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

void copy_bytes(std::uint8_t* out, const void* in, std::size_t n) noexcept {
    const auto* src = static_cast<const std::uint8_t*>(in);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = src[i];
}

// Moves `from` to `to` without replacing an existing `to`; falls back to a
// plain rename where the file system lacks RENAME_NOREPLACE.
int rename_noreplace(int dirfd, const char* from, const char* to) noexcept {
    if (renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -errno;
    return renameat(dirfd, from, dirfd, to) == 0 ? 0 : -errno;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            (void)close(fd);
    }
};

}  // namespace

std::size_t event_image(std::uint8_t* out, std::size_t capacity, std::uint32_t pid, const void* header,
                        std::size_t header_length, const void* parameters, std::size_t parameters_length) noexcept {
    if (header_length > capacity || parameters_length > capacity)
        return 0;
    const std::size_t length = kEventFileHeader + header_length + parameters_length + 4;
    const std::size_t padded = (length + 7) & ~std::size_t{7};
    if (padded > capacity || length > 0xFFFFFFFF)
        return 0;
    store_le32(out, kEventMagic);
    store_le32(out + 4, kEventKind == 2 ? 1 : 0);
    store_le32(out + 8, kEventKind);
    store_le32(out + 12, pid);
    store_le32(out + 16, static_cast<std::uint32_t>(length));
    copy_bytes(out + kEventFileHeader, header, header_length);
    copy_bytes(out + kEventFileHeader + header_length, parameters, parameters_length);
    store_le32(out + length - 4, kEventMagic);
    for (std::size_t p = length; p < padded; ++p)
        out[p] = static_cast<std::uint8_t>(p - 52);
    return padded;
}

std::size_t event_file_name(char* out, std::size_t size, const char* dir, std::uint32_t pid, std::uint64_t time,
                            std::uint32_t counter) noexcept {
    const int n = format(out, size, "%sKorvaneMemDef.%u.%llu.%u.kor", dir, static_cast<unsigned>(pid),
                         static_cast<unsigned long long>(time), static_cast<unsigned>(counter));
    // A name cut short by the capacity is no name at all.
    if (n <= 0 || static_cast<std::size_t>(n) + 1 >= size) {
        if (size > 0)
            out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n);
}

int send_event(const void* header, std::size_t header_length, const void* parameters,
               std::size_t parameters_length) noexcept {
    const char* dir = agent_temp_dir();
    if (dir[0] != '/')
        return -ENOENT;
    if ((header == nullptr && header_length != 0) || (parameters == nullptr && parameters_length != 0))
        return -EINVAL;
    const std::size_t dir_length = text_length(dir);
    const FdCloser dirfd{open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (dirfd.fd < 0)
        return -errno;
    const std::uint32_t pid = static_cast<std::uint32_t>(getpid());

    char path[kPathCapacity];
    char temp_name[128];
    std::uint8_t image[kEventImageCapacity];
    int result = -EEXIST;
    for (int attempt = 0; attempt < kEventNameTries && result == -EEXIST; ++attempt) {
        const std::uint32_t counter = g_event_counter.fetch_add(1, std::memory_order_relaxed);
        const std::size_t path_length =
            event_file_name(path, sizeof path, dir, pid, static_cast<std::uint64_t>(time(nullptr)), counter);
        if (path_length == 0)
            return -ENAMETOOLONG;
        const char* name = path + dir_length;
        if (format(temp_name, sizeof temp_name, ".%s.tmp", name) + 1 >= static_cast<int>(sizeof temp_name))
            return -ENAMETOOLONG;

        const std::size_t size = event_image(image, sizeof image, pid, header, header_length, parameters,
                                             parameters_length);
        if (size == 0)
            return -EMSGSIZE;
        crypt_with_path(path, path_length, image, size, true);

        const FdCloser fd{openat(dirfd.fd, temp_name,
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600)};
        if (fd.fd < 0) {
            result = -errno;
            continue;   // EEXIST: someone holds this name; take the next counter value
        }
        result = write_all(fd.fd, image, size);
        if (result == 0)
            result = rename_noreplace(dirfd.fd, temp_name, name);
        if (result != 0)
            (void)unlinkat(dirfd.fd, temp_name, 0);
    }
    return result;
}

std::uint32_t event_counter() noexcept { return g_event_counter.load(std::memory_order_relaxed); }

}  // namespace kv::md
