// Number rendering for the hand-written formatter (no leading zeros, "0"
// for zero, "-" before negative values).
#include "md_format.hpp"

namespace kv::md {

void TextSink::put_unsigned(std::uint64_t value, unsigned base) noexcept {
    char digits[24];
    int n = 0;
    do {
        const unsigned d = static_cast<unsigned>(value % base);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
        value /= base;
    } while (value != 0);
    while (n > 0)
        put(digits[--n]);
}

void TextSink::put_signed(std::int64_t value) noexcept {
    if (value < 0) {
        put('-');
        // Negate in unsigned arithmetic so INT64_MIN is rendered correctly.
        put_unsigned(0 - static_cast<std::uint64_t>(value), 10);
    } else {
        put_unsigned(static_cast<std::uint64_t>(value), 10);
    }
}

namespace {

// Argument source over a va_list; each conversion reads exactly the type
// the C calling convention passed for it.
struct VaArgs {
    va_list ap;
    std::int64_t signed_value(ArgKind kind) noexcept {
        switch (kind) {
        case ArgKind::Int:
            return va_arg(ap, int);
        case ArgKind::Long:
            return va_arg(ap, long);
        default:
            return va_arg(ap, long long);
        }
    }
    std::uint64_t unsigned_value(ArgKind kind) noexcept {
        switch (kind) {
        case ArgKind::ULong:
            return va_arg(ap, unsigned long);
        case ArgKind::ULongLong:
            return va_arg(ap, unsigned long long);
        case ArgKind::Size:
            return va_arg(ap, std::size_t);
        case ArgKind::Pointer:
            return reinterpret_cast<std::uintptr_t>(va_arg(ap, void*));
        default:
            return va_arg(ap, unsigned int);
        }
    }
    const char* text() noexcept { return va_arg(ap, const char*); }
};

}  // namespace

int format_va(char* buffer, std::size_t size, const char* format, va_list args) noexcept {
    VaArgs source;
    va_copy(source.ap, args);
    const int n = format_text(buffer, size, format, source);
    va_end(source.ap);
    return n;
}

int format(char* buffer, std::size_t size, const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    const int n = format_va(buffer, size, fmt, args);
    va_end(args);
    return n;
}

}  // namespace kv::md
