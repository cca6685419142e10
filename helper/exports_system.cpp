// Exported system and process facts: each export checks its arguments,
// calls the module and translates the module's codes into its documented
// result. Both helper libraries build this file; each has its own firewall
// check (exports_firewall_module.cpp, exports_updater.cpp).
#include <cerrno>
#include <cstring>

#include "file_open.hpp"
#include "filesystem_info.hpp"
#include "kvhelper.h"
#include "passwd_holder.hpp"
#include "process_info.hpp"
#include "security_state.hpp"
#include "system_info.hpp"
#include "user_info.hpp"
#include "utf16_text.hpp"

using namespace kv::helper;

// The records the service allocates itself keep one layout per build.
static_assert(sizeof(void*) == 8 ? sizeof(PasswdHolder) == 64 : sizeof(PasswdHolder) == 36);
static_assert(offsetof(PasswdHolder, buffer) == sizeof(void*) && offsetof(PasswdHolder, pwd) == 2 * sizeof(void*));

extern "C" {

KV_EXPORT void GetPlatformProperty(const char* name, char* buffer, size_t size) noexcept {
    platform_property(name, buffer, size);
}

KV_EXPORT int ListProcesses(int* pids, int* count) noexcept {
    if (count != nullptr)
        (void)list_processes(pids, count);
    return 0;
}

KV_EXPORT int ListChildProcesses(unsigned long parent, int* pids, int* count) noexcept {
    if (count != nullptr)
        (void)list_child_processes(parent, pids, count);
    return 0;
}

KV_EXPORT int IsProcessParent(int pid, unsigned long parent) noexcept {
    unsigned long actual = 0;
    return pid > 0 && read_parent_pid(static_cast<unsigned long>(pid), &actual) == 0 && actual == parent ? 1 : 0;
}

KV_EXPORT int IsProcess64bits(int pid) noexcept { return is_process_64bit(pid) ? 1 : 0; }

KV_EXPORT int IsProcessRunning(int pid) noexcept { return is_process_running(pid) ? 1 : 0; }

KV_EXPORT int GetActiveUsers(char* buffer, size_t* size) noexcept {
    if (size != nullptr)
        active_users(buffer, size);
    return 0;
}

KV_EXPORT int GetProcessModulesImpl(unsigned int pid, char* buffer, size_t* size) noexcept {
    if (buffer == nullptr || size == nullptr || *size == 0)
        return -1;
    return process_modules(pid, buffer, size) == 0 ? 0 : -1;
}

KV_EXPORT int GetProcessModules(unsigned int pid, char* buffer, size_t* size) noexcept {
    if (pid == 0 || buffer == nullptr || size == nullptr || *size == 0)
        return 4;
    return GetProcessModulesImpl(pid, buffer, size);
}

KV_EXPORT int GetProcessFullPath(int pid, char* buffer, size_t* size) noexcept {
    if (pid <= 0 || buffer == nullptr || size == nullptr)
        return 4;
    return process_full_path(pid, buffer, size) == 0 ? 0 : 4;
}

KV_EXPORT int KillProcess(int pid) noexcept { return terminate_process(pid); }

KV_EXPORT void GetOSVersion(int* major, int* minor, int* patch, int* build) noexcept {
    os_version(major, minor, patch, build);
}

KV_EXPORT void GetSystemArchitecture(char* buffer, size_t size) noexcept { system_architecture(buffer, size); }

KV_EXPORT int GetHostName(unsigned char full, char* buffer, size_t size) noexcept {
    return host_name(full, buffer, size) ? 1 : 0;
}
KV_EXPORT int KvGetHostName(unsigned char full, char* buffer, size_t size) noexcept {
    return GetHostName(full, buffer, size);
}

KV_EXPORT int GetCurrentThreadId(void) noexcept { return current_thread_id(); }
KV_EXPORT int KvGetCurrentThreadId(void) noexcept { return GetCurrentThreadId(); }

KV_EXPORT gid_t GetGroupGid(const char* name) noexcept { return group_id(name); }
KV_EXPORT gid_t KvGetGroupGid(const char* name) noexcept { return GetGroupGid(name); }
KV_EXPORT uid_t GetUserUid(const char* name) noexcept { return user_id(name); }
KV_EXPORT uid_t KvGetUserUid(const char* name) noexcept { return GetUserUid(name); }

KV_EXPORT int KvGetGroupsForUser(uid_t uid, gid_t* groups, int* count) noexcept {
    if (count == nullptr)
        return -1;
    return groups_for_user(uid, groups, count);
}

KV_EXPORT int GetFileSystemInfo(const char* path, int* type, uint64_t* total_bytes, uint64_t* available_bytes,
                                int* longest_name) noexcept {
    FsInfo info{};
    if (filesystem_info(path, &info) != 0)
        return 0;
    if (type != nullptr)
        *type = static_cast<int>(info.type);
    if (total_bytes != nullptr)
        *total_bytes = info.total_bytes;
    if (available_bytes != nullptr)
        *available_bytes = info.available_bytes;
    if (longest_name != nullptr)
        *longest_name = info.longest_name;
    return 1;
}
KV_EXPORT int KvGetFileSystemInfo(const char* path, int* type, uint64_t* total_bytes, uint64_t* available_bytes,
                                  int* longest_name) noexcept {
    return GetFileSystemInfo(path, type, total_bytes, available_bytes, longest_name);
}

KV_EXPORT int IsParentPathLocal(const char* path) noexcept { return is_parent_path_local(path); }
KV_EXPORT int KvIsParentPathLocal(const char* path) noexcept { return IsParentPathLocal(path); }

KV_EXPORT int IsSELinuxEnabled(void) noexcept { return selinux_enforcing() ? 1 : 0; }
KV_EXPORT int KvIsSELinuxEnabled(void) noexcept { return IsSELinuxEnabled(); }
KV_EXPORT int IsFSEncryptionEnabled(void) noexcept { return disk_encryption_enabled() ? 1 : 0; }
KV_EXPORT int KvIsFSEncryptionEnabled(void) noexcept { return IsFSEncryptionEnabled(); }

KV_EXPORT int GetUnicodeStrFromCString(const char* text, uint16_t* out, size_t out_bytes) noexcept {
    return utf8_to_utf16(text, out, out_bytes) ? 1 : 0;
}
KV_EXPORT char* Unistr2Cstr(const uint16_t* text) noexcept { return utf16_to_utf8(text); }
KV_EXPORT uint16_t* UniStrncpy(uint16_t* dest, const uint16_t* src, size_t count) noexcept {
    if (dest == nullptr || src == nullptr)
        return dest;
    return utf16_copy(dest, src, count);
}

KV_EXPORT FILE* kv_fopen(const char* path, const char* mode) noexcept {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return fopen_retrying(path, mode);
}

KV_EXPORT void kv_passwd_init(PasswdHolder* holder) noexcept { passwd_init(holder); }
KV_EXPORT void kv_passwd_destroy(PasswdHolder* holder) noexcept { passwd_destroy(holder); }
KV_EXPORT int kv_getpwuid(uid_t uid, PasswdHolder* holder) noexcept { return passwd_lookup(uid, holder); }

KV_EXPORT int SystemIdleTime(void) noexcept { return 0; }
KV_EXPORT int KvGetDylibVersion(void) noexcept { return 0; }
KV_EXPORT int KvIsAutoCheckUpdateEnabled(void) noexcept { return 0; }
KV_EXPORT int KvIsGateKeeperEnabled(void) noexcept { return 0; }
KV_EXPORT int KvWebSitesRestricationLevel(void) noexcept { return -1; }
KV_EXPORT int KvGetRootlessConfig(void) noexcept { return -1; }
KV_EXPORT int KvSetSharedRegionUnnestLogging(void) noexcept { return -1; }
KV_EXPORT int IsVolumeCaseSensitive(const char*) noexcept { return -1; }
KV_EXPORT int KvIsVolumeCaseSensitive(const char* path) noexcept { return IsVolumeCaseSensitive(path); }
KV_EXPORT int KvGetEventStatistics(void) noexcept { return 1; }
KV_EXPORT int KvGetMachEventStatistics(void) noexcept { return 0; }
KV_EXPORT void KvLogToSystem(void) noexcept {}

KV_EXPORT int RegisterPowerSource(void*, unsigned char* on_battery) noexcept {
    if (on_battery == nullptr)
        return 0;
    *on_battery = 0;
    return 1;
}
KV_EXPORT int KvRegisterPowerSource(void* ignored, unsigned char* on_battery) noexcept {
    return RegisterPowerSource(ignored, on_battery);
}
KV_EXPORT void UnRegisterPowerSource(void) noexcept {}
KV_EXPORT void KvUnRegisterPowerSource(void) noexcept { UnRegisterPowerSource(); }

}  // extern "C"
