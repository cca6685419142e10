/* libmemdef: the memory-defence library loaded into protected processes.
 * This header is the whole contract of the library: its start-up entry
 * points, policy, reporting and kernel-command functions, and the records
 * that cross the boundary. Every function is safe to call from any thread
 * unless noted; none allocates, none prints, none changes errno. */
#ifndef KORVANE_MEMDEF_H
#define KORVANE_MEMDEF_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define MEMDEF_NOEXCEPT noexcept
#else
#define MEMDEF_NOEXCEPT
#endif

/* Violation types and policy actions (signed 32-bit codes). */
typedef int32_t _violation_type_t;
typedef int32_t _violation_action_t;

enum {
    MEMDEF_VIOLATION_STACK_PIVOT = 1,
    MEMDEF_VIOLATION_STACK_PROTECT = 2,
    MEMDEF_VIOLATION_ZERO_ALLOCATE = 22,
    MEMDEF_VIOLATION_DYLD_INJECT = 23
};

enum {
    MEMDEF_ACTION_ALLOW = 0,       /* "A": the call goes ahead, event code 0 */
    MEMDEF_ACTION_REPORT = 1,      /* "B": the call goes ahead, event code 1 */
    MEMDEF_ACTION_REFUSE = 2,      /* "C": the hooked call is refused */
    MEMDEF_ACTION_KILL = 3         /* "D": process group SIGTERM, process SIGKILL */
};

/* Policy table: `count` slots of one action byte each, directly after the
 * count. Type t (1 <= t <= count - 1) reads slot t - 1. A table handed to
 * SetPolicy/memdef_initialize is owned by the caller and must live as long
 * as the process. */
typedef struct MemDefPolicyTable {
    uint32_t count;
    uint8_t actions[];
} MemDefPolicyTable;

/* One typed parameter of an event. `value` holds the bytes themselves when
 * `length` <= sizeof(void*), otherwise the address of the caller's bytes,
 * which must stay valid until serialisation. A descriptor owns nothing. */
typedef struct _COMM_PARAMETER_DESCRIPTOR {
    uint32_t type;                 /* 0 none, 1 binary, 2 integer, 4 text */
    uintptr_t value;
    uintptr_t length;
} _COMM_PARAMETER_DESCRIPTOR;

enum {
    COMM_PARAMETER_NONE = 0,
    COMM_PARAMETER_BINARY = 1,
    COMM_PARAMETER_INTEGER = 2,
    COMM_PARAMETER_UNICODE = 4     /* 8-bit text bytes, no terminator */
};

/* Scratch storage for CommParameterSetProcInfo: the executable's path and
 * the decimal effective user id. */
typedef struct md_proc_info_t {
    char path[1024];
    char text[32];
} md_proc_info_t;

/* Opaque record of the four Rtl*CriticalSection functions (unused). */
typedef struct _RTL_CRITICAL_SECTION {
    uint8_t opaque[8];
} RTL_CRITICAL_SECTION;

/* ---- Start-up (called by the loader, once, with no other thread inside) */

/* Stores `seed` for kernel commands (0: none can be sent, so nothing is
 * hooked), applies `table` as SetPolicy does, runs memdeflinux_initialize.
 * Returns what memdeflinux_initialize returns (0). */
int memdef_initialize(MemDefPolicyTable* table, int32_t seed) MEMDEF_NOEXCEPT;
/* Start-up sequence: temp directory, log, policy, agent channel, memory
 * checks. Returns 0. */
int memdeflinux_initialize(void) MEMDEF_NOEXCEPT;
/* Switches the hooks to pass-through; locks stay usable. */
void memdeflinux_shutdown(void) MEMDEF_NOEXCEPT;
void memdeflinux_coma(void) MEMDEF_NOEXCEPT;
/* Load-time constructors and destructor (also run by the loader's dlopen). */
void getmainthreadstack(void) MEMDEF_NOEXCEPT;
void inject_constructor(void) MEMDEF_NOEXCEPT;
void inject_destructor(void) MEMDEF_NOEXCEPT;

/* ---- Policy */

/* Marks the policy as caller-supplied; a non-null table becomes active. */
void SetPolicy(MemDefPolicyTable* table) MEMDEF_NOEXCEPT;
void MemDefPolicy_initialize(void) MEMDEF_NOEXCEPT;
void MemDefPolicy_shutdown(void) MEMDEF_NOEXCEPT;
/* Action for `type`; 1 before initialisation or outside the table. */
_violation_action_t MemDefPolicy_GetForType(_violation_type_t type) MEMDEF_NOEXCEPT;
/* Stores actions[i] (0..3, anything else as 1) for i < n and i < count;
 * returns how many were valid, 0 before initialisation. */
