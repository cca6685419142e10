// What the updater's library exports beyond the shared system, ELF and pid
// exports: its firewall check by the iptables listing, extraction through
// its own runner, ownership, copying, its updater-directory removal and the
// single-instance lock.
#include <cerrno>
#include <csignal>

#include "archive_extract.hpp"
#include "file_copy.hpp"
#include "file_owner.hpp"
#include "instance_lock.hpp"
#include "kvcefhelper.h"
#include "security_state.hpp"
#include "updater_command_runner.hpp"
#include "updater_directory.hpp"

using namespace kv::helper;

namespace {

// What the updater leaves in its working directory: the updater service,
// this library and the runtime's POSIX support library.
constexpr const char* kUpdaterServiceFiles[] = {"kvupdatesvc", "libkvcefhelper.so", kRuntimePosixLibrary};

}  // namespace

extern "C" {

KV_EXPORT volatile sig_atomic_t fatal_error_in_progress = 0;

KV_EXPORT int IsFireWallOn(void) noexcept { return firewall_rules_active() ? 1 : 0; }
KV_EXPORT int KvIsFireWallOn(void) noexcept { return IsFireWallOn(); }

KV_EXPORT int Decompress(const char* archive) noexcept {
    return decompress_beside(kUpdaterExtractPolicy, archive) == 0 ? 1 : 0;
}

KV_EXPORT int SelfExtractor(const char* command, const char* archive, const char* destination) noexcept {
    return self_extract(kUpdaterExtractPolicy, command, archive, destination) == 0 ? 0 : -1;
}

KV_EXPORT int KvUpdaterRemoveTmpDir(void) noexcept {
    return remove_updater_directory(kUpdaterServiceFiles) == 0 ? 0 : -1;
}

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
    if (rc < 0) {
        errno = -rc;
        return -1;
    }
    return 0;
}

KV_EXPORT int KvCopyFile(const char* source, const char* destination) noexcept {
    return copy_file(source, destination) == 0 ? 0 : -1;
}

KV_EXPORT int OpenSemaphore(void) noexcept {
    const int rc = open_instance_lock();
    return rc < 0 ? -rc : 0;
}

KV_EXPORT int UnlinkSemaphore(void) noexcept {
    const int rc = unlink_instance_lock();
    if (rc < 0) {
        errno = -rc;
        return -1;
    }
    return 0;
}

}  // extern "C"
