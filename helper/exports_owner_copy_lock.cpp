// Exported ownership, copy and single-instance functions, the same in both
// helper libraries: each checks its arguments and translates the module's
// codes.
#include <cerrno>
#include <csignal>

#include "file_copy.hpp"
#include "file_owner.hpp"
#include "instance_lock.hpp"
#include "kvhelper.h"

using namespace kv::helper;

extern "C" {

KV_EXPORT volatile sig_atomic_t fatal_error_in_progress = 0;

KV_EXPORT int ChangeFileOwnerGroup(const char* path, const char* user, const char* group) noexcept {
    return change_owner_group(path, user, group) == 0 ? 1 : 0;
}

KV_EXPORT int ChangeFileOwnerToCurrentUser(const char* path) noexcept {
    return change_owner_to_login_user(path) == 0 ? 1 : 0;
}

KV_EXPORT int KvChown(const char* path, uid_t uid, gid_t gid) noexcept {
    if (path == nullptr)
        return 0;
    const int rc = change_owner_ids(path, uid, gid);
    if (rc == 0)
        return 0;
    errno = -rc;   // as the system call leaves it
    return -1;
}

KV_EXPORT int KvCopyFile(const char* source, const char* destination) noexcept {
    return copy_file(source, destination) == 0 ? 0 : -1;
}

KV_EXPORT int OpenSemaphore(void) noexcept { return -open_instance_lock(); }

KV_EXPORT int UnlinkSemaphore(void) noexcept {
    const int rc = unlink_instance_lock();
    if (rc == 0)
        return 0;
    errno = -rc;
    return -1;
}

}  // extern "C"
