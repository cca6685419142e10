/* Stand-in for the outside loader of libmemdef: loads the library into this
 * process and calls memdef_initialize(table, seed), as the loader would.
 * Usage: kvmemdef-loader LIBRARY SEED [ACTIONS|-] [mprotect-stack]
 *   ACTIONS  letters A..D for types 1, 2, ... in a 23-slot table (missing
 *            slots get B); "-" or absent passes a null table.
 *   mprotect-stack  afterwards asks for PROT_READ|PROT_EXEC on the page of
 *            this thread's stack and prints the result.
 * Prints "memdef_initialize: <result>" and exits with 0 when it returned 0. */
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "memdef.h"

enum { kSlots = 23 };

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: kvmemdef-loader LIBRARY SEED [ACTIONS|-] [mprotect-stack]\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (lib == NULL) {
        fprintf(stderr, "kvmemdef-loader: %s\n", dlerror());
        return 1;
    }
    int (*init)(MemDefPolicyTable*, int32_t) = (int (*)(MemDefPolicyTable*, int32_t))dlsym(lib, "memdef_initialize");
    if (init == NULL) {
        fprintf(stderr, "kvmemdef-loader: no memdef_initialize\n");
        return 1;
    }
    /* The table lives as long as the process, as the library requires. */
    static struct {
        uint32_t count;
        uint8_t actions[kSlots];
    } table;
    MemDefPolicyTable* policy = NULL;
    if (argc >= 4 && strcmp(argv[3], "-") != 0) {
        table.count = kSlots;
        for (int i = 0; i < kSlots; ++i) {
            const char c = i < (int)strlen(argv[3]) ? argv[3][i] : 'B';
            table.actions[i] = (uint8_t)(c >= 'A' && c <= 'D' ? c - 'A' : 1);
        }
        policy = (MemDefPolicyTable*)&table;
    }
    const int rc = init(policy, (int32_t)strtol(argv[2], NULL, 0));
    printf("memdef_initialize: %d\n", rc);
    if (argc == 5 && strcmp(argv[4], "mprotect-stack") == 0) {
        char here = 0;
        const uintptr_t page = (uintptr_t)&here & ~(uintptr_t)4095;
        errno = 0;
        const int r = mprotect((void*)page, 4096, PROT_READ | PROT_WRITE | PROT_EXEC);
        printf("mprotect-stack: %d errno %d\n", r, r == 0 ? 0 : errno);
    }
    fflush(stdout);
    return rc == 0 ? 0 : 1;
}
