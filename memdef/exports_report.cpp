// Exported parameter, event, kernel-command, cipher and formatting entry
// points. None allocates; each keeps the caller's errno.
#include <stdarg.h>

#include <cstddef>
#include <type_traits>

#include "agent_channel.hpp"
#include "comm_params.hpp"
#include "cryptor.hpp"
#include "event_file.hpp"
#include "kernel_cmd.hpp"
#include "md_export.hpp"
#include "md_format.hpp"
#include "memdef.h"
#include "report.hpp"

using namespace kv::md;

// Records of the ABI: the same layout the 32-bit and 64-bit callers compile.
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4);
static_assert(sizeof(_COMM_PARAMETER_DESCRIPTOR) == (sizeof(void*) == 8 ? 24 : 12));
static_assert(offsetof(_COMM_PARAMETER_DESCRIPTOR, value) == (sizeof(void*) == 8 ? 8 : 4));
static_assert(offsetof(_COMM_PARAMETER_DESCRIPTOR, length) == (sizeof(void*) == 8 ? 16 : 8));
static_assert(sizeof(md_proc_info_t) == 1056 && offsetof(md_proc_info_t, text) == 1024);
static_assert(offsetof(MemDefPolicyTable, actions) == 4 && sizeof(MemDefPolicyTable) == 4);
static_assert(std::is_standard_layout_v<_COMM_PARAMETER_DESCRIPTOR> &&
              std::is_trivially_copyable_v<_COMM_PARAMETER_DESCRIPTOR>);

extern "C" {

MD_EXPORT int CommParametersInitialize(_COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count,
                                       size_t* total_out) noexcept {
    for (uint32_t i = 0; descriptors != nullptr && i < count; ++i)
        param_clear(descriptors[i]);
    if (total_out != nullptr)
        *total_out = 0;
    return 1;
}

MD_EXPORT int CommParametersDestroy(_COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count) noexcept {
    return CommParametersInitialize(descriptors, count, nullptr);
}

MD_EXPORT int CommParameterSetNone(_COMM_PARAMETER_DESCRIPTOR* d) noexcept {
    if (d == nullptr)
        return 0;
    param_clear(*d);
    return 1;
}

MD_EXPORT int CommParameterSetInteger(_COMM_PARAMETER_DESCRIPTOR* d, uint64_t value, uint32_t width) noexcept {
    return d != nullptr && param_set_integer(*d, value, width) ? 1 : 0;
}

MD_EXPORT int CommParameterSetBinary(_COMM_PARAMETER_DESCRIPTOR* d, const void* data, size_t length) noexcept {
    return d != nullptr && param_set_bytes(*d, COMM_PARAMETER_BINARY, data, length) ? 1 : 0;
}

MD_EXPORT int CommParameterSetUnicode(_COMM_PARAMETER_DESCRIPTOR* d, const char* text, size_t length) noexcept {
    return d != nullptr && param_set_bytes(*d, COMM_PARAMETER_UNICODE, text, length) ? 1 : 0;
}

MD_EXPORT int CommParameterSetProcInfo(_COMM_PARAMETER_DESCRIPTOR* d, md_proc_info_t* info) noexcept {
    ErrnoKeeper keep;
    if (d != nullptr && info != nullptr)
        param_set_proc_info(d, *info);
    return 0;
}

MD_EXPORT void* CommParametersSerialize(const _COMM_PARAMETER_DESCRIPTOR* descriptors, uint32_t count,
                                        size_t* total_out, void* buffer, size_t size) noexcept {
    size_t total = 0;
    const bool ok = params_serialize(descriptors, count, static_cast<uint8_t*>(buffer), size, total);
    if (total_out != nullptr)
        *total_out = total;
    return ok ? buffer : nullptr;
}

MD_EXPORT int CommReportEvent(_violation_type_t type, const char* text, _violation_action_t* action_out) noexcept {
    ErrnoKeeper keep;
    return report_event(type, text, action_out) ? 1 : 0;
}

MD_EXPORT _violation_action_t CommReportEventStackPivot(const char* api, const void* stack_address) noexcept {
    ErrnoKeeper keep;
    return report_stack_pivot(api, stack_address);
}

MD_EXPORT _violation_action_t CommReportEventStackProtect(const char* api, const void* address, size_t size,
                                                          int permissions) noexcept {
    ErrnoKeeper keep;
    return report_stack_protect(api, address, size, permissions);
}

MD_EXPORT _violation_action_t CommReportEventZeroAllocate(const char* api, const void* address,
                                                          size_t size) noexcept {
    ErrnoKeeper keep;
    return report_zero_allocate(api, address, size);
}

MD_EXPORT _violation_action_t CommReportEventDYLDInject(const char* api, const char* libraries) noexcept {
    ErrnoKeeper keep;
    return report_dyld_inject(api, libraries);
}

MD_EXPORT _violation_action_t CommDoEventResponse(_violation_action_t action) noexcept {
    ErrnoKeeper keep;
    return do_event_response(action);
}

MD_EXPORT int md_ac_send_event(const void* header, size_t header_length, const void* parameters,
                               size_t parameters_length) noexcept {
    ErrnoKeeper keep;
    return send_event(header, header_length, parameters, parameters_length) == 0 ? 1 : 0;
}

MD_EXPORT int request_kernel_mprotect(const void* address, size_t length, int protection) noexcept {
    ErrnoKeeper keep;
    return kernel_mprotect(address, length, protection) == 0 ? 0 : -1;
}

MD_EXPORT int disable_memdef_kernel_cmd(void) noexcept {
    ErrnoKeeper keep;
    return kernel_disable() == 0 ? 0 : -1;
}

MD_EXPORT int md_ac_send_kernel_cmd(const char* text, size_t length) noexcept {
    ErrnoKeeper keep;
    return send_kernel_cmd(text, length) == 0 ? 0 : -1;
}

MD_EXPORT void cryptor(const char* path, void* data, size_t length, int encrypt) noexcept {
    if (path == nullptr || data == nullptr)
        return;
    crypt_with_path(path, text_length(path), static_cast<uint8_t*>(data), length, encrypt != 0);
}

MD_EXPORT void gettempdir2(char* buffer, size_t size) noexcept {
    ErrnoKeeper keep;
    get_temp_dir(buffer, size);
}

MD_EXPORT int md_svprintf(char* buffer, size_t size, const char* format, va_list arguments) noexcept {
    return format_va(buffer, size, format, arguments);
}

MD_EXPORT int md_sprintf(char* buffer, size_t size, const char* format, ...) noexcept {
    va_list arguments;
    va_start(arguments, format);
    const int n = format_va(buffer, size, format, arguments);
    va_end(arguments);
    return n;
}

}  // extern "C"
