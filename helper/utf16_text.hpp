// UTF-8 and UTF-16 conversions for the service's wide strings: UTF-16 is
// little-endian without a byte-order mark in both directions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::helper {

// Converts the whole UTF-8 text into out[0..out_bytes) and appends a 16-bit
// NUL. false when it does not convert or fit; the output is then cleared.
bool utf8_to_utf16(const char* text, std::uint16_t* out, std::size_t out_bytes) noexcept;

// Converts the UTF-16 text up to its 16-bit NUL into a new UTF-8 text (the
// caller frees it), printing the converter's figures to standard output.
// Null on failure.
char* utf16_to_utf8(const std::uint16_t* text) noexcept;

// Copies at most `count` units, stopping after a NUL. Returns `dest`.
std::uint16_t* utf16_copy(std::uint16_t* dest, const std::uint16_t* src, std::size_t count) noexcept;

}  // namespace kv::helper
