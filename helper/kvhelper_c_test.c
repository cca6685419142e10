/* The public header as a C caller sees it: it compiles as C, and each
 * system, process and ELF export is called once through it. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "kvhelper.h"

static int failures;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(int argc, char** argv) {
    const char* library = argc > 1 ? argv[1] : "";
    char text[256];
    size_t size = sizeof text;
    int pids[4];
    int count = 4;
    int major = -1, minor = -1, patch = -1, build = -1, type = 0, longest = 0;
    uint64_t total = 0, available = 0, offset = 0, length = 0;
    gid_t groups[32];
    uint16_t wide[16];
    unsigned char battery = 1;
    unsigned int info_size = sizeof text;
    PasswdHolder holder;
    char* data = NULL;

    GetPlatformProperty("SystemUUID", text, sizeof text);
    check(ListProcesses(pids, &count) == 0 && count >= 1, "ListProcesses");
    count = 4;
    check(ListChildProcesses((unsigned long)getpid(), pids, &count) == 0 && count == 0, "ListChildProcesses");
    check(IsProcessParent(getpid(), (unsigned long)getppid()) == 1, "IsProcessParent");
    check(IsProcess64bits(-1) == 0, "IsProcess64bits");
    check(IsProcessRunning(getpid()) == 1, "IsProcessRunning");
    size = sizeof text;
    check(GetActiveUsers(text, &size) == 0, "GetActiveUsers");
    size = sizeof text;
    check(GetProcessModules(0, text, &size) == 4, "GetProcessModules");
    size = sizeof text;
    check(GetProcessModulesImpl(0, text, &size) == -1, "GetProcessModulesImpl");
    size = sizeof text;
    check(GetProcessFullPath(getpid(), text, &size) == 0 && size > 0, "GetProcessFullPath");
    check(KillProcess(1) == -1 && errno == EINVAL, "KillProcess");
    GetOSVersion(&major, &minor, &patch, &build);
    check(major >= 2, "GetOSVersion");
    GetSystemArchitecture(text, sizeof text);
    check(text[0] != '\0', "GetSystemArchitecture");
    check(KvGetHostName(1, text, sizeof text) == GetHostName(1, text, sizeof text), "GetHostName");
    check(KvGetCurrentThreadId() == GetCurrentThreadId(), "GetCurrentThreadId");
    check(KvGetGroupGid("daemon") == 1 && GetGroupGid("") == 0, "GetGroupGid");
    check(KvGetUserUid("daemon") == 1 && GetUserUid(NULL) == 0, "GetUserUid");
    count = 32;
    check(KvGetGroupsForUser(0, groups, &count) >= 1, "KvGetGroupsForUser");
    check(KvGetFileSystemInfo("/", &type, &total, &available, &longest) == 1 &&
              GetFileSystemInfo("/", NULL, NULL, NULL, NULL) == 1, "GetFileSystemInfo");
    check(KvIsParentPathLocal("/no/such/path") == 1 && IsParentPathLocal(NULL) == 1, "IsParentPathLocal");
    check(KvIsFireWallOn() == IsFireWallOn(), "IsFireWallOn");
    check(KvIsSELinuxEnabled() == IsSELinuxEnabled(), "IsSELinuxEnabled");
    check(KvIsFSEncryptionEnabled() == IsFSEncryptionEnabled(), "IsFSEncryptionEnabled");
    check(GetUnicodeStrFromCString("ok", wide, sizeof wide) == 1 && wide[0] == 'o' && wide[2] == 0,
          "GetUnicodeStrFromCString");
    char* back = Unistr2Cstr(wide);
    check(back != NULL && strcmp(back, "ok") == 0, "Unistr2Cstr");
    free(back);
    check(UniStrncpy(wide + 4, wide, 3) == wide + 4 && wide[5] == 'k', "UniStrncpy");
    FILE* f = kv_fopen("/proc/self/status", "r");
    check(f != NULL, "kv_fopen");
    if (f != NULL)
        fclose(f);
    kv_passwd_init(&holder);
    check(kv_getpwuid(0, &holder) == 0 && strcmp(holder.pwd.pw_name, "root") == 0, "kv_getpwuid");
    kv_passwd_destroy(&holder);
    check(SystemIdleTime() == 0 && KvGetDylibVersion() == 0 && KvIsAutoCheckUpdateEnabled() == 0 &&
              KvIsGateKeeperEnabled() == 0 && KvWebSitesRestricationLevel() == -1 && KvGetRootlessConfig() == -1 &&
              KvSetSharedRegionUnnestLogging() == -1 && KvIsVolumeCaseSensitive("/") == -1 &&
              IsVolumeCaseSensitive("/") == -1 && KvGetEventStatistics() == 1 && KvGetMachEventStatistics() == 0,
          "fixed results");
    KvLogToSystem();
    check(KvRegisterPowerSource(NULL, &battery) == 1 && battery == 0 && RegisterPowerSource(NULL, NULL) == 0,
          "RegisterPowerSource");
    KvUnRegisterPowerSource();
    UnRegisterPowerSource();

    ElfContext* ctx = kv_elf_open(library);
    check(ctx != NULL, "kv_elf_open");
    check(kv_get_file_size(ctx) > 0, "kv_get_file_size");
    check(kv_elf_get_section_offset(ctx, version_section_string, &offset, &length) == 0 && length == 13,
          "kv_elf_get_section_offset");
    check(kv_elf_read_section(ctx, "__version", &data) == 13 && strcmp(data, version_number) == 0,
          "kv_elf_read_section");
    free(data);
    check(kv_elf_extract_section(ctx, copyright_section_string, "/tmp/kv-c-test-out") == -1,
          "kv_elf_extract_section");
    check(kv_elf_update_section_data(ctx, "__version", "x", 1) == -1, "kv_elf_update_section_data");
    kv_elf_close(ctx);
    kv_elf_close(kv_elf_open_rw(NULL));
    kv_elf_close(kv_elf_open_full(NULL, 0));
    f = kv_elf_fopen(library, "r");
    check(f != NULL, "kv_elf_fopen");
    if (f != NULL)
        fclose(f);
    check(ELFGetSectionOffset(library, "__version", &offset, &length) == 0, "ELFGetSectionOffset");
    check(ELFGetVersionString(library, text, sizeof text, 0) == 0 && strcmp(text, get_version()) == 0,
          "ELFGetVersionString");
    check(KvGetKorvaneDylibVersion(library, text, 4) == 13, "KvGetKorvaneDylibVersion");
    check(GetProductVersion(library, text, sizeof text) == 1, "GetProductVersion");
    check(KvGetProductVersion(text, sizeof text) == 0, "KvGetProductVersion");
    check(KvGetExecutableInfo(library, text, &info_size) == 1 && GetExecutableInfo(library, text, &info_size) == 1,
          "GetExecutableInfo");
    check(strstr(JSON_STRING_FORMAT, "%s") != NULL, "JSON_STRING_FORMAT");
    check(KvModelDataOffset(library, &offset, &length) == 0, "KvModelDataOffset");

    /* Control: the tools are stand-ins bound over their paths. */
    check(execute_cmd("echo c", text, sizeof text, NULL) == 0 && strcmp(text, "c\n") == 0, "execute_cmd");
    unsigned int found = 4;
    check(get_array_of_pids(pids, &found) == 1 && found == 0, "get_array_of_pids");
    check(KvStartKvUI(NULL, 0) == 1 && StartKvUI(pids, 0) == 1, "StartKvUI");
    found = 0;
    check(KvStopKvUI(pids, &found) == 1 && StopKvUI(NULL, &found) == 0, "StopKvUI");
    check(KvStartKvService() == 0 && StartKvService() == 0, "StartKvService");
    check(KvStopKvService() == 1 && StopKvService() == 1, "StopKvService");
    /* No driver sources here: both modprobe calls, answered with status 0. */
    check(KvStartKvKext() == 1 && StartKvDriver() == 1, "StartKvDriver");
    check(KvStopKvKext() == 1 && StopKvDriver() == 1, "StopKvDriver");
    check(KvStartKvUpdater("1", "/", "a", "") == 0 && StartKvUpdater(NULL, "/", "a", "b") == 0, "StartKvUpdater");

    /* Extraction, packages, owners, copies, the instance lock. */
    check(KvSelfExtractor(NULL, NULL, NULL) == -1 && SelfExtractor("true", NULL, NULL) == 0, "SelfExtractor");
    check(KvDecompress("pkg.tgz") == 0 && Decompress(NULL) == 0, "Decompress");
    check(KvChangeFileOwnerGroup("", "u", "g") == 0 && ChangeFileOwnerGroup("/", NULL, "g") == 0,
          "ChangeFileOwnerGroup");
    check(KvChangeFileOwnerToCurrentUser("") == 0 && ChangeFileOwnerToCurrentUser(NULL) == 0,
          "ChangeFileOwnerToCurrentUser");
    FILE* src = fopen("/tmp/kv_c_copy_src", "w");
    check(src != NULL && fputs("copy me\n", src) >= 0 && fclose(src) == 0, "copy source");
    check(KvChown(NULL, 0, 0) == 0 && KvChown("/tmp/kv_c_copy_src", getuid(), getgid()) == 0, "KvChown");
    check(KvCopyFile("/tmp/kv_c_copy_src", "/tmp/kv_c_copy_dst") == 0 &&
              KvCopyFile("/tmp/kv_c_copy_src", "/tmp/kv_c_copy_src") == -1,
          "KvCopyFile");
    check(KvUpdaterRemoveTmpDir() == 0, "KvUpdaterRemoveTmpDir");
    check(RunPackageCommand("true") == 1 && RunPackageCommand("false") == 0, "RunPackageCommand");
    check(RunPackageMgr("-s", "pkg", text, sizeof text, 2) == 0 &&
              strcmp(text, "2 package manager is not supported\n") == 0,
          "RunPackageMgr");
    PackageVersionString("true", text, sizeof text);
    check(strcmp(text, "0.0.0.0") == 0, "PackageVersionString");
    check(DriversRunning() == 0, "DriversRunning");
    check(PackageManagerAvailable("-a") == 0, "PackageManagerAvailable");
    /* The lock's name and lock file on private mounts, not the machine's. */
    check(mount("kv-shm", "/dev/shm", "tmpfs", 0, NULL) == 0 && mount("kv-run", "/run", "tmpfs", 0, NULL) == 0,
          "private /dev/shm and /run");
    check(KvOpenSemaphore() == 0 && OpenSemaphore() == EEXIST && fatal_error_in_progress == 0, "OpenSemaphore");
    check(KvUnlinkSemaphore() == 0 && UnlinkSemaphore() == -1 && errno == ENOENT, "UnlinkSemaphore");

    /* Counters and the watchdog (not armed in this process). */
    uint64_t values[5] = {0};
    double user = -1, kernel = -1;
    check(KvInitializePeroformanceCounters() >= 1 && InitializeCounters() >= 1, "InitializeCounters");
    check(KvGetCPUsages(values, 4) == 0 && GetCPUUsages(values, 5) == 1, "GetCPUUsages");
    check(GetCPUPercentageOverTime(0, &user, &kernel) == 0 && user >= 0, "GetCPUPercentageOverTime");
    check(KvGetMemoryStatistics(values, 4) == 1 && GetMemoryStatistics(values, 3) == 0, "GetMemoryStatistics");
    check(KvGetOpenedFileAndSockCnnections(values, 2) == 1 && GetOpenedFileAndSockCnnections(values, 1) == 0,
          "GetOpenedFileAndSockCnnections");
    check(KvGetMiscStatistics(values, 1) == 1 && GetMiscStatistics(values, 0) == 0, "GetMiscStatistics");
    check(GetEventStatistics(values, 3) == 1, "GetEventStatistics");
    KvDeadLockWatch();
    check(watchdog_deadlock() == 0, "KvDeadLockWatch");
    watchdog_keepalive();
    check(watchdog_deadlock() == 0 && watchdog_deadlock() == 10, "watchdog_deadlock");
    check(watchdog_memoryuse() == 0 && watchdog_cpuuse() == 0, "watchdog monitors");
    watchdog_updater_disable();
    watchdog_updater_enable();
    KvDeadLockDisable();
    watchdog_disable();
    KvDeadLockStop();
    watchdog_stop();
    check(watchdog_thread(NULL) == NULL, "watchdog_thread");
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
