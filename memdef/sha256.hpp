// SHA-256 (FIPS 180-4), streaming, no allocation: the key derivation of
// the event-file cipher.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

inline constexpr std::size_t kSha256DigestSize = 32;

class Sha256 {
public:
    Sha256() noexcept;
    void update(const void* data, std::size_t length) noexcept;
    // Pads, writes the 32-byte digest and leaves the object spent.
    void finish(std::uint8_t (&digest)[kSha256DigestSize]) noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::uint32_t state_[8];
    std::uint64_t bits_ = 0;
    std::uint8_t block_[64];
    std::size_t fill_ = 0;
};

}  // namespace kv::md
