// Removal of the updater's working directory.
#include "updater_directory.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control_paths.hpp"

namespace kv::helper {

int remove_updater_directory(std::span<const char* const> files) noexcept {
    struct stat st {};
    if (::lstat(kUpdaterDir, &st) != 0)
        return errno == ENOENT ? 0 : -errno;
    // lstat: a link in the directory's place is not followed into where it
    // points; removing it as a directory then fails.
    if (S_ISDIR(st.st_mode)) {
        for (const char* name : files) {
            const std::string path = std::string(kUpdaterDir) + "/" + name;
            (void)::unlink(path.c_str());
        }
    }
    return ::rmdir(kUpdaterDir) == 0 ? 0 : -errno;
}

}  // namespace kv::helper
