/* The public header compiles as C and every export links and answers from
 * a C caller. Exits 0 when all checks hold; prints the first that fails. */
#include <stdio.h>
#include <string.h>

#include "memdef.h"

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) {                                           \
            fprintf(stderr, "failed: %s\n", #cond);              \
            return 1;                                            \
        }                                                        \
    } while (0)

int main(void) {
    /* Entry points that are only referenced: calling them would start hooks
     * or kill the process. */
    void (*const referenced[])(void) = {
        (void (*)(void))memdef_initialize, (void (*)(void))memdeflinux_shutdown,
        (void (*)(void))memdeflinux_coma, (void (*)(void))inject_destructor,
        (void (*)(void))MemDefPolicy_shutdown, (void (*)(void))MemDefMemory_initialize,
        (void (*)(void))MemDefMemory_hook, (void (*)(void))MemDefMemory_shutdown,
        (void (*)(void))MemDefMemory_coma, (void (*)(void))CommReportEvent,
        (void (*)(void))CommReportEventStackPivot, (void (*)(void))CommReportEventStackProtect,
        (void (*)(void))CommReportEventZeroAllocate, (void (*)(void))CommReportEventDYLDInject,
        (void (*)(void))md_ac_send_event, (void (*)(void))md_ac_send_kernel_cmd,
        (void (*)(void))md_svprintf, (void (*)(void))SetPolicy};
    for (size_t i = 0; i < sizeof referenced / sizeof referenced[0]; ++i)
        CHECK(referenced[i] != NULL);

    CHECK(MemDefPolicy_GetForType(MEMDEF_VIOLATION_STACK_PIVOT) == MEMDEF_ACTION_REPORT);
    CHECK(MemDefPolicy_SetPolicy(NULL, 0) == 0);
    CHECK(MemDefPolicy_SetFromString("A", 1) == 0);   /* not initialised yet */
    MemDefPolicy_initialize();
    CHECK(MemDefPolicy_SetFromString("ABCD", 4) == 4);
    CHECK(MemDefPolicy_GetForType(3) == MEMDEF_ACTION_REFUSE);
    CHECK(memdeflinux_initialize() == 0);
    CHECK(ac_preinit() == 1);
    ac_initialize();
    ac_delete();
    ac_shutdown();
    ac_coma();
    log_initialize();
    log_coma();
    CHECK(log_shutdown() == 0);
    log_setlevel(3);
    CHECK(log_getlevel() == 3);
    md_print_stacktrace();
    getmainthreadstack();
    inject_constructor();
    initStackForThread();
    uintptr_t low = 0;
    size_t size = 0;
    CHECK(getstackdata(&low, &size) == 0 && low != 0 && size == getstacksize());
    CHECK(isLocalStackPtr() == 1);
    CHECK(isStackRegion(0, (const void*)(low + size)) == 1 && isStackRegion(0, (const void*)low) == 0);
    char frame[32] = {0};
    stacklookup_add(frame + 16);
    CHECK(stacklookup_check(frame) == 1);
    stacklookup_remove(frame + 16);
    CHECK(stacklookup_check(frame) == 0);
    CHECK(strcmp(get_version(), version_number) == 0 && strcmp(version_number, "3.1.1000.340") == 0);

    char buf[32] = "abcdef";
    UtilMemcpy(buf + 1, buf, 3);
    UtilMemset(buf + 4, 'z', 1);
    UtilMemzero(buf + 5, 1);
    CHECK(strcmp(buf, "aabcz") == 0);
    blank(buf);
    CHECK(buf[0] == 0 && buf[4] == 0);
    RTL_CRITICAL_SECTION section;
    section.opaque[0] = 9;
    RtlInitializeCriticalSection(&section);
    RtlEnterCriticalSection(&section);
    RtlLeaveCriticalSection(&section);
    RtlDeleteCriticalSection(&section);
    CHECK(section.opaque[0] == 0);

    _COMM_PARAMETER_DESCRIPTOR d[4];
    size_t total = 7;
    md_proc_info_t info;
    CHECK(CommParametersInitialize(d, 4, &total) == 1 && total == 0);
    CHECK(CommParameterSetProcInfo(d, &info) == 0);
    CHECK(CommParameterSetInteger(&d[3], 300, 0) == 1);
    unsigned char list[2048];
    CHECK(CommParametersSerialize(d, 4, &total, list, sizeof list) == list);
    CHECK(CommParameterSetNone(&d[3]) == 1 && CommParameterSetBinary(&d[3], "x", 1) == 1 &&
          CommParameterSetUnicode(&d[3], "y", 1) == 1);
    CHECK(CommParametersDestroy(d, 4) == 1 && d[0].type == COMM_PARAMETER_NONE);

    CHECK(CommDoEventResponse(MEMDEF_ACTION_REFUSE) == MEMDEF_ACTION_REFUSE);
    CHECK(request_kernel_mprotect(buf, 4096, 5) == -1);    /* no seed */
    CHECK(disable_memdef_kernel_cmd() == -1);
    unsigned char block[8] = "1234567";
    cryptor("/tmp/x.kor", block, 8, 1);
    cryptor("/tmp/x.kor", block, 8, 0);
    CHECK(memcmp(block, "1234567", 8) == 0);
    char dir[4096];
    gettempdir2(dir, sizeof dir);
    CHECK(dir[0] == '/' && dir[strlen(dir) - 1] == '/');
    CHECK(md_sprintf(buf, sizeof buf, "%s=%d", "n", -3) == 4 && strcmp(buf, "n=-3") == 0);
    puts("memdef C header: ok");
    return 0;
}
