/* libkvhelper: the agent service's helper library.
 *
 * D-Bus command server: the service registers one handler per four-letter
 * command code and a sender verifier, then starts the server. The library
 * owns the system-bus connections and one listener thread, which verifies
 * every sender, runs the handlers one at a time and calls the network
 * callbacks. All functions may be called from any thread of the service
 * unless noted. Nothing here throws; strings are NUL-terminated UTF-8.
 *
 * Further below: system and process facts, the ELF section reader and
 * version texts, control of the tray programs, the service, the driver and
 * the updater, the performance counters and watchdog, and extraction,
 * packages, file ownership and the single-instance lock. */
#ifndef KVHELPER_H
#define KVHELPER_H

#include <pwd.h>
#include <signal.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KV_EXPORT __attribute__((visibility("default")))
/* C++ callers see that no export throws (the definitions are noexcept). */
#ifdef __cplusplus
#define KV_NOEXCEPT noexcept
#else
#define KV_NOEXCEPT
#endif

/* Command handler, called on the listener thread. On entry `buffer` holds the
 * request text (NUL-terminated) and *length its length. The handler writes
 * its reply into `buffer` (at most `capacity` bytes) and sets *length to the
 * reply's length without terminator. When the reply does not fit it sets
 * *length to the length it needs (capacity or more) and is called once more
 * with a larger buffer, holding the request again; replies are bounded by
 * 5 MiB - 1 bytes. The buffer belongs to the library. */
typedef void (*KvCommandHandler)(char* buffer, int capacity, int* length);

/* Sender verifier, called on the listener thread with "/proc/<pid>/exe" of
 * the sending process (the link, not resolved); returns true to trust it. */
typedef bool (*KvSenderVerifier)(const char* exe_link_path);

typedef void (*KvNetworkStateChangeFunc)(bool connected);
typedef void (*KvAddressChangeFunc)(void);

/* Starts the server; a null verifier keeps the one stored before.
 * Returns 0 when started, -1 when it failed or is already started. */
KV_EXPORT int KvStartServerLinux(KvSenderVerifier verifier) KV_NOEXCEPT;
KV_EXPORT int StartServer(KvSenderVerifier verifier) KV_NOEXCEPT;

/* Stops the listener (within about a second), closes the connections and
 * forgets every registered handler. Harmless when not started. */
KV_EXPORT void KvStopServer(void) KV_NOEXCEPT;
KV_EXPORT void StopServer(void) KV_NOEXCEPT;

/* Registers `handler` for `command` (compared over 16 bytes; the newest
 * registration of a code wins). Register before starting the server.
 * Returns 0, -2 when an argument is null, -1 when out of memory. */
KV_EXPORT int KvSetServerCallbackForCommand(const char* command, KvCommandHandler handler) KV_NOEXCEPT;
KV_EXPORT int SetServerCallbackForCommand(const char* command, KvCommandHandler handler) KV_NOEXCEPT;

/* The handler registered for `key` (16-byte comparison), or null. */
KV_EXPORT KvCommandHandler findCallbackForKey(const char* key) KV_NOEXCEPT;

/* Broadcasts `text` as the "Broadcast" signal while the server is serving;
 * does nothing otherwise. */
KV_EXPORT void KvSignalUI(const char* text) KV_NOEXCEPT;
KV_EXPORT void SignalUI(const char* text) KV_NOEXCEPT;

/* Broadcasts the first `length` bytes of `data` as text. Returns 0, or -1
 * when out of memory. */
KV_EXPORT int KvBroadcastMessageWithNoReply(const char* data, size_t length) KV_NOEXCEPT;
KV_EXPORT int broadcastMessageWithNoReply(const char* data, size_t length) KV_NOEXCEPT;

/* At most one callback of each kind: registering returns 1, or 0 when one is
 * registered already or `func` is null. Callbacks run on the listener thread
 * under the callback mutex and must not register or unregister callbacks.
 * After an unregister returns, the callback is not running and will not run. */
KV_EXPORT int KvRegisterNetworkStateChange(KvNetworkStateChangeFunc func) KV_NOEXCEPT;
KV_EXPORT int RegisterNetworkStateChangeFunc(KvNetworkStateChangeFunc func) KV_NOEXCEPT;
KV_EXPORT void KvUnRegisterNetworkStateChange(void) KV_NOEXCEPT;
KV_EXPORT void UnRegisterNetworkStateChange(void) KV_NOEXCEPT;
KV_EXPORT int KvRegisterAddressChange(KvAddressChangeFunc func) KV_NOEXCEPT;
KV_EXPORT int RegisterAddressChangeFunc(KvAddressChangeFunc func) KV_NOEXCEPT;
KV_EXPORT void KvUnRegisterAddressChange(void) KV_NOEXCEPT;
KV_EXPORT void UnRegisterAddressChange(void) KV_NOEXCEPT;

