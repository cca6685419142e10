/* The updater library's public header as a C caller sees it: it compiles as
 * C beside libkvhelper's header (the declarations of the shared names
 * agree), every export is linked, and those that need no fixture are
 * called once. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kvcefhelper.h"
#include "kvhelper.h"

static int failures;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

/* Every function export, linked through the header. */
static void (*const exports[])(void) = {
    (void (*)(void))GetPlatformProperty, (void (*)(void))GetActiveUsers, (void (*)(void))GetProcessModules,
    (void (*)(void))GetProcessModulesImpl, (void (*)(void))GetOSVersion, (void (*)(void))GetSystemArchitecture,
    (void (*)(void))GetHostName, (void (*)(void))KvGetHostName, (void (*)(void))GetGroupGid,
    (void (*)(void))GetUserUid, (void (*)(void))GetFileSystemInfo, (void (*)(void))IsParentPathLocal,
    (void (*)(void))IsFireWallOn, (void (*)(void))KvIsFireWallOn, (void (*)(void))IsSELinuxEnabled,
    (void (*)(void))KvIsSELinuxEnabled, (void (*)(void))IsFSEncryptionEnabled,
    (void (*)(void))KvIsFSEncryptionEnabled, (void (*)(void))IsVolumeCaseSensitive,
    (void (*)(void))KvIsVolumeCaseSensitive, (void (*)(void))KvIsAutoCheckUpdateEnabled,
    (void (*)(void))KvIsGateKeeperEnabled, (void (*)(void))KvWebSitesRestricationLevel,
    (void (*)(void))KvGetRootlessConfig, (void (*)(void))KvLogToSystem, (void (*)(void))get_array_of_pids,
    (void (*)(void))kv_elf_open, (void (*)(void))kv_elf_close, (void (*)(void))kv_elf_get_section_offset,
    (void (*)(void))kv_elf_read_section, (void (*)(void))kv_elf_extract_section, (void (*)(void))kv_elf_fopen,
    (void (*)(void))ELFGetSectionOffset, (void (*)(void))ELFGetVersionString, (void (*)(void))GetProductVersion,
    (void (*)(void))GetExecutableInfo, (void (*)(void))KvGetExecutableInfo,
    (void (*)(void))KvGetKorvaneDylibVersion, (void (*)(void))get_version,
    (void (*)(void))ChangeFileOwnerGroup, (void (*)(void))ChangeFileOwnerToCurrentUser, (void (*)(void))KvChown,
    (void (*)(void))KvCopyFile, (void (*)(void))KvUpdaterRemoveTmpDir, (void (*)(void))Decompress,
    (void (*)(void))SelfExtractor, (void (*)(void))OpenSemaphore, (void (*)(void))UnlinkSemaphore,
};

int main(void) {
    char text[256];
    size_t size = sizeof text;
    int major = -1, minor = -1, patch = -1, build = -1, type = 0, longest = 0;
    uint64_t total = 0, available = 0;
    unsigned int info_size = 1;

    for (size_t i = 0; i < sizeof exports / sizeof exports[0]; ++i)
        check(exports[i] != NULL, "export linked");
    check(strcmp(version_number, "1.5.0.3") == 0 && strcmp(get_version(), "1.5.0.3") == 0, "version_number");
    check(strcmp(version_section_string, "__version") == 0, "version_section_string");
    check(strcmp(copyright_section_string, "__copyright") == 0, "copyright_section_string");
    check(strstr(JSON_STRING_FORMAT, "\"Version\": \"%s\"") != NULL, "JSON_STRING_FORMAT");
    check(fatal_error_in_progress == 0, "fatal_error_in_progress");

    GetPlatformProperty("SystemUUID", text, sizeof text);
    check(GetActiveUsers(text, &size) == 0, "GetActiveUsers");
    size = sizeof text;
    check(GetProcessModules(0, text, &size) == 4, "GetProcessModules");
    GetOSVersion(&major, &minor, &patch, &build);
    check(major >= 2, "GetOSVersion");
    GetSystemArchitecture(text, sizeof text);
    check(text[0] != '\0', "GetSystemArchitecture");
    check(GetHostName(1, text, sizeof text) == 1 && KvGetHostName(0, text, sizeof text) == 1, "GetHostName");
    check(GetGroupGid("") == 0 && GetUserUid("root") == 0, "GetGroupGid/GetUserUid");
    check(GetFileSystemInfo("/", &type, &total, &available, &longest) == 1 && total > 0, "GetFileSystemInfo");
    check(IsVolumeCaseSensitive("/") == -1 && KvIsVolumeCaseSensitive("/") == -1, "IsVolumeCaseSensitive");
    check(KvIsAutoCheckUpdateEnabled() == 0 && KvIsGateKeeperEnabled() == 0, "fixed 0 results");
    check(KvWebSitesRestricationLevel() == -1 && KvGetRootlessConfig() == -1, "fixed -1 results");
    KvLogToSystem();
    check(kv_elf_open(NULL) == NULL, "kv_elf_open");
    check(GetExecutableInfo("/proc/self/exe", text, &info_size) == 0 && info_size > 1, "GetExecutableInfo");
    check(KvChown(NULL, 0, 0) == 0, "KvChown");
    check(KvCopyFile(NULL, "/tmp/x") == -1, "KvCopyFile");
    check(Decompress("no-directory.tbz2") == 0, "Decompress");
    check(SelfExtractor(NULL, NULL, NULL) == -1, "SelfExtractor");
    if (failures == 0)
        printf("kvcefhelper C caller: all exports linked\n");
    return failures == 0 ? 0 : 1;
}
