// The TLV codec as each library exports it: the byte layout, capacity
// bounds, the encoder's limits, the decoder's rejections and record order.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cefrpc.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Codec {
    decltype(&cefEncodeTLVBuffer) encode = nullptr;
    decltype(&cefDecodeTLVBuffer) decode = nullptr;
};

// The library's own copy: dlsym on its handle searches it before any other.
Codec codec_of(const char* library) {
    void* handle = dlopen(library, RTLD_NOW);
    if (handle == nullptr)
        return {};
    return {reinterpret_cast<decltype(&cefEncodeTLVBuffer)>(dlsym(handle, "cefEncodeTLVBuffer")),
            reinterpret_cast<decltype(&cefDecodeTLVBuffer)>(dlsym(handle, "cefDecodeTLVBuffer"))};
}

Bytes record(std::uint16_t tag, const Bytes& value) {
    Bytes out{static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
              static_cast<std::uint8_t>(value.size()), static_cast<std::uint8_t>(value.size() >> 8)};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Name "a", payload "xyz", code 'B', id 0x11223344.
const Bytes kVector41 = {
    0x00, 0x00, 0x04, 0x00, 0x44, 0x33, 0x22, 0x11,                          // id
    0x01, 0x00, 0x02, 0x00, 0x61, 0x00,                                      // name
    0x02, 0x00, 0x04, 0x00, 0x42, 0x00, 0x00, 0x00,                          // code
    0x03, 0x00, 0x03, 0x00, 0x78, 0x79, 0x7a,                                // payload
    0x04, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // length
};

struct Decoded {
    std::int64_t result = -1;
    std::uint32_t code = 0xdeadbeef;
    std::uint32_t id = 0xdeadbeef;
    const char* name = "stale";
    const void* payload = "stale";
    std::uint64_t length = 0xdeadbeef;
    std::uint8_t large = 7;
};

class TlvCodec : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        codec_ = codec_of(GetParam());
        ASSERT_NE(codec_.encode, nullptr) << dlerror();
        ASSERT_NE(codec_.decode, nullptr);
    }
    Decoded decode(const Bytes& message, std::uint64_t length = UINT64_MAX) const {
        Decoded d;
        d.result = codec_.decode(message.data(), length == UINT64_MAX ? message.size() : length,
                                 &d.code, &d.id, &d.name, &d.payload, &d.length, &d.large);
        return d;
    }
    Codec codec_;
};

TEST_P(TlvCodec, EncodesTheFortyOneByteMessage) {
    std::uint8_t buffer[64];
    std::memset(buffer, 0xee, sizeof buffer);
    std::uint64_t length = 3;
    ASSERT_EQ(codec_.encode(buffer, sizeof buffer, 'B', 0x11223344, "a", "xyz", &length, 0), 0);
    EXPECT_EQ(length, 41u);
    EXPECT_EQ(Bytes(buffer, buffer + 41), kVector41);
    EXPECT_EQ(buffer[41], 0xee);

    length = 3;
    ASSERT_EQ(codec_.encode(buffer, sizeof buffer, 'B', 0x11223344, "a", "xyz", &length, 1), 0);
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(buffer[1], 0x10);   // tag 0x1000 marks a large-data path
    EXPECT_EQ(Bytes(buffer + 2, buffer + 41), Bytes(kVector41.begin() + 2, kVector41.end()));
}

TEST_P(TlvCodec, CapacityEqualToTheTotalIsEnoughOneLessIsNot) {
    struct Case {
        std::uint64_t capacity;
        std::int64_t result;
        std::uint64_t length_after;
    };
    for (const Case c : {Case{41, 0, 41}, Case{40, 1, 3}, Case{0, 1, 3}}) {
        Bytes buffer(64, 0xee);
        std::uint64_t length = 3;
        EXPECT_EQ(codec_.encode(buffer.data(), c.capacity, 'B', 0x11223344, "a", "xyz", &length, 0),
                  c.result)
            << "capacity " << c.capacity;
        EXPECT_EQ(length, c.length_after) << "capacity " << c.capacity;
        if (c.result != 0) {
            EXPECT_EQ(buffer, Bytes(64, 0xee)) << "nothing written on failure";
        }
    }
}