/* ---- System and process facts ------------------------------------------
 * Sizes marked in/out follow one rule: on entry the capacity, on return the
 * amount the complete answer needs (which may exceed the capacity); what does
 * not fit is counted but not stored. Functions keep no state and may be
 * called from several threads at once unless noted; they do not log. */

/* Account-record holder for kv_getpwuid: `buffer` (of `size` bytes) is owned
 * by the holder, allocated on its first lookup and backs the strings of
 * `pwd`. Initialise with kv_passwd_init, release with kv_passwd_destroy. */
typedef struct PasswdHolder {
    int size;
    char* buffer;
    struct passwd pwd;
} PasswdHolder;

/* Zeroes buffer[0..size) and fills it with the property: "MachineGuid" (the
 * machine id as 8-4-4-4-12 groups; needs size > 36, else stays empty),
 * "SystemSerialNumber" or "SystemUUID" (the DMI value, empty without it).
 * Unknown names leave the buffer zeroed. */
KV_EXPORT void GetPlatformProperty(const char* name, char* buffer, size_t size) KV_NOEXCEPT;

/* Process ids into pids[0..*count); *count in/out. Always 0; *count is 0
 * when /proc cannot be read. */
KV_EXPORT int ListProcesses(int* pids, int* count) KV_NOEXCEPT;
/* The same for the processes whose parent is `parent`. */
KV_EXPORT int ListChildProcesses(unsigned long parent, int* pids, int* count) KV_NOEXCEPT;
/* 1 if the parent of `pid` is `parent`, else 0. */
KV_EXPORT int IsProcessParent(int pid, unsigned long parent) KV_NOEXCEPT;
/* 1 if the executable of `pid` is a 64-bit ELF file, else 0. */
KV_EXPORT int IsProcess64bits(int pid) KV_NOEXCEPT;
/* 1 if the process exists and may be signalled; else 0 with errno ESRCH
 * (also for pid <= 0). */
KV_EXPORT int IsProcessRunning(int pid) KV_NOEXCEPT;

/* Names of logged-in users (login records of user processes), each once and
 * NUL-terminated, into buffer[0..*size); *size in/out (bytes). Always 0.
 * Uses the process-wide login-record cursor: not from two threads at once. */
KV_EXPORT int GetActiveUsers(char* buffer, size_t* size) KV_NOEXCEPT;

/* Executable files mapped by `pid`, each followed by two NUL bytes, into
 * buffer[0..*size); *size in/out. When the answer does not fit, the buffer
 * holds a partial list and *size an upper bound of the bytes needed.
 * GetProcessModules: 4 if pid is 0, buffer null or *size 0, else as
 * GetProcessModulesImpl: 0, or -1 if the process's map cannot be read. */
KV_EXPORT int GetProcessModules(unsigned int pid, char* buffer, size_t* size) KV_NOEXCEPT;
KV_EXPORT int GetProcessModulesImpl(unsigned int pid, char* buffer, size_t* size) KV_NOEXCEPT;

/* The executable path of `pid`, copied (terminated) only if shorter than
 * *size; *size becomes the path's length either way. 0; 4 on bad arguments
 * or when the path cannot be read. */
KV_EXPORT int GetProcessFullPath(int pid, char* buffer, size_t* size) KV_NOEXCEPT;

/* Sends SIGTERM to the process group of `pid`, or to `pid` alone when that
 * group is 0, 1 or the caller's own. kill's result; -1 (EINVAL) for
 * pid <= 1. */
KV_EXPORT int KillProcess(int pid) KV_NOEXCEPT;

/* Kernel release as major.minor.patch-build; fields that do not match keep
 * their values. Does nothing if a pointer is null. */
KV_EXPORT void GetOSVersion(int* major, int* minor, int* patch, int* build) KV_NOEXCEPT;
/* The machine name (as `uname -m`), terminated, cut to size - 1; needs
 * size >= 4, else the buffer is untouched. */
KV_EXPORT void GetSystemArchitecture(char* buffer, size_t size) KV_NOEXCEPT;

/* The host name, cut at its first '.' unless `full` is 1, terminated and cut
 * to size - 1. 1 on success; 0 (buffer emptied) without a name, 0 for a null
 * buffer or size 0. */
