/* libkvcefhelper: the updater service's helper library, a subset of
 * libkvhelper built from the same code, version "1.5.0.3".
 *
 * System facts, the read-only ELF section reader (which writes no
 * messages), the tray programs' ids, archive extraction with the updater's
 * own command runner, file ownership and copying, the removal of the
 * updater's working directory and the single-instance lock. It needs only
 * the C library; it carries everything else itself, so it loads with or
 * without libkvhelper in the process, and its calls never reach
 * libkvhelper's functions of the same names. Loading it does nothing; when
 * it is unloaded, the single-instance lock's name is removed if this
 * process created it. Nothing here throws; strings are NUL-terminated
 * UTF-8. Only the command runner, SelfExtractor, the owner functions and
 * the fatal-signal handling write to the system log. */
#ifndef KVCEFHELPER_H
#define KVCEFHELPER_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KV_EXPORT
#define KV_EXPORT __attribute__((visibility("default")))
#endif
#ifndef KV_NOEXCEPT
#ifdef __cplusplus
#define KV_NOEXCEPT noexcept
#else
#define KV_NOEXCEPT
#endif
#endif

/* ---- System and process facts --------------------------------------------
 * In/out sizes: the caller passes a capacity, and on return it holds the
 * amount the complete answer needs; what does not fit is counted but not
 * stored. These functions keep no state and do not log. */

/* Zeroes buffer[0..size) and fills it with the property: "MachineGuid" (the
 * machine id as 8-4-4-4-12 groups; needs size > 36, else stays empty),
 * "SystemSerialNumber" or "SystemUUID" (the DMI value, empty without it).
 * Unknown names leave the buffer zeroed. */
KV_EXPORT void GetPlatformProperty(const char* name, char* buffer, size_t size) KV_NOEXCEPT;

/* Names of logged-in users, each once and NUL-terminated, into
 * buffer[0..*size); *size in/out (bytes). Always 0. Uses the process-wide
 * login-record cursor: not from two threads at once. */
KV_EXPORT int GetActiveUsers(char* buffer, size_t* size) KV_NOEXCEPT;

/* Executable files mapped by `pid`, each followed by two NUL bytes, into
 * buffer[0..*size); *size in/out. GetProcessModules: 4 if pid is 0, buffer
 * null or *size 0, else as GetProcessModulesImpl: 0, or -1 if the
 * process's map cannot be read. */
KV_EXPORT int GetProcessModules(unsigned int pid, char* buffer, size_t* size) KV_NOEXCEPT;
KV_EXPORT int GetProcessModulesImpl(unsigned int pid, char* buffer, size_t* size) KV_NOEXCEPT;

/* Kernel release as major.minor.patch-build; fields that do not match keep
 * their values. Does nothing if a pointer is null. */
KV_EXPORT void GetOSVersion(int* major, int* minor, int* patch, int* build) KV_NOEXCEPT;
/* The machine name (as `uname -m`), terminated, cut to size - 1; needs
 * size >= 4, else the buffer is untouched. */
KV_EXPORT void GetSystemArchitecture(char* buffer, size_t size) KV_NOEXCEPT;

/* The host name, cut at its first '.' unless `full` is 1, terminated and cut
 * to size - 1. 1 on success; 0 (buffer emptied) without a name, 0 for a
 * null buffer or size 0. */
KV_EXPORT int GetHostName(unsigned char full, char* buffer, size_t size) KV_NOEXCEPT;
KV_EXPORT int KvGetHostName(unsigned char full, char* buffer, size_t size) KV_NOEXCEPT;

/* Group / user id by name; 0 if the name is null, empty or unknown. */
KV_EXPORT gid_t GetGroupGid(const char* name) KV_NOEXCEPT;
KV_EXPORT uid_t GetUserUid(const char* name) KV_NOEXCEPT;

/* statfs facts of `path`; each out pointer may be null: filesystem magic,
 * total and available bytes, longest file name. 1, or 0 if the path cannot
 * be examined. */
KV_EXPORT int GetFileSystemInfo(const char* path, int* type, uint64_t* total_bytes, uint64_t* available_bytes,
                                int* longest_name) KV_NOEXCEPT;

/* 0 when `path` lies on a network or read-only image filesystem, directly
 * or through a mount source or loop device's backing file found in
 * /etc/mtab; 1 otherwise and on any failure. */
KV_EXPORT int IsParentPathLocal(const char* path) KV_NOEXCEPT;

/* 1 when "/sbin/iptables -L INPUT" shows an INPUT chain that filters: its
 * policy is not ACCEPT, or one of its rules has a target other than ACCEPT
 * (lines are read up to 255 characters; the rest of a longer line is not
 * taken for a rule). 0 when the policy and every rule accept, or iptables
 * cannot be run. */
