// HostCache codes and whole-file reading.
#include "host_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fd_io.hpp"
#include "unique_handle.hpp"

namespace kv::svc {
namespace {

constexpr const char* kProcessActionNames[] = {"Alert", "Ignored", "Blocked", "Terminated", "Unknown"};

constexpr const char* kViolationTypeNames[] = {
    "Unknown",        "StackPivot",      "StackProtect",   "OverwriteCode", "OopAllocate",     "OopMap",
    "OopWrite",       "OopWritePe",      "OopOverwriteCode", "OopUnmap",    "OopThreadCreate", "OopThreadApc",
    "LsassRead",      "TrackDataRead",   "CpAllocate",     "CpMap",         "CpWrite",         "CpWritePe",
    "CpOverwriteCode", "CpUnmap",        "CpThreadCreate", "CpThreadApc",   "ZeroAllocate",    "DYLDInjection",
};

}  // namespace

const char* state_label(std::uint32_t state) noexcept {
    if (state & kFileQuarantined)
        return "Quarantined";
    if (state & kFileWaived)
        return "Waived";
    if (state & kFileAbnormal)
        return "Abnormal";
    if (state & kFileUnsafe)
        return "Unsafe";
    return "Unknown";
}

const char* process_action_name(std::uint32_t action) noexcept {
    return action < std::size(kProcessActionNames) ? kProcessActionNames[action] : nullptr;
}

const char* violation_type_name(std::uint32_t type) noexcept {
    return type < std::size(kViolationTypeNames) ? kViolationTypeNames[type] : nullptr;
}

int read_whole_file(const char* path, std::string* ret_bytes, std::size_t max_bytes) noexcept {
    UniqueFd fd{open(path, O_RDONLY | O_CLOEXEC)};
    if (!fd)
        return -errno;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes)
        return -EFBIG;
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    if (const int r = read_all(fd.get(), bytes.data(), bytes.size()); r != 0)
        return r;
    *ret_bytes = std::move(bytes);
    return 0;
}

JsonPtr parse_json_bytes(std::string_view bytes) noexcept {
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr)
        return nullptr;
    JsonPtr value{json_tokener_parse_ex(tok, bytes.data(), static_cast<int>(bytes.size()))};
    // A text with a trailing incomplete value, or nothing at all, fails as the
    // one-shot parser would.
    if (json_tokener_get_error(tok) != json_tokener_success)
        value.reset();
    json_tokener_free(tok);
    return value;
}

JsonPtr korvaneui_json_parse_file(const char* path) noexcept {
    std::string bytes;
    if (read_whole_file(path, &bytes, kMaxRecordFileBytes) < 0)
        return nullptr;
    return parse_json_bytes(bytes);
}

}  // namespace kv::svc