KV_EXPORT int KvGetHostName(unsigned char full, char* buffer, size_t size) KV_NOEXCEPT;
KV_EXPORT int GetHostName(unsigned char full, char* buffer, size_t size) KV_NOEXCEPT;

/* The kernel thread id of the calling thread. */
KV_EXPORT int KvGetCurrentThreadId(void) KV_NOEXCEPT;
KV_EXPORT int GetCurrentThreadId(void) KV_NOEXCEPT;

/* Group / user id by name; 0 if the name is null, empty or unknown. */
KV_EXPORT gid_t KvGetGroupGid(const char* name) KV_NOEXCEPT;
KV_EXPORT gid_t GetGroupGid(const char* name) KV_NOEXCEPT;
KV_EXPORT uid_t KvGetUserUid(const char* name) KV_NOEXCEPT;
KV_EXPORT uid_t GetUserUid(const char* name) KV_NOEXCEPT;

/* Groups of the account `uid` (its primary group included) into
 * groups[0..*count); *count in/out. getgrouplist's result: the number of
 * groups, or -1 when the array is too small (*count then the number
 * needed); 0 with *count 0 if the user is unknown; -1 if count is null. */
KV_EXPORT int KvGetGroupsForUser(uid_t uid, gid_t* groups, int* count) KV_NOEXCEPT;

/* statfs facts of `path`; each out pointer may be null: filesystem magic,
 * total and available bytes, longest file name. 1, or 0 if the path cannot
 * be examined. */
KV_EXPORT int KvGetFileSystemInfo(const char* path, int* type, uint64_t* total_bytes, uint64_t* available_bytes,
                                  int* longest_name) KV_NOEXCEPT;
KV_EXPORT int GetFileSystemInfo(const char* path, int* type, uint64_t* total_bytes, uint64_t* available_bytes,
                                int* longest_name) KV_NOEXCEPT;

/* 0 when `path` lies on a network or read-only image filesystem, directly
 * or through a mount source or loop device's backing file found in
 * /etc/mtab; 1 otherwise and on any failure. */
KV_EXPORT int KvIsParentPathLocal(const char* path) KV_NOEXCEPT;
KV_EXPORT int IsParentPathLocal(const char* path) KV_NOEXCEPT;

/* 1 when the ip_tables module is loaded; SELinux enabled and enforcing;
 * the last /etc/crypttab mapping is an active dm-crypt device. Else 0.
 * The last two run /usr/sbin/sestatus and /sbin/dmsetup. */
KV_EXPORT int KvIsFireWallOn(void) KV_NOEXCEPT;
KV_EXPORT int IsFireWallOn(void) KV_NOEXCEPT;
KV_EXPORT int KvIsSELinuxEnabled(void) KV_NOEXCEPT;
KV_EXPORT int IsSELinuxEnabled(void) KV_NOEXCEPT;
KV_EXPORT int KvIsFSEncryptionEnabled(void) KV_NOEXCEPT;
KV_EXPORT int IsFSEncryptionEnabled(void) KV_NOEXCEPT;

/* UTF-16 here is little-endian without a byte-order mark.
 * GetUnicodeStrFromCString converts the whole UTF-8 text into
 * out[0..out_bytes) followed by a 16-bit NUL: 1; 0 when it does not convert
 * or fit, with the output cleared.
 * Unistr2Cstr converts up to the 16-bit NUL into a new UTF-8 text that the
 * caller frees with free(); null on failure. It prints the converter's
 * status to standard output.
 * UniStrncpy copies at most `count` units, stopping after a NUL; returns
 * `dest`. */
KV_EXPORT int GetUnicodeStrFromCString(const char* text, uint16_t* out, size_t out_bytes) KV_NOEXCEPT;
KV_EXPORT char* Unistr2Cstr(const uint16_t* text) KV_NOEXCEPT;
KV_EXPORT uint16_t* UniStrncpy(uint16_t* dest, const uint16_t* src, size_t count) KV_NOEXCEPT;

/* fopen, tried again while it fails with EINTR (at most 10 more times). The
 * caller closes the stream with fclose. */
KV_EXPORT FILE* kv_fopen(const char* path, const char* mode) KV_NOEXCEPT;

/* Zeroes the holder / frees its buffer and zeroes it again (null is a
 * no-op). */
KV_EXPORT void kv_passwd_init(PasswdHolder* holder) KV_NOEXCEPT;
KV_EXPORT void kv_passwd_destroy(PasswdHolder* holder) KV_NOEXCEPT;
/* Looks up `uid` into holder->pwd. 0 found; the lookup's error number; -1
 * when the user does not exist (the holder is then destroyed) or no buffer
 * could be allocated. One holder per thread at a time. */