KV_EXPORT int IsFireWallOn(void) KV_NOEXCEPT;
KV_EXPORT int KvIsFireWallOn(void) KV_NOEXCEPT;
/* 1 when SELinux is enabled and enforcing ("/usr/sbin/sestatus"); the last
 * /etc/crypttab mapping is an active dm-crypt device ("/sbin/dmsetup").
 * Else 0. */
KV_EXPORT int IsSELinuxEnabled(void) KV_NOEXCEPT;
KV_EXPORT int KvIsSELinuxEnabled(void) KV_NOEXCEPT;
KV_EXPORT int IsFSEncryptionEnabled(void) KV_NOEXCEPT;
KV_EXPORT int KvIsFSEncryptionEnabled(void) KV_NOEXCEPT;

/* Interface parity with the service's other platforms: fixed results. */
KV_EXPORT int IsVolumeCaseSensitive(const char* path) KV_NOEXCEPT;   /* -1 */
KV_EXPORT int KvIsVolumeCaseSensitive(const char* path) KV_NOEXCEPT; /* -1 */
KV_EXPORT int KvIsAutoCheckUpdateEnabled(void) KV_NOEXCEPT;          /* 0 */
KV_EXPORT int KvIsGateKeeperEnabled(void) KV_NOEXCEPT;               /* 0 */
KV_EXPORT int KvWebSitesRestricationLevel(void) KV_NOEXCEPT;         /* -1 */
KV_EXPORT int KvGetRootlessConfig(void) KV_NOEXCEPT;                 /* -1 */
KV_EXPORT void KvLogToSystem(void) KV_NOEXCEPT;                      /* nothing */

/* Ids of the running tray programs ("/usr/bin/pgrep korvaneui") into
 * pids[0..*count); *count in/out (the number found). 1 when all fit, 0
 * otherwise (also when pgrep cannot run). */
KV_EXPORT int get_array_of_pids(int* pids, unsigned int* count) KV_NOEXCEPT;

/* ---- ELF sections and versions, read-only --------------------------------
 * The reader handles 32- and 64-bit files of either byte order and writes
 * no messages: every failure is reported through the result only. A
 * context belongs to one caller at a time. */

/* An opened file: its headers, section table and section names. */
typedef struct ElfContext ElfContext;

/* Opens `path` read-only; the caller releases the context with
 * kv_elf_close. Null on failure (also for a file that is not ELF). */
KV_EXPORT ElfContext* kv_elf_open(const char* path) KV_NOEXCEPT;
/* Closes the file and frees the context; null is ignored. */
KV_EXPORT void kv_elf_close(ElfContext* ctx) KV_NOEXCEPT;
/* File offset and size of the first section named `name` (each out pointer
 * may be null). 0 found; -1 not found or bad arguments. */
KV_EXPORT int kv_elf_get_section_offset(ElfContext* ctx, const char* name, uint64_t* offset, uint64_t* size) KV_NOEXCEPT;
/* Reads the section into a new buffer of size + 1 bytes, the last one NUL;
 * the caller frees it with free(). The section's size; 0 when `data` is
 * null and the section exists; -1 on failure. */
KV_EXPORT int64_t kv_elf_read_section(ElfContext* ctx, const char* name, char** data) KV_NOEXCEPT;
/* Writes the section's bytes to `output_path`, which is replaced only when
 * all were written. The section's size, or -1. */
KV_EXPORT int64_t kv_elf_extract_section(ElfContext* ctx, const char* name, const char* output_path) KV_NOEXCEPT;
/* fopen, tried again while it fails with EINTR (at most 10 more times). The
 * caller closes the stream with fclose. */
KV_EXPORT FILE* kv_elf_fopen(const char* path, const char* mode) KV_NOEXCEPT;

/* As kv_elf_get_section_offset for the file `path`; -1 if it cannot be
 * opened. */
KV_EXPORT int ELFGetSectionOffset(const char* path, const char* name, uint64_t* offset, uint64_t* size) KV_NOEXCEPT;
/* Copies the "__version" text of an i386 or x86-64 file into
 * buffer[0..size), always terminated. 0 copied; the size it needs when the
 * buffer is smaller, leaving it unchanged; -1 on failure or without the
 * section. `unused` is ignored. */
KV_EXPORT int ELFGetVersionString(const char* path, char* buffer, int size, int unused) KV_NOEXCEPT;
/* As ELFGetVersionString. */
KV_EXPORT int KvGetKorvaneDylibVersion(const char* path, char* buffer, int size) KV_NOEXCEPT;
/* 1 if the version of `path` was copied; 0 otherwise (also for a null
 * buffer or size 0). */
