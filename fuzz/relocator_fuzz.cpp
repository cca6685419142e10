// Arbitrary entry code through measure and relocate in both modes: the
// measurement reads only the bytes it is given (exact-size heap copy for
// ASan), covers at least 5 bytes when it succeeds, and the relocated code
// never exceeds the island's capacity; relocating 64-bit code to the same
// address reproduces it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relocator.hpp"

namespace {

bool read_nothing(std::uint64_t, std::uint8_t*, std::size_t, void*) { return false; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9)
        return 0;
    const auto mode = (data[0] & 1) != 0 ? kv::md::X86Mode::bits64 : kv::md::X86Mode::bits32;
    std::uint64_t distance = 0;
    std::memcpy(&distance, data + 1, sizeof distance);
    data += 9;
    size -= 9;
    const std::uint64_t from = mode == kv::md::X86Mode::bits64 ? 0x7f0000001000 : 0x08049000;
    auto* copy = static_cast<std::uint8_t*>(std::malloc(size ? size : 1));
    if (copy == nullptr)
        std::abort();
    if (size != 0)
        std::memcpy(copy, data, size);
    kv::md::Displaced d;
    if (kv::md::measure_displaced(copy, size, from, mode, d) == 0) {
        if (d.total < kv::md::kPatchJumpLength || d.total > size || std::memcmp(d.bytes, copy, d.total) != 0)
            std::abort();
        const std::size_t capacity = mode == kv::md::X86Mode::bits64 ? 32 : 16;
        std::uint8_t out[32];
        std::size_t length = 0;
        if (kv::md::relocate_displaced(d, from, from + distance, mode, read_nothing, nullptr, out, capacity,
                                       length) == 0 &&
            length > capacity)
            std::abort();
        // In place, 64-bit code comes back unchanged (32-bit call $+5
        // becomes a push, so it is left out).
        if (mode == kv::md::X86Mode::bits64 &&
            kv::md::relocate_displaced(d, from, from, mode, read_nothing, nullptr, out, sizeof out, length) == 0 &&
            (length != d.total || std::memcmp(out, d.bytes, length) != 0))
            std::abort();
    }
    std::free(copy);
    return 0;
}