KV_EXPORT int kv_getpwuid(uid_t uid, PasswdHolder* holder) KV_NOEXCEPT;

/* Interface parity with the service's other platforms: fixed results. */
KV_EXPORT int SystemIdleTime(void) KV_NOEXCEPT;                     /* 0 */
KV_EXPORT int KvGetDylibVersion(void) KV_NOEXCEPT;                  /* 0 */
KV_EXPORT int KvIsAutoCheckUpdateEnabled(void) KV_NOEXCEPT;         /* 0 */
KV_EXPORT int KvIsGateKeeperEnabled(void) KV_NOEXCEPT;              /* 0 */
KV_EXPORT int KvWebSitesRestricationLevel(void) KV_NOEXCEPT;        /* -1 */
KV_EXPORT int KvGetRootlessConfig(void) KV_NOEXCEPT;                /* -1 */
KV_EXPORT int KvSetSharedRegionUnnestLogging(void) KV_NOEXCEPT;     /* -1 */
KV_EXPORT int KvIsVolumeCaseSensitive(const char* path) KV_NOEXCEPT; /* -1 */
KV_EXPORT int IsVolumeCaseSensitive(const char* path) KV_NOEXCEPT;  /* -1 */
KV_EXPORT int KvGetEventStatistics(void) KV_NOEXCEPT;               /* 1 */
KV_EXPORT int KvGetMachEventStatistics(void) KV_NOEXCEPT;           /* 0 */
KV_EXPORT void KvLogToSystem(void) KV_NOEXCEPT;                     /* nothing */
/* Stores 0 in *on_battery and returns 1; 0 if on_battery is null. */
KV_EXPORT int KvRegisterPowerSource(void* ignored, unsigned char* on_battery) KV_NOEXCEPT;
KV_EXPORT int RegisterPowerSource(void* ignored, unsigned char* on_battery) KV_NOEXCEPT;
KV_EXPORT void KvUnRegisterPowerSource(void) KV_NOEXCEPT;
KV_EXPORT void UnRegisterPowerSource(void) KV_NOEXCEPT;

/* ---- ELF sections and versions ------------------------------------------
 * Every executable and library of the system carries its version text and a
 * NUL as the section "__version". The reader handles 32- and 64-bit files
 * of either byte order. Failures are written to the system log at error
 * priority. A context belongs to one caller at a time. */

/* An opened file: its headers, section table and section names. */
typedef struct ElfContext ElfContext;

/* Opens read-only / read-write / read-write when `writable` is 1. The
 * caller releases the context with kv_elf_close. Null on failure. */
KV_EXPORT ElfContext* kv_elf_open(const char* path) KV_NOEXCEPT;
KV_EXPORT ElfContext* kv_elf_open_rw(const char* path) KV_NOEXCEPT;
KV_EXPORT ElfContext* kv_elf_open_full(const char* path, int writable) KV_NOEXCEPT;
/* Closes the file and frees the context; null is ignored. */
KV_EXPORT void kv_elf_close(ElfContext* ctx) KV_NOEXCEPT;
/* The file's size in bytes, or -1. */
KV_EXPORT int64_t kv_get_file_size(ElfContext* ctx) KV_NOEXCEPT;

/* File offset and size of the first section named `name` (each out pointer
 * may be null). 0 found; -1 not found or bad arguments. */
KV_EXPORT int kv_elf_get_section_offset(ElfContext* ctx, const char* name, uint64_t* offset, uint64_t* size) KV_NOEXCEPT;
/* Reads the section into a new buffer of size + 1 bytes, the last one NUL;
 * the caller frees it with free(). The section's size; 0 when `data` is null
 * and the section exists; -1 on failure (also for a section that does not
 * lie inside the file). */
KV_EXPORT int64_t kv_elf_read_section(ElfContext* ctx, const char* name, char** data) KV_NOEXCEPT;
/* Writes the section's bytes to `output_path`, which is replaced only when
 * all were written (an existing output stays as it was on failure). The
 * section's size, or -1. */
KV_EXPORT int64_t kv_elf_extract_section(ElfContext* ctx, const char* name, const char* output_path) KV_NOEXCEPT;
/* Overwrites a section of a context opened read-write with exactly its size
 * of data; the bytes are in the file when it returns. The bytes written, or
 * -1 (a different length, a short write). */