KV_EXPORT int GetProductVersion(const char* path, char* buffer, int size) KV_NOEXCEPT;
/* JSON_STRING_FORMAT with the version of `path` (empty if it has none) in
 * place of its "%s", into buffer[0..*size): 1 written; 0 with *size set to
 * the needed length when it is smaller, or for null arguments. */
KV_EXPORT int GetExecutableInfo(const char* path, char* buffer, unsigned int* size) KV_NOEXCEPT;
KV_EXPORT int KvGetExecutableInfo(const char* path, char* buffer, unsigned int* size) KV_NOEXCEPT;
/* version_number. */
KV_EXPORT const char* get_version(void) KV_NOEXCEPT;

/* "__version", "__copyright", and
 * { "Copyright": " ", "Version": "%s", "ProductName": " " } */
KV_EXPORT extern const char version_section_string[];
KV_EXPORT extern const char copyright_section_string[];
KV_EXPORT extern const char JSON_STRING_FORMAT[];
/* The library's version text, "1.5.0.3", the content of its "__version"
 * section. */
KV_EXPORT extern const char version_number[];

/* ---- Extraction, ownership, copying, the updater directory ---------------
 * Values inserted into commands are quoted; a command over its bound is
 * refused (logged), never cut. Commands run with "/bin/bash -c", standard
 * input /dev/null, and block until they end. */

/* Unpacks `archive` into its own directory (the path up to and including
 * its last '/') with "/bin/tar --no-same-owner -C DIR -jxf ARCHIVE 2>&1"
 * (always bzip2, whatever the name's ending), refusing members that would
 * land outside the directory. 1 when tar exited with status 0 and printed
 * nothing; 0 otherwise, and for a null path or one without '/'. Logs tar's
 * first output line as "KvCEFHelper". */
KV_EXPORT int Decompress(const char* archive) KV_NOEXCEPT;

/* Runs `command` (as given), then, if `archive` is not null, checks that it
 * exists and, if `destination` is not null too, extracts it there with
 * "/bin/tar -xf ARCHIVE -C DESTINATION --no-same-owner", refusing members
 * that would land outside it. A step fails when its command exits with a
 * status other than 0 or prints anything. 0 when every step that ran
 * succeeded; -1 otherwise (also for a null command). Each failure is
 * logged as "KvCEFHelper". */
KV_EXPORT int SelfExtractor(const char* command, const char* archive, const char* destination) KV_NOEXCEPT;

/* Removes "kvupdatesvc", "libkvcefhelper.so" and the managed runtime's
 * POSIX support library from "/opt/korvane/desktop/updater_tmp" (errors
 * ignored), then the directory itself (a symbolic link there is not
 * followed). 0 removed or absent; -1 if the directory could not be
 * removed. */
KV_EXPORT int KvUpdaterRemoveTmpDir(void) KV_NOEXCEPT;

/* Runs "/usr/bin/sudo /bin/chown [-R] -- USER:GROUP PATH" (-R for a
 * directory). 1 changed; 0 for an empty or unsafe value, a path that does
 * not exist, or a failed chown. Logged. */
KV_EXPORT int ChangeFileOwnerGroup(const char* path, const char* user, const char* group) KV_NOEXCEPT;
/* Gives `path` to the user of "/usr/bin/who -m" with "/bin/chown". 1
 * changed; 0 otherwise (also for a null or empty path). */
KV_EXPORT int ChangeFileOwnerToCurrentUser(const char* path) KV_NOEXCEPT;
/* chown(2): 0, or -1 with errno; 0 for a null path. */
KV_EXPORT int KvChown(const char* path, uid_t uid, gid_t gid) KV_NOEXCEPT;

/* Copies `source` to `destination` through a temporary file in the
 * destination's directory, renamed into place once every byte is written,
 * so the destination is either left as it was or a whole copy. 0 copied;
 * -1 on any failure, and when both name the same file (links included). */
KV_EXPORT int KvCopyFile(const char* source, const char* destination) KV_NOEXCEPT;

/* ---- The single-instance lock --------------------------------------------
 * The named semaphore "com.korvane.kvkvkv". */

/* Takes the lock: 0 taken (a lock left by a holder that died is taken
 * over); EEXIST while a live process holds it; otherwise the error number
 * of the failed creation. Once taken, SIGABRT, SIGBUS, SIGFPE, SIGILL,
 * SIGQUIT, SIGTERM and SIGINT, where their disposition is the default,
 * remove the name before they end the process. */
KV_EXPORT int OpenSemaphore(void) KV_NOEXCEPT;
/* Removes the name: 0, or -1 with errno. */
KV_EXPORT int UnlinkSemaphore(void) KV_NOEXCEPT;

/* Non-zero while the library's fatal-signal handler runs. */
KV_EXPORT extern volatile sig_atomic_t fatal_error_in_progress;

#ifdef __cplusplus
}
#endif

#endif /* KVCEFHELPER_H */
