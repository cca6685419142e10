// Exported extraction, package, ownership, copy and single-instance
// functions: each Kv… name forwards to its plain export, which checks its
// arguments and translates the module's codes.
#include <cerrno>
#include <csignal>

#include "archive_extract.hpp"
#include "file_copy.hpp"
#include "file_owner.hpp"
#include "instance_lock.hpp"
#include "kvhelper.h"
#include "package_manager.hpp"
#include "updater_directory.hpp"

using namespace kv::helper;

extern "C" {

KV_EXPORT volatile sig_atomic_t fatal_error_in_progress = 0;

KV_EXPORT int SelfExtractor(const char* command, const char* archive, const char* destination) noexcept {
    return self_extract(kHelperExtractPolicy, command, archive, destination) == 0 ? 0 : -1;
}
KV_EXPORT int KvSelfExtractor(const char* command, const char* archive, const char* destination) noexcept {
    return SelfExtractor(command, archive, destination);
}

KV_EXPORT int Decompress(const char* archive) noexcept {
    return decompress_beside(kHelperExtractPolicy, archive) == 0 ? 1 : 0;
}
KV_EXPORT int KvDecompress(const char* archive) noexcept { return Decompress(archive); }

KV_EXPORT int ChangeFileOwnerGroup(const char* path, const char* user, const char* group) noexcept {
    return change_owner_group(path, user, group) == 0 ? 1 : 0;
}
KV_EXPORT int KvChangeFileOwnerGroup(const char* path, const char* user, const char* group) noexcept {
    return ChangeFileOwnerGroup(path, user, group);
}

KV_EXPORT int ChangeFileOwnerToCurrentUser(const char* path) noexcept {
    return change_owner_to_login_user(path) == 0 ? 1 : 0;
}
KV_EXPORT int KvChangeFileOwnerToCurrentUser(const char* path) noexcept { return ChangeFileOwnerToCurrentUser(path); }

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

KV_EXPORT int KvUpdaterRemoveTmpDir(void) noexcept {
    return remove_updater_directory(kHelperUpdaterFiles) == 0 ? 0 : -1;
}

KV_EXPORT int RunPackageCommand(const char* command) noexcept { return run_package_command(command) == 0 ? 1 : 0; }

KV_EXPORT int RunPackageMgr(const char* action, const char* package, char* output, size_t size, int kind) noexcept {
    return run_package_manager(action, package, output, size, kind) == 0 ? 1 : 0;
}

KV_EXPORT void PackageVersionString(const char* command, char* buffer, size_t size) noexcept {
    package_version_text(command, buffer, size);
}

KV_EXPORT int DriversRunning(void) noexcept { return driver_modules_loaded() ? 1 : 0; }

KV_EXPORT int PackageManagerAvailable(const char* name) noexcept { return program_available(name) ? 1 : 0; }

KV_EXPORT int OpenSemaphore(void) noexcept { return -open_instance_lock(); }
KV_EXPORT int KvOpenSemaphore(void) noexcept { return OpenSemaphore(); }

KV_EXPORT int UnlinkSemaphore(void) noexcept {
    const int rc = unlink_instance_lock();
    if (rc == 0)
        return 0;
    errno = -rc;
    return -1;
}
KV_EXPORT int KvUnlinkSemaphore(void) noexcept { return UnlinkSemaphore(); }

}  // extern "C"
