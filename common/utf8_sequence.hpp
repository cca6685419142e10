// One UTF-8 character's validity, by the rules GLib and the D-Bus wire
// format share: shortest form, no surrogates, at most U+10FFFF, no NUL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// Length of the valid sequence starting at s[i] (1..4), 0 when invalid, or
// -1 when it is a valid prefix cut by the end of the text at n.
inline int utf8_sequence_length(const unsigned char* s, std::size_t i, std::size_t n) noexcept {
    const unsigned char c = s[i];
    if (c >= 0x01 && c < 0x80)
        return 1;
    int len = 0;
    std::uint32_t lo = 0x80, hi = 0xBF;   // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;                     // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;                     // at most U+10FFFF
    } else {
        return 0;
    }
    for (int k = 1; k < len; ++k) {
        if (i + static_cast<std::size_t>(k) >= n)
            return -1;
        const unsigned char b = s[i + static_cast<std::size_t>(k)];
        const std::uint32_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max)
            return 0;
    }
    return len;
}

}  // namespace kv