TEST_P(TlvCodec, EncoderLimitsAreComputedOnFullLengths) {
    const std::string long_payload(70000, 'p');
    struct Case {
        const char* what;
        std::size_t name_length;
        std::uint64_t payload_length;
        std::int64_t result;
    };
    const Case cases[] = {
        {"largest payload", 1, 65535, 0},
        {"payload beyond record 4's length field", 1, 65536, 1},
        {"largest name", 65534, 1, 0},
        {"name beyond record 2's length field", 65535, 1, 1},
        // Low 32 bits are 3: a 32-bit sum would pass and copy 4 GiB.
        {"length wrapping 32 bits", 1, (1ull << 32) + 3, 1},
        {"length wrapping 64 bits", 1, UINT64_MAX - 30, 1},
        {"empty payload", 1, 0, 1},
    };
    Bytes buffer(140000);
    for (const Case& c : cases) {
        const std::string name(c.name_length, 'n');
        std::uint64_t length = c.payload_length;
        EXPECT_EQ(codec_.encode(buffer.data(), buffer.size(), 7, 1, name.c_str(), long_payload.data(),
                                &length, 0),
                  c.result)
            << c.what;
        if (c.result == 0) {
            EXPECT_EQ(length, 37 + c.name_length + c.payload_length) << c.what;
        }
    }
}

TEST_P(TlvCodec, EncoderRejectsMissingArguments) {
    std::uint8_t buffer[64];
    std::uint64_t length = 3;
    EXPECT_EQ(codec_.encode(nullptr, 64, 1, 1, "a", "xyz", &length, 0), 1);
    EXPECT_EQ(codec_.encode(buffer, 64, 1, 1, "a", "xyz", nullptr, 0), 1);
    EXPECT_EQ(codec_.encode(buffer, 64, 1, 1, nullptr, "xyz", &length, 0), 1);
    EXPECT_EQ(codec_.encode(buffer, 64, 1, 1, "a", nullptr, &length, 0), 1);
    EXPECT_EQ(length, 3u);
}

TEST_P(TlvCodec, DecodesTheFortyOneByteMessage) {
    const Decoded d = decode(kVector41);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.code, static_cast<std::uint32_t>('B'));
    EXPECT_EQ(d.id, 0x11223344u);
    EXPECT_EQ(d.name, reinterpret_cast<const char*>(kVector41.data() + 12));
    EXPECT_EQ(d.payload, kVector41.data() + 26);
    EXPECT_EQ(d.length, 3u);
    EXPECT_EQ(d.large, 0);

    Bytes large = kVector41;
    large[1] = 0x10;
    EXPECT_EQ(decode(large).large, 1);
}

TEST_P(TlvCodec, DecoderRejectsMalformedMessages) {
    struct Case {
        const char* what;
        std::size_t offset;   // byte to overwrite (SIZE_MAX: none)
        std::uint8_t value;
        std::size_t length;   // bytes handed to the decoder
    };
    const Case cases[] = {
        {"record 3 with length 8", 16, 8, 41},
        {"record 1 with length 3", 2, 3, 41},
        {"record 5 with length 4", 31, 4, 41},
        {"tag 5", 8, 5, 41},
        {"tag 0x0100", 1, 0x01, 41},
        {"last record reaching past the end", SIZE_MAX, 0, 40},
        {"record head cut short", SIZE_MAX, 0, 31},
        {"name reaching past the end", 11, 0x01, 41},
    };
    for (const Case& c : cases) {
        Bytes message = kVector41;
        if (c.offset != SIZE_MAX)
            message[c.offset] = c.value;
        const Decoded d = decode(message, c.length);
        EXPECT_EQ(d.result, 1) << c.what;
        EXPECT_EQ(d.name, nullptr) << c.what << ": outputs are cleared first";
        EXPECT_EQ(d.large, 0) << c.what;
    }
}

