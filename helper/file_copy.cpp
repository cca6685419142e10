// File copy in the kernel where it can (copy_file_range), read/write where
// it cannot, into a temporary file that is renamed over the destination.
#include "file_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fd_io.hpp"
#include "unique_handle.hpp"

namespace kv::helper {
namespace {

constexpr std::size_t kBlock = 128 * 1024;

// The process's umask without changing it (umask(2) would, for a moment,
// for every thread): the "Umask:" line of /proc/self/status.
mode_t current_umask() noexcept {
    const kv::UniqueFd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (fd) {
        char text[4096];
        const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
        if (n > 0) {
            text[n] = '\0';
            if (const char* line = std::strstr(text, "\nUmask:\t"))
                return static_cast<mode_t>(std::strtoul(line + 8, nullptr, 8) & 0777);
        }
    }
    return 022;
}

// Copies the whole of `in` (from its current offset) to `out`: in the
// kernel while it copies, then read/write to the end, which also covers
// files whose size the kernel does not know (/proc) and file systems
// without copy_file_range.
int copy_contents(int in, int out) noexcept {
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1u << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == ENOSPC || errno == EIO || errno == EFBIG || errno == EDQUOT)
            return -errno;
        break;   // not possible between these files: copy by hand
    }
    static thread_local char block[kBlock];
    for (;;) {
        const ssize_t n = ::read(in, block, sizeof block);
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        const int written = kv::write_all(out, block, static_cast<std::size_t>(n));
        if (written != 0)
            return written;
    }
}

}  // namespace

int copy_file(const char* source, const char* destination) noexcept {
    if (source == nullptr || destination == nullptr || *source == '\0' || *destination == '\0')
        return -EINVAL;
    const kv::UniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
    if (!in)
        return -errno;
    struct stat from {};
    if (::fstat(in.get(), &from) != 0)
        return -errno;
    // A destination that is a link is written where it points, as opening
    // it for writing would have.
    std::string target(destination);
    char resolved[PATH_MAX];
    struct stat link {};
    if (::lstat(destination, &link) == 0 && S_ISLNK(link.st_mode) && ::realpath(destination, resolved) != nullptr)
        target = resolved;
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    // Copying a file onto itself would truncate it first.
    if (exists && existing.st_dev == from.st_dev && existing.st_ino == from.st_ino)
        return -EINVAL;

    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // The temporary name is hidden and unique; a long name gets a short
    // stem, so the temporary name never exceeds the name limit.
    const std::string stem = base.size() <= 200 ? base : std::string("kvcopy");
    std::string temp = directory + (directory.back() == '/' ? "" : "/") + "." + stem + ".XXXXXX";
    kv::UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out)
        return -errno;
    int rc = copy_contents(in.get(), out.get());
    if (rc == 0) {
        if (exists) {
            // Allowed for root only; anyone else's copy stays their own, so
            // a refusal is no failure.
            [[maybe_unused]] const int owner_kept = ::fchown(out.get(), existing.st_uid, existing.st_gid);
            rc = ::fchmod(out.get(), existing.st_mode & 07777) == 0 ? 0 : -errno;
        } else {
            rc = ::fchmod(out.get(), 0666 & ~current_umask()) == 0 ? 0 : -errno;
        }
    }
    // close() reports what a delayed write (NFS, quota) could not store.
    if (::close(out.release()) != 0 && rc == 0)
        rc = -errno;
    if (rc == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        rc = -errno;
    if (rc != 0)
        (void)::unlink(temp.c_str());
    return rc;
}

}  // namespace kv::helper
