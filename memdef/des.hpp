// DES (FIPS 46-3) block cipher and CBC mode over whole 8-byte blocks: the
// event-file cipher. Table-driven and allocation-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

struct DesKeySchedule {
    std::uint64_t subkey[16];   // 48-bit round keys, right-aligned
};

// Expands an 8-byte key (parity bits ignored).
void des_set_key(const std::uint8_t (&key)[8], DesKeySchedule& ret_schedule) noexcept;
// One block, big-endian as the standard numbers its bits.
std::uint64_t des_encrypt_block(std::uint64_t block, const DesKeySchedule& schedule) noexcept;
std::uint64_t des_decrypt_block(std::uint64_t block, const DesKeySchedule& schedule) noexcept;
// CBC over `blocks` blocks of `data`, in place.
void des_cbc_encrypt(std::uint8_t* data, std::size_t blocks, const DesKeySchedule& schedule,
                     const std::uint8_t (&iv)[8]) noexcept;
void des_cbc_decrypt(std::uint8_t* data, std::size_t blocks, const DesKeySchedule& schedule,
                     const std::uint8_t (&iv)[8]) noexcept;

}  // namespace kv::md
