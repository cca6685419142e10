// SHA-256 against the FIPS 180-4 example vectors, fed whole and in pieces.
#include "sha256.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex_digest(const std::string& data, std::size_t piece) {
    kv::md::Sha256 h;
    for (std::size_t i = 0; i < data.size(); i += piece)
        h.update(data.data() + i, std::min(piece, data.size() - i));
    std::uint8_t d[kv::md::kSha256DigestSize];
    h.finish(d);
    std::string out;
    char b[3];
    for (auto c : d) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

struct Vector {
    std::string message;
    const char* digest;
};

TEST(Sha256, Fips180Vectors) {
    const Vector vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors)
        for (std::size_t piece : {std::size_t{1}, std::size_t{55}, std::size_t{64}, std::size_t{1000001}})
            EXPECT_EQ(hex_digest(v.message, piece), v.digest) << v.message.size() << " bytes, pieces of " << piece;
}

}  // namespace