uint32_t MemDefPolicy_SetPolicy(const int32_t* actions, uint32_t n) MEMDEF_NOEXCEPT;
/* Parses the MEMDEF_POLICY syntax ("AACB:D"); returns the entries applied
 * or 0 when the text was rejected. `text` need not be terminated. */
uint32_t MemDefPolicy_SetFromString(const char* text, size_t length) MEMDEF_NOEXCEPT;

/* ---- Memory module and agent channel */
int MemDefMemory_initialize(void) MEMDEF_NOEXCEPT;
int MemDefMemory_hook(void) MEMDEF_NOEXCEPT;
void MemDefMemory_shutdown(void) MEMDEF_NOEXCEPT;
void MemDefMemory_coma(void) MEMDEF_NOEXCEPT;
/* Resolves the temp directory once; always returns 1. */
int ac_preinit(void) MEMDEF_NOEXCEPT;
void ac_initialize(void) MEMDEF_NOEXCEPT;
void ac_delete(void) MEMDEF_NOEXCEPT;
void ac_shutdown(void) MEMDEF_NOEXCEPT;
void ac_coma(void) MEMDEF_NOEXCEPT;

/* ---- Log level (stored only: the library writes no log) */
void log_initialize(void) MEMDEF_NOEXCEPT;
int log_shutdown(void) MEMDEF_NOEXCEPT;          /* returns 0 */
void log_coma(void) MEMDEF_NOEXCEPT;
void log_setlevel(int32_t level) MEMDEF_NOEXCEPT;
int32_t log_getlevel(void) MEMDEF_NOEXCEPT;      /* 2 at load */
void md_print_stacktrace(void) MEMDEF_NOEXCEPT;

/* ---- Utilities */
void* UtilMemcpy(void* dst, const void* src, size_t n) MEMDEF_NOEXCEPT;   /* overlap-safe */
void* UtilMemset(void* dst, int byte, size_t n) MEMDEF_NOEXCEPT;
void* UtilMemzero(void* dst, size_t n) MEMDEF_NOEXCEPT;
void blank(char* text) MEMDEF_NOEXCEPT;           /* zeroes up to the terminator */
void RtlInitializeCriticalSection(RTL_CRITICAL_SECTION* section) MEMDEF_NOEXCEPT;
void RtlEnterCriticalSection(RTL_CRITICAL_SECTION* section) MEMDEF_NOEXCEPT;
void RtlLeaveCriticalSection(RTL_CRITICAL_SECTION* section) MEMDEF_NOEXCEPT;
void RtlDeleteCriticalSection(RTL_CRITICAL_SECTION* section) MEMDEF_NOEXCEPT;
const char* get_version(void) MEMDEF_NOEXCEPT;   /* "3.1.1000.340" */
extern const char version_number[];

/* ---- Calling thread's stack record */
void initStackForThread(void) MEMDEF_NOEXCEPT;
/* 0 and both values when the calling thread's stack is known, else 1. */
int getstackdata(uintptr_t* low_out, size_t* size_out) MEMDEF_NOEXCEPT;
size_t getstacksize(void) MEMDEF_NOEXCEPT;       /* 0x800000 when unknown */
/* 1 when the caller's stack position lies in its recorded stack
 * (low < sp <= low + size) or no stack is recorded, else 0. */
int isLocalStackPtr(void) MEMDEF_NOEXCEPT;
/* 1 when address lies in the calling thread's recorded stack (low <
 * address <= low + size), 0 otherwise or when none is recorded. The pid is
 * not used. */
int isStackRegion(int pid, const void* address) MEMDEF_NOEXCEPT;

/* ---- Stack lookup: checks of hooked calls made at most 512 bytes below a
 * registered frame are skipped. Thread-safe; add may allocate. */
void stacklookup_add(const void* address) MEMDEF_NOEXCEPT;
void stacklookup_remove(const void* address) MEMDEF_NOEXCEPT;
/* 1 when a registered frame lies in (sp, sp + 512], else 0. */
int stacklookup_check(const void* sp) MEMDEF_NOEXCEPT;

