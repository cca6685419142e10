// Parameter descriptors. A descriptor never owns memory: short values live
// in its value field, longer ones are the caller's bytes.
#include "comm_params.hpp"

#include <unistd.h>

#include "md_export.hpp"
#include "md_format.hpp"

extern "C" const char version_number[];

namespace kv::md {
namespace {

constexpr std::size_t kInline = sizeof(std::uintptr_t);

const std::uint8_t* value_bytes(const _COMM_PARAMETER_DESCRIPTOR& d) noexcept {
    if (d.length <= kInline)
        return reinterpret_cast<const std::uint8_t*>(&d.value);
    return reinterpret_cast<const std::uint8_t*>(d.value);
}

void set_inline(_COMM_PARAMETER_DESCRIPTOR& d, const std::uint8_t* bytes, std::size_t n) noexcept {
    d.value = 0;
    auto* field = reinterpret_cast<std::uint8_t*>(&d.value);
    for (std::size_t i = 0; i < n; ++i)
        field[i] = bytes[i];
}

}  // namespace

void param_clear(_COMM_PARAMETER_DESCRIPTOR& d) noexcept {
    d.type = COMM_PARAMETER_NONE;
    d.value = 0;
    d.length = 0;
}

bool param_set_integer(_COMM_PARAMETER_DESCRIPTOR& d, std::uint64_t value, std::uint32_t width) noexcept {
    if (width == 0) {
        if (value < 0x100)
            width = 1;
        else if (value <= 0xFFFF)
            width = 2;
        else if (value > 0xFFFFFFFF && kInline == 8)
            width = 8;
        else
            width = 4;
    } else if (width > kInline || (width & (width - 1)) != 0) {
        return false;
    }
    std::uint8_t bytes[8];
    for (std::uint32_t i = 0; i < width; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    d.type = COMM_PARAMETER_INTEGER;
    set_inline(d, bytes, width);
    d.length = width;
    return true;
}

bool param_set_bytes(_COMM_PARAMETER_DESCRIPTOR& d, std::uint32_t type, const void* data,
                     std::size_t length) noexcept {
    if (length > kMaxParameterLength)
        return false;
    if (data == nullptr)
        length = 0;
    d.type = type;
    if (length <= kInline)
        set_inline(d, static_cast<const std::uint8_t*>(data), length);
    else
        d.value = reinterpret_cast<std::uintptr_t>(data);
    d.length = length;
    return true;
}

void param_set_proc_info(_COMM_PARAMETER_DESCRIPTOR* d, md_proc_info_t& info) noexcept {
    ssize_t n = readlink("/proc/self/exe", info.path, sizeof info.path - 1);
    if (n < 0)
        n = 0;
    info.path[n] = '\0';
    const int uid_length = format(info.text, sizeof info.text, "%u", static_cast<unsigned>(geteuid()));
    (void)param_set_bytes(d[0], COMM_PARAMETER_UNICODE, info.path, static_cast<std::size_t>(n));
    (void)param_set_bytes(d[1], COMM_PARAMETER_UNICODE, info.text, static_cast<std::size_t>(uid_length));
    (void)param_set_bytes(d[2], COMM_PARAMETER_UNICODE, version_number, text_length(version_number));
}

bool params_total(const _COMM_PARAMETER_DESCRIPTOR* d, std::uint32_t count, std::size_t& ret_total) noexcept {
    if (count > kMaxParameters || (d == nullptr && count != 0))
        return false;
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (d[i].length > kMaxParameterLength || d[i].type > 0xFF)
            return false;
        total += 4 + d[i].length;
        if (total > kMaxParameterTotal)
            return false;
    }
    ret_total = total;
    return true;
}

bool params_serialize(const _COMM_PARAMETER_DESCRIPTOR* d, std::uint32_t count, std::uint8_t* buffer,
                      std::size_t size, std::size_t& ret_total) noexcept {
    std::size_t total = 0;
    if (!params_total(d, count, total))
        return false;
    ret_total = total;
    if (buffer == nullptr || size < total)
        return false;
    std::uint8_t* out = buffer;
    for (std::uint32_t i = 0; i < count; ++i) {
        store_le32(out, d[i].type << 24 | static_cast<std::uint32_t>(d[i].length));
        out += 4;
        const std::uint8_t* bytes = value_bytes(d[i]);
        for (std::size_t k = 0; k < d[i].length; ++k)
            out[k] = bytes[k];
        out += d[i].length;
    }
    return true;
}

}  // namespace kv::md
