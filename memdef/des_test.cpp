// DES against published known answers (FIPS 46-3 algorithm; vectors from
// the FIPS 81 examples and the SP 800-17 tables), CBC mode, and the
// path-keyed cryptor built on it.
#include "des.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cryptor.hpp"
#include "sha256.hpp"
#include "memdef.h"

namespace {

using kv::md::DesKeySchedule;

void key_bytes(std::uint64_t k, std::uint8_t (&out)[8]) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<std::uint8_t>(k >> (56 - 8 * i));
}

struct BlockVector {
    std::uint64_t key, plain, cipher;
};

TEST(Des, KnownAnswers) {
    const BlockVector vectors[] = {
        {0x0123456789ABCDEF, 0x4E6F772069732074, 0x3FA40E8A984D4815},   // FIPS 81 ECB "Now is t"
        {0x133457799BBCDFF1, 0x0123456789ABCDEF, 0x85E813540F0AB405},
        {0x0101010101010101, 0x8000000000000000, 0x95F8A5E5DD31D900},   // SP 800-17 variable plaintext
        {0x0101010101010101, 0x0000000000000001, 0x166B40B44ABA4BD6},
        {0x8001010101010101, 0x0000000000000000, 0x95A8D72813DAA94D},   // SP 800-17 variable key
    };
    for (const auto& v : vectors) {
        std::uint8_t key[8];
        key_bytes(v.key, key);
        DesKeySchedule ks;
        kv::md::des_set_key(key, ks);
        EXPECT_EQ(kv::md::des_encrypt_block(v.plain, ks), v.cipher) << std::hex << v.key;
        EXPECT_EQ(kv::md::des_decrypt_block(v.cipher, ks), v.plain) << std::hex << v.key;
    }
}

TEST(Des, CbcFips81Example) {
    std::uint8_t key[8], iv[8];
    key_bytes(0x0123456789ABCDEF, key);
    key_bytes(0x1234567890ABCDEF, iv);
    DesKeySchedule ks;
    kv::md::des_set_key(key, ks);
    std::uint8_t data[25] = "Now is the time for all ";
    kv::md::des_cbc_encrypt(data, 3, ks, iv);
    const std::uint8_t expected[24] = {0xe5, 0xc7, 0xcd, 0xde, 0x87, 0x2b, 0xf2, 0x7c, 0x43, 0xe9, 0x34, 0x00,
                                       0x8c, 0x38, 0x9c, 0x0f, 0x68, 0x37, 0x88, 0x49, 0x9a, 0x7c, 0x05, 0xf6};
    EXPECT_EQ(0, std::memcmp(data, expected, 24));
    kv::md::des_cbc_decrypt(data, 3, ks, iv);
    EXPECT_EQ(0, std::memcmp(data, "Now is the time for all ", 24));
}

TEST(Cryptor, KeyedByPathLeavesPartialBlockAndRoundTrips) {
    const std::string plain = "0123456789abcdefXYZ";   // two blocks and 3 bytes
    std::vector<std::uint8_t> a(plain.begin(), plain.end()), b = a;
    cryptor("/tmp/KorvaneMemDef.1.2.0.kor", a.data(), a.size(), 1);
    cryptor("/tmp/KorvaneMemDef.1.2.1.kor", b.data(), b.size(), 1);
    EXPECT_NE(a, b);                                              // the key follows the path
    EXPECT_EQ(std::string(a.end() - 3, a.end()), "XYZ");          // partial block untouched
    EXPECT_NE(std::string(a.begin(), a.begin() + 16), plain.substr(0, 16));
    cryptor("/tmp/KorvaneMemDef.1.2.0.kor", a.data(), a.size(), 0);
    EXPECT_EQ(std::string(a.begin(), a.end()), plain);
}

TEST(Cryptor, KeyIsSha256OfPathAndSalt) {
    // Independent derivation: key = SHA-256(path || salt)[0..7], IV = [8..15].
    const char* path = "/var/tmp/x.kor";
    kv::md::Sha256 h;
    h.update(path, std::strlen(path));
    h.update(kv::md::kCryptorSalt, sizeof kv::md::kCryptorSalt);
    std::uint8_t d[32];
    h.finish(d);
    std::uint8_t key[8], iv[8];
    std::memcpy(key, d, 8);
    std::memcpy(iv, d + 8, 8);
    DesKeySchedule ks;
    kv::md::des_set_key(key, ks);
    std::uint8_t expect[16] = "ABCDEFGHIJKLMNO";
    std::uint8_t got[16];
    std::memcpy(got, expect, 16);
    kv::md::des_cbc_encrypt(expect, 2, ks, iv);
    cryptor(path, got, 16, 1);
    EXPECT_EQ(0, std::memcmp(expect, got, 16));
}

}  // namespace
