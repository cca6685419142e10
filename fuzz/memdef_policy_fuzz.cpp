// Fuzzes the MEMDEF_POLICY text parser through its export: the text is
// exactly `size` bytes (no terminator), so any read past the given length
// is an out-of-bounds read. Every answer must stay a valid action code.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>

#include "memdef.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = [] {
        unsetenv("MEMDEF_POLICY");
        MemDefPolicy_initialize();
        return true;
    }();
    (void)started;
    const std::uint32_t applied = MemDefPolicy_SetFromString(reinterpret_cast<const char*>(data), size);
    if (applied > 23)
        __builtin_trap();
    for (int type = -2; type <= 25; ++type) {
        const int action = MemDefPolicy_GetForType(type);
        if (action < 0 || action > 3)
            __builtin_trap();
    }
    const int level = log_getlevel();
    if (level < 0 || level > 3)
        __builtin_trap();
    return 0;
}