KV_EXPORT int64_t kv_elf_update_section_data(ElfContext* ctx, const char* name, const void* data, int64_t length) KV_NOEXCEPT;
/* As kv_fopen. */
KV_EXPORT FILE* kv_elf_fopen(const char* path, const char* mode) KV_NOEXCEPT;

/* As kv_elf_get_section_offset for the file `path`; -1 if it cannot be
 * opened. */
KV_EXPORT int ELFGetSectionOffset(const char* path, const char* name, uint64_t* offset, uint64_t* size) KV_NOEXCEPT;
/* Copies the "__version" text of an i386 or x86-64 file into
 * buffer[0..size), always terminated. 0 copied; the size it needs (the
 * section's size, plus one if the section lacks its NUL) when the buffer is
 * smaller, leaving it unchanged; -1 on failure or without the section.
 * `unused` is ignored. */
KV_EXPORT int ELFGetVersionString(const char* path, char* buffer, int size, int unused) KV_NOEXCEPT;
/* As ELFGetVersionString. */
KV_EXPORT int KvGetKorvaneDylibVersion(const char* path, char* buffer, int size) KV_NOEXCEPT;
/* 1 if the version of `path` was copied; 0 otherwise (also for a null
 * buffer or size 0). KvGetProductVersion reads the agent service's
 * "/opt/korvane/desktop/korvanesvc". */
KV_EXPORT int GetProductVersion(const char* path, char* buffer, int size) KV_NOEXCEPT;
KV_EXPORT int KvGetProductVersion(char* buffer, int size) KV_NOEXCEPT;
/* JSON_STRING_FORMAT with the version of `path` (empty if it has none) in
 * place of its "%s", into buffer[0..*size): 1 written; 0 with *size set to
 * the needed length when it is smaller, or for null arguments. */
KV_EXPORT int KvGetExecutableInfo(const char* path, char* buffer, unsigned int* size) KV_NOEXCEPT;
KV_EXPORT int GetExecutableInfo(const char* path, char* buffer, unsigned int* size) KV_NOEXCEPT;
/* ELFGetSectionOffset of the section ".rodata". */
KV_EXPORT int KvModelDataOffset(const char* path, uint64_t* offset, uint64_t* size) KV_NOEXCEPT;
/* version_number. */
KV_EXPORT const char* get_version(void) KV_NOEXCEPT;

/* "__version", "__copyright", and
 * { "Copyright": " ", "Version": "%s", "ProductName": " " } */
KV_EXPORT extern const char version_section_string[];
KV_EXPORT extern const char copyright_section_string[];
KV_EXPORT extern const char JSON_STRING_FORMAT[];

/* The library's version text, "3.1.1000.340", the content of its
 * "__version" section. */
KV_EXPORT extern const char version_number[];

/* ---- Control of the tray programs, the service, the driver, the updater --
 * Every action runs one command through execute_cmd and blocks until it
 * ends (the tray programs and the updater are started in the background
 * and not waited for). Values inserted into commands are quoted; user
 * names that are empty, start with '-' or hold control characters are
 * refused, as is any command longer than its bound (256 bytes for one
 * user's commands); each refusal is logged and the step fails. Messages go
 * to the system log. */

/* Reader of execute_cmd: called with the caller's buffer and size while the
 * command runs; output it leaves unread is read and discarded. */
typedef void (*KvCommandOutputReader)(char* buffer, size_t size);

/* Runs `command` as "/bin/bash -c COMMAND" (bash started directly, stdin
 * /dev/null, every descriptor above 2 closed, default signal dispositions)
 * and logs it under the identity "KvHelper" (daemon facility) without
 * changing the process's own syslog settings. Puts the first output line
 * (line feed kept, at most size - 1 bytes, terminated) into `output`, or
 * lets `reader` collect it; the rest of the output is read to its end (a
 * program the command starts in the background is not waited for). Returns
 * the wait status (0 success); -1 if it could not be started (then `output`
 * holds "popen failed for cmd /bin/bash -c '...'."), or if the status was
 * lost because another part of the process reaped the child. When the
 * process ignores SIGCHLD the status cannot be had and counts as 0 (logged
 * once). Callers pass a buffer of 4096 bytes. Thread-safe. */
KV_EXPORT int execute_cmd(const char* command, char* output, size_t size, KvCommandOutputReader reader) KV_NOEXCEPT;

/* Ids of the running tray programs ("/usr/bin/pgrep korvaneui") into
 * pids[0..*count); *count in/out (the number found). 1 when all fit, 0
 * otherwise (also when pgrep cannot run). */