TEST_P(TlvCodec, AcceptsRecordsInAnyOrder) {
    const std::vector<Bytes> records = {
        record(0, {0x44, 0x33, 0x22, 0x11}), record(1, {'a', 0}), record(2, {'B', 0, 0, 0}),
        record(3, {'x', 'y', 'z'}), record(4, {3, 0, 0, 0, 0, 0, 0, 0})};
    std::vector<std::size_t> order = {0, 1, 2, 3, 4};
    int checked = 0;
    do {
        std::vector<Bytes> parts;
        for (std::size_t i : order)
            parts.push_back(records[i]);
        const Bytes message = concat(parts);
        const Decoded d = decode(message);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(d.code, static_cast<std::uint32_t>('B'));
        EXPECT_EQ(d.id, 0x11223344u);
        EXPECT_STREQ(d.name, "a");
        EXPECT_EQ(std::memcmp(d.payload, "xyz", 3), 0);
        EXPECT_EQ(d.length, 3u);
        ++checked;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(checked, 120);
}

TEST_P(TlvCodec, AbsentRecordsLeaveClearedOutputs) {
    const Bytes message = concat({record(0, {1, 0, 0, 0}), record(2, {'C', 0, 0, 0})});
    const Decoded d = decode(message);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.id, 1u);
    EXPECT_EQ(d.code, static_cast<std::uint32_t>('C'));
    EXPECT_EQ(d.name, nullptr);
    EXPECT_EQ(d.payload, nullptr);
    EXPECT_EQ(d.length, 0u);
}

TEST_P(TlvCodec, ReadsNoMoreThanFiveRecords) {
    Bytes message = kVector41;
    const Bytes extra = record(9, {1, 2});
    message.insert(message.end(), extra.begin(), extra.end());
    EXPECT_EQ(decode(message).result, 0);
    EXPECT_EQ(decode(concat({kVector41, Bytes{0xff}})).result, 0);
}

TEST_P(TlvCodec, RoundTripsNamesAndPayloads) {
    std::uint8_t buffer[7168];
    for (std::size_t name_length : {0u, 1u, 30u, 1000u}) {
        for (std::uint64_t payload_length : {1u, 64u, 6144u}) {
            const std::string name(name_length, 'q');
            std::string payload(payload_length, '\0');
            for (std::size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(i * 7 + name_length);
            std::uint64_t length = payload_length;
            if (37 + name_length + payload_length > sizeof buffer) {
                EXPECT_EQ(codec_.encode(buffer, sizeof buffer, 9, 5, name.c_str(), payload.data(),
                                        &length, 1),
                          1);
                continue;
            }
            ASSERT_EQ(codec_.encode(buffer, sizeof buffer, 9, 5, name.c_str(), payload.data(),
                                    &length, 1),
                      0);
            Decoded d;
            d.result = codec_.decode(buffer, length, &d.code, &d.id, &d.name, &d.payload, &d.length,
                                     &d.large);
            ASSERT_EQ(d.result, 0);
            EXPECT_EQ(d.code, 9u);
            EXPECT_EQ(d.id, 5u);
            EXPECT_EQ(std::string(d.name), name);
            EXPECT_EQ(d.length, payload_length);
            EXPECT_EQ(std::string(static_cast<const char*>(d.payload), d.length), payload);
            EXPECT_EQ(d.large, 1);
        }
    }
}

std::string library_name(const ::testing::TestParamInfo<const char*>& param) {
    return param.index == 0 ? "Client" : "Server";
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, TlvCodec,
                         ::testing::Values(KV_CEFRPC_CLIENT_LIB, KV_CEFRPC_SERVER_LIB), library_name);

TEST(TlvCodecCopies, EachLibraryCarriesItsOwn) {
    const Codec client = codec_of(KV_CEFRPC_CLIENT_LIB);
    const Codec server = codec_of(KV_CEFRPC_SERVER_LIB);
    ASSERT_NE(client.encode, nullptr);
    ASSERT_NE(server.encode, nullptr);
    EXPECT_NE(reinterpret_cast<void*>(client.encode), reinterpret_cast<void*>(server.encode));
    EXPECT_NE(reinterpret_cast<void*>(client.decode), reinterpret_cast<void*>(server.decode));
}

}  // namespace
