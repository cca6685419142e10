// Typed event parameters and their serialised list: per parameter a
// little-endian word (type << 24 | length) followed by the value bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memdef.h"

namespace kv::md {

inline constexpr std::uint32_t kMaxParameters = 65535;        // count < 65 536
inline constexpr std::size_t kMaxParameterLength = 0xFFFFFF;  // fits the 24-bit length
inline constexpr std::size_t kMaxParameterTotal = 0x0FFFFFFF;

void param_clear(_COMM_PARAMETER_DESCRIPTOR& d) noexcept;
bool param_set_integer(_COMM_PARAMETER_DESCRIPTOR& d, std::uint64_t value, std::uint32_t width) noexcept;
bool param_set_bytes(_COMM_PARAMETER_DESCRIPTOR& d, std::uint32_t type, const void* data,
                     std::size_t length) noexcept;
// Parameters 1 to 3 of every event (executable path, effective uid,
// version) into d[0..2], stored in `info`.
void param_set_proc_info(_COMM_PARAMETER_DESCRIPTOR* d, md_proc_info_t& info) noexcept;

// Total serialised size, or false when a limit is broken.
bool params_total(const _COMM_PARAMETER_DESCRIPTOR* d, std::uint32_t count, std::size_t& ret_total) noexcept;
// Serialises into buffer[0..size); false when a limit is broken or it does not fit.
bool params_serialize(const _COMM_PARAMETER_DESCRIPTOR* d, std::uint32_t count, std::uint8_t* buffer,
                      std::size_t size, std::size_t& ret_total) noexcept;

inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace kv::md