KV_EXPORT int get_array_of_pids(int* pids, unsigned int* count) KV_NOEXCEPT;

/* Starts "/opt/korvane/desktop/korvaneui" for each user id of uids[0..count)
 * in that user's first desktop session (gnome-session), with the session's
 * local DISPLAY, through su. Ids of -1, unknown users and sessions without
 * a local display are skipped. Always 1. */
KV_EXPORT int KvStartKvUI(const int* uids, int count) KV_NOEXCEPT;
KV_EXPORT int StartKvUI(const int* uids, int count) KV_NOEXCEPT;

/* Sends SIGTERM to every running tray program (each re-checked by name just
 * before, so a reused pid is never signalled; pids <= 1 are ignored) and
 * waits 2 seconds. uids[0..*count) receives the owner's uid of each (-1 when
 * unknown), for KvStartKvUI later; *count in/out. 1 stopped, or *count was
 * 0; 0 with *count 0 when none runs, 0 with *count the number needed when
 * more run than fit (nothing is signalled), 0 for null arguments. */
KV_EXPORT int KvStopKvUI(int* uids, unsigned int* count) KV_NOEXCEPT;
KV_EXPORT int StopKvUI(int* uids, unsigned int* count) KV_NOEXCEPT;

/* Logs the service's version and runs "/sbin/initctl start korvanesvc":
 * 1 when the service runs afterwards, else 0. */
KV_EXPORT int KvStartKvService(void) KV_NOEXCEPT;
KV_EXPORT int StartKvService(void) KV_NOEXCEPT;
/* 1 when the service was stopped through initctl (or was not running),
 * else 0. */
KV_EXPORT int KvStopKvService(void) KV_NOEXCEPT;
KV_EXPORT int StopKvService(void) KV_NOEXCEPT;

/* Loads the driver: "/usr/src/KvGuardDrv-1.2/loadmodule.sh" when that
 * directory exists, else modprobe of kvguardopen and kvguard. 1 loaded,
 * 0 failed. */
KV_EXPORT int KvStartKvKext(void) KV_NOEXCEPT;
KV_EXPORT int StartKvDriver(void) KV_NOEXCEPT;
/* Logs the loaded driver modules' versions, runs "modprobe -r kvguard":
 * 1 when "KvGuardDrv" is gone from /proc/modules, else 0. */
KV_EXPORT int KvStopKvKext(void) KV_NOEXCEPT;
KV_EXPORT int StopKvDriver(void) KV_NOEXCEPT;

/* Starts "/opt/korvane/desktop/updater_tmp/kvupdate first second" in the
 * background, with that directory as its working directory and library
 * path, then changes the process's working directory to `return_dir`
 * (a failure is logged). All four texts must be non-empty (`marker` is not
 * used otherwise), and the updater an executable regular file in a
 * directory that neither group nor others may write. 1 when the launch
 * command exited with status 0, else 0. */
KV_EXPORT int KvStartKvUpdater(const char* marker, const char* return_dir, const char* first,
                               const char* second) KV_NOEXCEPT;
KV_EXPORT int StartKvUpdater(const char* marker, const char* return_dir, const char* first,
                             const char* second) KV_NOEXCEPT;

/* ---- Performance counters and watchdog ---------------------------------
 * Counters describe the calling process. Each fills values[0..count) and
 * returns 1, or 0 when count is below the record's minimum or the facts
 * cannot be read (the record is then unchanged). Call each counter from one
 * thread.
 *   processor (5): processors online at initialisation, whole seconds since
 *     initialisation, total / user / kernel percent over a 3-second sample
 *     (the call blocks 3 seconds; percentages truncated, may exceed 100);
 *   memory (4): VmSize kB, VmRSS kB, peak resident kB, VmLck kB;
 *   descriptors (2): open files (standard streams included), sockets;
 *   miscellaneous (1): threads;
 *   events (3): major page faults, IPC messages sent, received, each since
 *     the previous call. */
