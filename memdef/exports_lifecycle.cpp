// Exported start-up, policy, log-level, stack-record and utility entry
// points: argument checks, errno kept, and a call into the modules.
#include "agent_channel.hpp"
#include "lifecycle.hpp"
#include "md_export.hpp"
#include "memdef.h"
#include "memory.hpp"
#include "policy.hpp"
#include "replacements.hpp"
#include "stack_lookup.hpp"
#include "thread_stack.hpp"

using namespace kv::md;

extern "C" {

MD_EXPORT int memdef_initialize(MemDefPolicyTable* table, int32_t seed) noexcept {
    ErrnoKeeper keep;
    return initialize_with(table, seed);
}

MD_EXPORT int memdeflinux_initialize(void) noexcept {
    ErrnoKeeper keep;
    return startup_sequence();
}

MD_EXPORT void memdeflinux_shutdown(void) noexcept { shutdown_sequence(); }

MD_EXPORT void memdeflinux_coma(void) noexcept { coma_sequence(); }

// The loading thread's stack is known from the first instruction on.
__attribute__((constructor)) MD_EXPORT void getmainthreadstack(void) noexcept {
    ErrnoKeeper keep;
    init_stack_for_thread();
}

__attribute__((constructor)) MD_EXPORT void inject_constructor(void) noexcept {}

__attribute__((destructor)) MD_EXPORT void inject_destructor(void) noexcept { shutdown_sequence(); }

MD_EXPORT void SetPolicy(MemDefPolicyTable* table) noexcept { policy_set_caller_table(table); }

MD_EXPORT void MemDefPolicy_initialize(void) noexcept {
    ErrnoKeeper keep;
    policy_initialize();
}

MD_EXPORT void MemDefPolicy_shutdown(void) noexcept { policy_shutdown(); }

MD_EXPORT _violation_action_t MemDefPolicy_GetForType(_violation_type_t type) noexcept {
    ErrnoKeeper keep;
    return policy_get_for_type(type);
}

MD_EXPORT uint32_t MemDefPolicy_SetPolicy(const int32_t* actions, uint32_t n) noexcept {
    ErrnoKeeper keep;
    return policy_set(actions, n);
}

MD_EXPORT uint32_t MemDefPolicy_SetFromString(const char* text, size_t length) noexcept {
    ErrnoKeeper keep;
    return policy_set_from_string(text, length);
}

MD_EXPORT int MemDefMemory_initialize(void) noexcept {
    ErrnoKeeper keep;
    return memory_initialize();
}

MD_EXPORT int MemDefMemory_hook(void) noexcept {
    ErrnoKeeper keep;
    return memory_hook();
}

MD_EXPORT void MemDefMemory_shutdown(void) noexcept { memory_shutdown(); }

MD_EXPORT void MemDefMemory_coma(void) noexcept { memory_coma(); }

MD_EXPORT int ac_preinit(void) noexcept {
    ErrnoKeeper keep;
    return agent_preinit() ? 1 : 0;
}

// The agent channel holds no resources beyond the temp directory.
MD_EXPORT void ac_initialize(void) noexcept {}
MD_EXPORT void ac_delete(void) noexcept {}
MD_EXPORT void ac_shutdown(void) noexcept { ac_delete(); }
MD_EXPORT void ac_coma(void) noexcept { ac_delete(); }

// The library writes no log output; only the level is kept.
MD_EXPORT void log_initialize(void) noexcept {}
MD_EXPORT int log_shutdown(void) noexcept { return 0; }
MD_EXPORT void log_coma(void) noexcept {}
MD_EXPORT void log_setlevel(int32_t level) noexcept { log_set_level(level); }
MD_EXPORT int32_t log_getlevel(void) noexcept { return log_get_level(); }
MD_EXPORT void md_print_stacktrace(void) noexcept {}

MD_EXPORT void* UtilMemcpy(void* dst, const void* src, size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (d == nullptr || s == nullptr)
        return dst;
    if (s < d) {
        while (n > 0) {      // source below destination: copy from the end
            --n;
            d[n] = s[n];
        }
    } else {
        for (size_t i = 0; i < n; ++i)
            d[i] = s[i];
    }
    return dst;
}

MD_EXPORT void* UtilMemset(void* dst, int byte, size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(dst);
    for (size_t i = 0; d != nullptr && i < n; ++i)
        d[i] = static_cast<unsigned char>(byte);
    return dst;
}

MD_EXPORT void* UtilMemzero(void* dst, size_t n) noexcept { return UtilMemset(dst, 0, n); }

MD_EXPORT void blank(char* text) noexcept {
    for (; text != nullptr && *text != '\0'; ++text)
        *text = '\0';
}

MD_EXPORT void RtlInitializeCriticalSection(RTL_CRITICAL_SECTION* section) noexcept {
    if (section != nullptr)
        section->opaque[0] = 0;
}
MD_EXPORT void RtlEnterCriticalSection(RTL_CRITICAL_SECTION*) noexcept {}
MD_EXPORT void RtlLeaveCriticalSection(RTL_CRITICAL_SECTION*) noexcept {}
MD_EXPORT void RtlDeleteCriticalSection(RTL_CRITICAL_SECTION*) noexcept {}

MD_EXPORT const char* get_version(void) noexcept { return version_number; }

MD_EXPORT void initStackForThread(void) noexcept {
    ErrnoKeeper keep;
    init_stack_for_thread();
}

MD_EXPORT int getstackdata(uintptr_t* low_out, size_t* size_out) noexcept {
    uintptr_t low = 0;
    size_t size = 0;
    if (!stack_data(low, size))
        return 1;
    if (low_out != nullptr)
        *low_out = low;
    if (size_out != nullptr)
        *size_out = size;
    return 0;
}

MD_EXPORT size_t getstacksize(void) noexcept { return stack_size_or_default(); }

MD_EXPORT int isLocalStackPtr(void) noexcept {
    return is_local_stack_ptr(reinterpret_cast<uintptr_t>(__builtin_frame_address(0))) ? 1 : 0;
}

MD_EXPORT int isStackRegion(int, const void* address) noexcept {
    return is_stack_region(reinterpret_cast<uintptr_t>(address)) ? 1 : 0;
}

MD_EXPORT void stacklookup_add(const void* address) noexcept {
    ErrnoKeeper keep;
    (void)kv::md::stacklookup_add(reinterpret_cast<uintptr_t>(address));
}

MD_EXPORT void stacklookup_remove(const void* address) noexcept {
    ErrnoKeeper keep;
    kv::md::stacklookup_remove(reinterpret_cast<uintptr_t>(address));
}

MD_EXPORT int stacklookup_check(const void* sp) noexcept {
    ErrnoKeeper keep;
    return kv::md::stacklookup_check(reinterpret_cast<uintptr_t>(sp)) ? 1 : 0;
}

}  // extern "C"
