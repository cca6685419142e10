// iconv conversions between UTF-8 and UTF-16LE.
#include "utf16_text.hpp"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv::helper {
namespace {

constexpr const char* kWide = "UTF-16LE";
constexpr std::size_t kBytesPerUnit = 10;   // room for any UTF-8 form of one unit

struct IconvCloser {
    iconv_t cd;
    ~IconvCloser() { (void)iconv_close(cd); }
};

}  // namespace

bool utf8_to_utf16(const char* text, std::uint16_t* out, std::size_t out_bytes) noexcept {
    if (out == nullptr)
        return false;
    std::memset(out, 0, out_bytes);
    if (text == nullptr)
        return false;
    const iconv_t cd = iconv_open(kWide, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    IconvCloser closer{cd};
    char* in = const_cast<char*>(text);   // iconv's interface is not const-correct
    std::size_t in_left = std::strlen(text);
    char* dst = reinterpret_cast<char*>(out);
    std::size_t out_left = out_bytes;
    const std::size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
    if (r == static_cast<std::size_t>(-1) || in_left != 0 || out_left < sizeof(std::uint16_t)) {
        std::memset(out, 0, out_bytes);
        return false;
    }
    std::memset(dst, 0, sizeof(std::uint16_t));
    return true;
}

char* utf16_to_utf8(const std::uint16_t* text) noexcept {
    if (text == nullptr)
        return nullptr;
    std::size_t units = 0;
    while (text[units] != 0)
        ++units;
    if (units > (SIZE_MAX - 1) / kBytesPerUnit)
        return nullptr;
    const std::size_t capacity = units * kBytesPerUnit + 1;
    const iconv_t cd = iconv_open("UTF-8", kWide);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fputs("iconv_open failed", stdout);
        return nullptr;
    }
    IconvCloser closer{cd};
    auto* result = static_cast<char*>(std::calloc(capacity, 1));
    if (result == nullptr)
        return nullptr;
    char* in = reinterpret_cast<char*>(const_cast<std::uint16_t*>(text));
    std::size_t in_left = units * sizeof(std::uint16_t);
    char* dst = result;
    std::size_t out_left = capacity - 1;   // the last byte stays the terminator
    const std::size_t status = iconv(cd, &in, &in_left, &dst, &out_left);
    const int saved = errno;
    std::printf("\niconv status = %d\nuniStrLen    = %d\ndstlen       = %d\n", static_cast<int>(status),
                static_cast<int>(in_left), static_cast<int>(out_left));
    if (status == static_cast<std::size_t>(-1)) {
        std::printf("errno = %d\n", saved);
        std::free(result);
        return nullptr;
    }
    return result;
}

std::uint16_t* utf16_copy(std::uint16_t* dest, const std::uint16_t* src, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        dest[i] = src[i];
        if (src[i] == 0)
            break;
    }
    return dest;
}

}  // namespace kv::helper