KV_EXPORT int KvInitializePeroformanceCounters(void) KV_NOEXCEPT;
KV_EXPORT int InitializeCounters(void) KV_NOEXCEPT; /* processors online */
KV_EXPORT int KvGetCPUsages(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int GetCPUUsages(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int KvGetMemoryStatistics(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int GetMemoryStatistics(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int KvGetOpenedFileAndSockCnnections(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int GetOpenedFileAndSockCnnections(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int KvGetMiscStatistics(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int GetMiscStatistics(uint64_t* values, int count) KV_NOEXCEPT;
KV_EXPORT int GetEventStatistics(uint64_t* values, int count) KV_NOEXCEPT;
/* User and kernel time over the next `seconds` (the call sleeps that long)
 * in percent of the wall time. 0, or -1 if the clock or the usage cannot be
 * read or a pointer is null. */
KV_EXPORT int GetCPUPercentageOverTime(unsigned int seconds, double* user, double* kernel) KV_NOEXCEPT;

/* The watchdog thread runs from load to unload in the agent service's own
 * process (executable "/opt/korvane/desktop/korvanesvc") only. Every 30
 * seconds it takes the deadlock monitor's score: 0 after a keep-alive, else
 * 10 times the cycles missed in a row. From the third cycle in a row that
 * scores 100 or more it logs "KvHelperLinux.WatchdogThread: TERMINATION
 * LEVEL n - ..." and sends the process SIGHUP (n 0), SIGTERM (1), SIGKILL
 * (2). The service calls KvDeadLockWatch from the thread it wants watched,
 * at least every 30 seconds: one atomic store, no lock, no system call.
 * KvDeadLockStop / KvDeadLockDisable end the watchdog for good (its thread
 * leaves at once); watchdog_updater_disable pauses the checks (the counts
 * keep their values) until watchdog_updater_enable. Any thread. */
KV_EXPORT void KvDeadLockWatch(void) KV_NOEXCEPT;
KV_EXPORT void watchdog_keepalive(void) KV_NOEXCEPT;
KV_EXPORT void KvDeadLockStop(void) KV_NOEXCEPT;
KV_EXPORT void watchdog_stop(void) KV_NOEXCEPT;
KV_EXPORT void KvDeadLockDisable(void) KV_NOEXCEPT;
KV_EXPORT void watchdog_disable(void) KV_NOEXCEPT;
KV_EXPORT void watchdog_updater_disable(void) KV_NOEXCEPT;
KV_EXPORT void watchdog_updater_enable(void) KV_NOEXCEPT;
/* Monitor scores. watchdog_deadlock: as above (it consumes the keep-alive).
 * watchdog_cpuuse: takes a 3-second sample; 10 times the samples in a row
 * above 90 percent, else 0. watchdog_memoryuse: 100 when the resident size
 * exceeds 1,000,000 kB, else 0. The last two are not consulted by the
 * thread. */
KV_EXPORT int watchdog_deadlock(void) KV_NOEXCEPT;
KV_EXPORT int watchdog_cpuuse(void) KV_NOEXCEPT;
KV_EXPORT int watchdog_memoryuse(void) KV_NOEXCEPT;
/* The watchdog thread's body (the argument is ignored); returns null when
 * the watchdog ends. */
KV_EXPORT void* watchdog_thread(void* arg) KV_NOEXCEPT;

/* ---- Extraction, packages, file ownership, the single-instance lock ----
 * Every function runs on the caller's thread and blocks until its commands
 * end. Commands run through execute_cmd with every inserted value quoted;
 * a value that would make a command exceed its bound (4096 bytes; 2048 for
 * dpkg) is refused and logged, never cut. Archives are unpacked by GNU tar
 * with its defaults, which keep every member inside the destination (no
 * absolute or ".." names, no writing through links the archive brings). */

/* Runs `command` (as given); on status 0 and with `archive` not null checks
 * that the archive exists and, with `destination` not null, runs
 * "/bin/tar -xf ARCHIVE -C DESTINATION --no-same-owner --force-local".
 * Failures are logged under "KvHelper". 0 when every step that ran
 * succeeded; -1 otherwise (also for a null command). */
KV_EXPORT int KvSelfExtractor(const char* command, const char* archive, const char* destination) KV_NOEXCEPT;
KV_EXPORT int SelfExtractor(const char* command, const char* archive, const char* destination) KV_NOEXCEPT;

/* Unpacks `archive` into its own directory (the path up to and including
 * its last '/'): gzip for a name ending in ".tgz", bzip2 otherwise. 1 when
 * tar ended with status 0; 0 otherwise, and for a path without '/' (then
 * nothing runs). */
KV_EXPORT int KvDecompress(const char* archive) KV_NOEXCEPT;
KV_EXPORT int Decompress(const char* archive) KV_NOEXCEPT;

/* Runs "/usr/bin/sudo /bin/chown [-R] -- USER:GROUP PATH" (-R for a
 * directory). 1 on status 0; 0 for an empty value, a user or group name
 * that starts with '-' or holds control characters, a path that does not
 * exist, or a failed chown (each logged). */
KV_EXPORT int KvChangeFileOwnerGroup(const char* path, const char* user, const char* group) KV_NOEXCEPT;
KV_EXPORT int ChangeFileOwnerGroup(const char* path, const char* user, const char* group) KV_NOEXCEPT;

/* Gives `path` to the user that "/usr/bin/who -m" names ("/bin/chown --
 * USER PATH"). 1 on status 0; 0 for a null or empty path, no user, or a
 * failed command. */
KV_EXPORT int KvChangeFileOwnerToCurrentUser(const char* path) KV_NOEXCEPT;
KV_EXPORT int ChangeFileOwnerToCurrentUser(const char* path) KV_NOEXCEPT;

/* chown(2) of `path`: 0, or -1 with errno set; 0 for a null path. */
KV_EXPORT int KvChown(const char* path, uid_t uid, gid_t gid) KV_NOEXCEPT;

/* Copies `source` to `destination` through a temporary file in the
 * destination's directory, renamed into place once complete (an existing
 * destination keeps its mode). 0 copied; -1 when the two name the same
 * file (links included), or any open, read, write, close or rename fails;
 * the destination is then as it was before. */
KV_EXPORT int KvCopyFile(const char* source, const char* destination) KV_NOEXCEPT;

/* Removes "kvupdate", "libkvhelper.so" and the managed runtime's two
 * support libraries from "/opt/korvane/desktop/updater_tmp" (errors
 * ignored), then the directory. 0 removed or absent; -1 when the directory
 * could not be removed (also when a link stands in its place). */
KV_EXPORT int KvUpdaterRemoveTmpDir(void) KV_NOEXCEPT;

/* Runs `command`; 1 on status 0; 0 otherwise (logged with the first output
 * line and the status). */
KV_EXPORT int RunPackageCommand(const char* command) KV_NOEXCEPT;

/* Kind 1 (dpkg): runs "dpkg ACTION -- PACKAGE 2>&1" and puts its output
 * into output[0..size) (at most size - 1 bytes, terminated; the rest is
 * read and discarded, dpkg runs to its end). 1 on status 0; 0 otherwise.
 * Kind 0 runs nothing, leaves the output empty and returns 0; any other
 * kind leaves "<kind> package manager is not supported\n" in the output
 * and returns 0. Two runs may overlap. */
KV_EXPORT int RunPackageMgr(const char* action, const char* package, char* output, size_t size,
                            int kind) KV_NOEXCEPT;

/* Runs `command` and copies its first output line (line feed removed)
 * into buffer[0..size), or "0.0.0.0" when the status is not 0 or the
 * output is empty. */
KV_EXPORT void PackageVersionString(const char* command, char* buffer, size_t size) KV_NOEXCEPT;

/* 1 if "lsmod | grep -w KvGuardDrvOpen" and "lsmod | grep -w KvGuardDrv"
 * both end with status 0; 0 otherwise. */
KV_EXPORT int DriversRunning(void) KV_NOEXCEPT;

/* 1 if "which -- NAME" ends with status 0; 0 otherwise (also for a name
 * that starts with '-' or holds control characters). */
KV_EXPORT int PackageManagerAvailable(const char* name) KV_NOEXCEPT;

/* The single-instance lock: creates the named semaphore
 * "com.korvane.kvkvkv" exclusively (mode 0644, value 1) while holding an
 * flock() on "/run/com.korvane.kvkvkv.lock" (root's, 0600) for the
 * process's life. A name left by a holder that died without removing it
 * (SIGKILL) is taken over. 0 taken; EEXIST while a live process holds it;
 * otherwise the error number of the failed creation. On success the
 * fatal-signal handler is installed for SIGABRT, SIGBUS, SIGFPE, SIGILL,
 * SIGQUIT, SIGTERM and SIGINT wherever the disposition is the default (an
 * ignored signal and the process's own handlers stay); it removes the name
 * and ends the process as the signal would have. At unload the name is
 * removed only by the process that created it. */
KV_EXPORT int KvOpenSemaphore(void) KV_NOEXCEPT;
KV_EXPORT int OpenSemaphore(void) KV_NOEXCEPT;

/* Removes the semaphore's name (the creator also gives up its lock file):
 * 0, or -1 with errno set. */
KV_EXPORT int KvUnlinkSemaphore(void) KV_NOEXCEPT;
KV_EXPORT int UnlinkSemaphore(void) KV_NOEXCEPT;

/* 1 while the fatal-signal handler runs, else 0. */
KV_EXPORT extern volatile sig_atomic_t fatal_error_in_progress;

#ifdef __cplusplus
}
#endif

#endif /* KVHELPER_H */
