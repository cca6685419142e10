// Event-file cipher: DES-CBC under a key and IV taken from SHA-256 of the
// file's full path followed by kCryptorSalt. The reader of an event file
// (the agent service, tools/memdef_event_reader) derives the same key from
// the path the file was written under.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

// The 16 salt bytes appended to the path before hashing ("KvMD-event-key.1").
// The service side must use exactly these bytes; this is their only home.
inline constexpr std::uint8_t kCryptorSalt[16] = {0x4B, 0x76, 0x4D, 0x44, 0x2D, 0x65, 0x76, 0x65,
                                                  0x6E, 0x74, 0x2D, 0x6B, 0x65, 0x79, 0x2E, 0x31};

// Encrypts or decrypts length / 8 whole blocks of `data` in place; bytes
// after the last whole block are left as they are. DES key = digest[0..7],
// IV = digest[8..15].
void crypt_with_path(const char* path, std::size_t path_length, std::uint8_t* data, std::size_t length,
                     bool encrypt) noexcept;

}  // namespace kv::md