/* ---- Event parameters (1 = success, 0 = failure unless noted) */
int CommParametersInitialize(_COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count,
                             size_t* total_out) MEMDEF_NOEXCEPT;
int CommParametersDestroy(_COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count) MEMDEF_NOEXCEPT;
int CommParameterSetNone(_COMM_PARAMETER_DESCRIPTOR* d) MEMDEF_NOEXCEPT;
/* width 0 picks 1, 2, 4 or (64-bit build) 8 bytes; otherwise a power of two
 * no larger than a pointer. */
int CommParameterSetInteger(_COMM_PARAMETER_DESCRIPTOR* d, uint64_t value, uint32_t width) MEMDEF_NOEXCEPT;
int CommParameterSetBinary(_COMM_PARAMETER_DESCRIPTOR* d, const void* data, size_t length) MEMDEF_NOEXCEPT;
int CommParameterSetUnicode(_COMM_PARAMETER_DESCRIPTOR* d, const char* text, size_t length) MEMDEF_NOEXCEPT;
/* Fills d[0..2] with the executable path, effective uid and version, using
 * `info` as storage (which must outlive serialisation). Returns 0. */
int CommParameterSetProcInfo(_COMM_PARAMETER_DESCRIPTOR* d, md_proc_info_t* info) MEMDEF_NOEXCEPT;
/* Writes (type << 24 | length) little-endian and the value bytes of each
 * parameter. Returns buffer, or NULL when a limit is broken, buffer is NULL
 * or size is below the total; *total_out receives the total. */
void* CommParametersSerialize(const _COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count,
                              size_t* total_out, void* buffer, size_t size) MEMDEF_NOEXCEPT;

/* ---- Events */
/* Writes one event file and applies the policy's response. 1 when written. */
int CommReportEvent(_violation_type_t type, const char* text, _violation_action_t* action_out) MEMDEF_NOEXCEPT;
/* Each returns the policy's action, or 1 when the event was not written. */
_violation_action_t CommReportEventStackPivot(const char* api, const void* stack_address) MEMDEF_NOEXCEPT;
_violation_action_t CommReportEventStackProtect(const char* api, const void* address, size_t size,
                                                int permissions) MEMDEF_NOEXCEPT;
_violation_action_t CommReportEventZeroAllocate(const char* api, const void* address, size_t size) MEMDEF_NOEXCEPT;
_violation_action_t CommReportEventDYLDInject(const char* api, const char* libraries) MEMDEF_NOEXCEPT;
/* Action 3 kills the process (and its group when that is > 1): returns 2
 * only if it survives; other actions are returned unchanged. */
_violation_action_t CommDoEventResponse(_violation_action_t action) MEMDEF_NOEXCEPT;
/* Writes one encrypted event file into the temp directory. 1 on success. */
int md_ac_send_event(const void* header, size_t header_length, const void* parameters,
                     size_t parameters_length) MEMDEF_NOEXCEPT;

/* ---- Kernel commands (0 when the driver acknowledged, -1 otherwise) */
int request_kernel_mprotect(const void* address, size_t length, int protection) MEMDEF_NOEXCEPT;
int disable_memdef_kernel_cmd(void) MEMDEF_NOEXCEPT;
/* `text` is the already scrambled command of `length` bytes. */
int md_ac_send_kernel_cmd(const char* text, size_t length) MEMDEF_NOEXCEPT;

/* ---- Other */
/* Encrypts (encrypt != 0) or decrypts `data` in place with DES-CBC under a
 * key derived from `path`; a trailing partial block is left as it is. */
void cryptor(const char* path, void* data, size_t length, int encrypt) MEMDEF_NOEXCEPT;
/* The process's temp directory with a final "/", terminated, in `size`. */
void gettempdir2(char* buffer, size_t size) MEMDEF_NOEXCEPT;
/* Formats %d %ld %lld %u %lu %llu %zu %x %p %s %% with no C-library
 * formatter; stops at size - 1 and terminates. Returns characters written. */
int md_sprintf(char* buffer, size_t size, const char* format, ...) MEMDEF_NOEXCEPT
    __attribute__((format(printf, 3, 4)));
int md_svprintf(char* buffer, size_t size, const char* format, va_list arguments) MEMDEF_NOEXCEPT
    __attribute__((format(printf, 3, 0)));

#ifdef __cplusplus
}
#endif
#undef MEMDEF_NOEXCEPT

#endif
