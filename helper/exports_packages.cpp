// libkvhelper's exported extraction and package functions, and the Kv…
// forwarders of the plain exports (those of ownership, copy and the lock are
// shared with the updater's library).
#include "archive_extract.hpp"
#include "kvhelper.h"
#include "package_manager.hpp"
#include "updater_directory.hpp"

using namespace kv::helper;

extern "C" {

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

KV_EXPORT int KvChangeFileOwnerGroup(const char* path, const char* user, const char* group) noexcept {
    return ChangeFileOwnerGroup(path, user, group);
}

KV_EXPORT int KvChangeFileOwnerToCurrentUser(const char* path) noexcept { return ChangeFileOwnerToCurrentUser(path); }

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

KV_EXPORT int KvOpenSemaphore(void) noexcept { return OpenSemaphore(); }

KV_EXPORT int KvUnlinkSemaphore(void) noexcept { return UnlinkSemaphore(); }

}  // extern "C"
