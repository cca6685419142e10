// Reporting runs inside hooked calls: every buffer is on the stack (about
// 2 KiB list, 1 KiB text, 1 KiB path scratch, plus the file image and path
// in send_event) and nothing allocates, formats through the C library or logs.
#include "report.hpp"

#include <signal.h>
#include <unistd.h>

#include "comm_params.hpp"
#include "event_file.hpp"
#include "md_export.hpp"
#include "md_format.hpp"
#include "policy.hpp"
#include "thread_stack.hpp"

namespace kv::md {
namespace {

constexpr std::uint32_t kEventParameters = 4;

std::int32_t action_or_default(std::int32_t type, const char* text) noexcept {
    std::int32_t action = kDefaultAction;
    return report_event(type, text, &action) ? action : kDefaultAction;
}

}  // namespace

bool report_event(std::int32_t type, const char* text, std::int32_t* ret_action) noexcept {
    _COMM_PARAMETER_DESCRIPTOR params[kEventParameters];
    for (auto& p : params)
        param_clear(p);
    md_proc_info_t info;
    param_set_proc_info(params, info);
    if (!param_set_bytes(params[3], COMM_PARAMETER_UNICODE, text, text_length(text)))
        return false;
    std::uint8_t list[kEventListCapacity];
    std::size_t total = 0;
    if (!params_serialize(params, kEventParameters, list, sizeof list, total))
        return false;
    const std::int32_t action = policy_get_for_type(type);
    std::uint8_t header[12];
    store_le32(header, static_cast<std::uint32_t>(type));
    store_le32(header + 4, static_cast<std::uint32_t>(action));
    store_le32(header + 8, kEventParameters);
    if (send_event(header, sizeof header, list, total) != 0)
        return false;
    (void)do_event_response(action);
    if (ret_action != nullptr)
        *ret_action = action;
    return true;
}

std::int32_t report_stack_pivot(const char* api, const void* stack_address) noexcept {
    std::uintptr_t low = 0;
    std::size_t size = 0;
    (void)stack_data(low, size);
    char text[kEventTextCapacity];
    (void)format(text, sizeof text, "CalledAPI:%s,\x10" "StackAddress:%p,StackMin:%p,StackMax:%p", api,
                 stack_address, reinterpret_cast<void*>(low),
                 reinterpret_cast<void*>(low + stack_size_or_default()));
    return action_or_default(MEMDEF_VIOLATION_STACK_PIVOT, text);
}

std::int32_t report_stack_protect(const char* api, const void* address, std::size_t size, int permissions) noexcept {
    char text[kEventTextCapacity];
    (void)format(text, sizeof text, "CalledAPI:%s,\x10" "TargetAddress:%p,Size:%p,NewPagePermissions:0x%x", api,
                 address, reinterpret_cast<void*>(size), static_cast<unsigned>(permissions));
    return action_or_default(MEMDEF_VIOLATION_STACK_PROTECT, text);
}

std::int32_t report_zero_allocate(const char* api, const void* address, std::size_t size) noexcept {
    char text[kEventTextCapacity];
    (void)format(text, sizeof text, "CalledAPI:%s,\x10" "Address:%p,Size:%p", api, address,
                 reinterpret_cast<void*>(size));
    return action_or_default(MEMDEF_VIOLATION_ZERO_ALLOCATE, text);
}

std::int32_t report_dyld_inject(const char* api, const char* libraries) noexcept {
    char text[kEventTextCapacity];
    (void)format(text, sizeof text, "CalledAPI:%s,\x10" "injectedDylibs:%s", api, libraries);
    return action_or_default(MEMDEF_VIOLATION_DYLD_INJECT, text);
}

std::int32_t do_event_response(std::int32_t action) noexcept {
    if (action != MEMDEF_ACTION_KILL)
        return action;
    const pid_t pid = getpid();
    const pid_t group = getpgid(pid);
    // Group 1 (a container's init group) or an unknown group (0, -1: the
    // group lies outside our PID namespace) would make killpg reach far
    // beyond this program; only the process itself is ended then.
    if (group > 1)
        (void)killpg(group, SIGTERM);
    (void)kill(pid, SIGKILL);
    return MEMDEF_ACTION_REFUSE;
}

}  // namespace kv::md
