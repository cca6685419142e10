// Fuzzes the event-path formatter with arbitrary formats. Input: output
// capacity (1 byte), a format up to the first NUL, then the bytes that feed
// the conversions' arguments, so any format is safe to run (no mismatched
// C varargs). The output must be terminated within the capacity and the
// result must equal its length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "md_format.hpp"

namespace {

struct FuzzArgs {
    const std::uint8_t* p;
    std::size_t left;
    std::uint64_t next() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8 && left > 0; ++i, --left)
            v = v << 8 | *p++;
        return v;
    }
    std::int64_t signed_value(kv::md::ArgKind kind) {
        const std::uint64_t v = next();
        return kind == kv::md::ArgKind::Int ? static_cast<std::int32_t>(v) : static_cast<std::int64_t>(v);
    }
    std::uint64_t unsigned_value(kv::md::ArgKind kind) {
        const std::uint64_t v = next();
        return kind == kv::md::ArgKind::UInt || kind == kv::md::ArgKind::Hex32 ? static_cast<std::uint32_t>(v) : v;
    }
    const char* text() {
        static const char* const texts[] = {nullptr, "", "x", "a longer text of some bytes %s %d"};
        return texts[next() % 4];
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t capacity = data[0];
    const std::uint8_t* rest = data + 1;
    const std::size_t rest_size = size - 1;
    const void* nul = std::memchr(rest, 0, rest_size);
    const std::size_t format_length = nul ? static_cast<const std::uint8_t*>(nul) - rest : rest_size;
    const std::string format(reinterpret_cast<const char*>(rest), format_length);
    FuzzArgs args{rest + format_length, rest_size - format_length};
    std::vector<char> out(capacity == 0 ? 1 : capacity, '\x7f');
    const int n = kv::md::format_text(capacity == 0 ? out.data() : out.data(), capacity, format.c_str(), args);
    if (capacity == 0) {
        if (n != 0 || out[0] != '\x7f')
            __builtin_trap();
        return 0;
    }
    if (n < 0 || static_cast<std::size_t>(n) >= capacity || out[n] != '\0' || std::strlen(out.data()) != static_cast<std::size_t>(n))
        __builtin_trap();
    return 0;
}
