// Test program for the kernel-command channel: sets the seed as start-up
// would, then runs the steps named on its command line and prints one line
// each. Run under the driver stand-in, it shows the whole round trip.
// Usage: kernel_cmd_probe SEED STEP...   STEP: mprotect | disable
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <cstdint>

#include "agent_channel.hpp"
#include "lifecycle.hpp"
#include "memdef.h"

namespace {

// Permissions of the mapping holding `page`, as /proc/self/maps shows them.
void page_permissions(const void* page, char (&ret)[5]) {
    strcpy(ret, "?");
    FILE* maps = fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return;
    char line[512];
    const auto at = reinterpret_cast<std::uintptr_t>(page);
    while (fgets(line, sizeof line, maps) != nullptr) {
        unsigned long lo = 0, hi = 0;
        char perms[5] = {};
        if (sscanf(line, "%lx-%lx %4s", &lo, &hi, perms) == 3 && lo <= at && at < hi) {
            strcpy(ret, perms);
            break;
        }
    }
    fclose(maps);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    kv::md::g_crypt_seed.store(static_cast<std::int32_t>(strtol(argv[1], nullptr, 0)));
    (void)kv::md::agent_preinit();
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    for (int i = 2; i < argc; ++i) {
        char perms[5];
        if (strcmp(argv[i], "mprotect") == 0) {
            const int r = request_kernel_mprotect(page, 4096, PROT_READ);
            page_permissions(page, perms);
            printf("mprotect %d %s\n", r, perms);
        } else if (strcmp(argv[i], "disable") == 0) {
            printf("disable %d\n", disable_memdef_kernel_cmd());
        }
    }
    return 0;
}
