// Text formatting for the event path: a handful of conversions written out
// by hand, so reports never enter the C library's formatter (which may
// allocate or take locks inside a hooked call).
#pragma once

#include <stdarg.h>

#include <cstddef>
#include <cstdint>

namespace kv::md {

// Bounded output: keeps at most size - 1 characters and always terminates
// (nothing at all when size is 0).
class TextSink {
public:
    TextSink(char* buffer, std::size_t size) noexcept : buffer_(buffer), size_(buffer != nullptr ? size : 0) {}
    void put(char c) noexcept {
        if (size_ != 0 && used_ + 1 < size_)
            buffer_[used_++] = c;
    }
    void put_text(const char* text) noexcept {
        if (text == nullptr)
            return;
        for (; *text != '\0'; ++text)
            put(*text);
    }
    void put_unsigned(std::uint64_t value, unsigned base) noexcept;
    void put_signed(std::int64_t value) noexcept;
    // Terminates the output and returns the characters kept.
    int finish() noexcept {
        if (size_ != 0)
            buffer_[used_] = '\0';
        return static_cast<int>(used_);
    }

private:
    char* buffer_;
    std::size_t size_;
    std::size_t used_ = 0;
};

enum class ArgKind { Int, Long, LongLong, UInt, ULong, ULongLong, Size, Hex32, Pointer, Text };

// Walks `format` and asks `args` for each conversion's value:
//   args.signed_value(kind) -> int64, args.unsigned_value(kind) -> uint64,
//   args.text() -> const char* (may be null).
// An unknown or incomplete conversion writes "%" and resumes at the
// character after it, as plain text.
template <class Args>
int format_text(char* buffer, std::size_t size, const char* format, Args& args) noexcept {
    TextSink out(buffer, size);
    if (format == nullptr)
        return out.finish();
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        const char* spec = p + 1;
        // Length modifiers: l, ll, z (only before the conversions they allow).
        int longs = 0;
        bool size_mod = false;
        const char* c = spec;
        if (*c == 'z') {
            size_mod = true;
            ++c;
        } else {
            while (*c == 'l' && longs < 2) {
                ++longs;
                ++c;
            }
        }
        bool done = true;
        switch (*c) {
        case 'd':
            if (size_mod) {
                done = false;
                break;
            }
            out.put_signed(args.signed_value(longs == 0 ? ArgKind::Int
                                             : longs == 1 ? ArgKind::Long : ArgKind::LongLong));
            break;
        case 'u':
            out.put_unsigned(args.unsigned_value(size_mod ? ArgKind::Size
                                                 : longs == 0 ? ArgKind::UInt
                                                 : longs == 1 ? ArgKind::ULong : ArgKind::ULongLong), 10);
            break;
        case 'x':
            if (size_mod || longs != 0) {
                done = false;
                break;
            }
            out.put_unsigned(args.unsigned_value(ArgKind::Hex32), 16);
            break;
        case 'p':
            if (size_mod || longs != 0) {
                done = false;
                break;
            }
            out.put_unsigned(args.unsigned_value(ArgKind::Pointer), 16);
            break;
        case 's':
            if (size_mod || longs != 0) {
                done = false;
                break;
            }
            out.put_text(args.text());
            break;
        case '%':
            if (size_mod || longs != 0) {
                done = false;
                break;
            }
            out.put('%');
            break;
        default:
            done = false;
            break;
        }
        if (done) {
            p = c + 1;
        } else {
            out.put('%');   // "%" followed by anything else: the rest is plain text
            p = spec;
        }
    }
    return out.finish();
}

// The formatter over a C argument list, and its variadic form for the
// library's own texts (printf-checked, as the conversions agree).
int format_va(char* buffer, std::size_t size, const char* format, va_list args) noexcept;
[[gnu::format(printf, 3, 4)]] int format(char* buffer, std::size_t size, const char* format, ...) noexcept;

}  // namespace kv::md
