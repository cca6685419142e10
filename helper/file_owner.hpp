// Handing files to other owners: chown through sudo for a named user and
// group, chown to the user logged in on the controlling terminal, and the
// plain system call. Shared by both helper libraries.
#pragma once

#include <sys/types.h>

namespace kv::helper {

// Runs "/usr/bin/sudo /bin/chown [-R] -- USER:GROUP PATH" (-R for a
// directory), values quoted. 0; -EINVAL for an empty or unsafe value (user
// or group that could be read as an option, control characters) or a
// command over its bound; -errno when the path cannot be examined; -EIO
// when chown failed.
int change_owner_group(const char* path, const char* user, const char* group) noexcept;

// Finds the user of "/usr/bin/who -m" (first field of its first line) and
// runs "/bin/chown -- USER PATH". 0; -EINVAL for an empty path, no user or
// an unsafe user name; -EIO when who could not run or chown failed.
int change_owner_to_login_user(const char* path) noexcept;

// chown(2) of `path`: 0, or -errno.
int change_owner_ids(const char* path, uid_t uid, gid_t gid) noexcept;

}  // namespace kv::helper
