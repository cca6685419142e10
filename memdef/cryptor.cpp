// Key derivation and CBC pass of the event-file cipher.
#include "cryptor.hpp"

#include "des.hpp"
#include "sha256.hpp"

namespace kv::md {

void crypt_with_path(const char* path, std::size_t path_length, std::uint8_t* data, std::size_t length,
                     bool encrypt) noexcept {
    Sha256 hash;
    hash.update(path, path_length);
    hash.update(kCryptorSalt, sizeof kCryptorSalt);
    std::uint8_t digest[kSha256DigestSize];
    hash.finish(digest);
    std::uint8_t key[8];
    std::uint8_t iv[8];
    for (int i = 0; i < 8; ++i) {
        key[i] = digest[i];
        iv[i] = digest[8 + i];
    }
    DesKeySchedule schedule;
    des_set_key(key, schedule);
    if (encrypt)
        des_cbc_encrypt(data, length / 8, schedule, iv);
    else
        des_cbc_decrypt(data, length / 8, schedule, iv);
    // Key material does not outlive the call on the stack.
    for (auto& k : schedule.subkey)
        __atomic_store_n(&k, 0, __ATOMIC_RELAXED);
}

}  // namespace kv::md
