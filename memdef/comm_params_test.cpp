// Parameter descriptors and the serialised list: widths, inline versus
// referred values, header words, limits and exact capacity.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "memdef.h"

namespace {

constexpr bool k64 = sizeof(void*) == 8;

std::vector<std::uint8_t> serialize(const _COMM_PARAMETER_DESCRIPTOR* d, uint32_t count, size_t size = 4096) {
    std::vector<std::uint8_t> buf(size + 1, 0xEE);
    size_t total = 0;
    if (CommParametersSerialize(d, count, &total, buf.data(), size) != buf.data())
        return {};
    EXPECT_EQ(buf[total], 0xEE) << "wrote past the total";
    buf.resize(total);
    return buf;
}

struct IntegerCase {
    uint64_t value;
    uint32_t width;
    bool ok;
    std::vector<std::uint8_t> bytes;   // serialised: header word then value
};

TEST(CommParameters, IntegerWidths) {
    std::vector<IntegerCase> cases = {
        {300, 0, true, {0x02, 0x00, 0x00, 0x02, 0x2C, 0x01}},
        {0, 0, true, {0x01, 0x00, 0x00, 0x02, 0x00}},
        {255, 0, true, {0x01, 0x00, 0x00, 0x02, 0xFF}},
        {0x10000, 0, true, {0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00}},
        {0x1234, 4, true, {0x04, 0x00, 0x00, 0x02, 0x34, 0x12, 0x00, 0x00}},
        {0x1234, 1, true, {0x01, 0x00, 0x00, 0x02, 0x34}},
        {1, 3, false, {}},
        {1, 16, false, {}},
        {1, 8, k64, k64 ? std::vector<std::uint8_t>{0x08, 0, 0, 0x02, 1, 0, 0, 0, 0, 0, 0, 0}
                        : std::vector<std::uint8_t>{}},
        {0x100000000ull, 0, true,
         k64 ? std::vector<std::uint8_t>{0x08, 0, 0, 0x02, 0, 0, 0, 0, 1, 0, 0, 0}
             : std::vector<std::uint8_t>{0x04, 0, 0, 0x02, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        _COMM_PARAMETER_DESCRIPTOR d;
        CommParametersInitialize(&d, 1, nullptr);
        EXPECT_EQ(CommParameterSetInteger(&d, c.value, c.width), c.ok ? 1 : 0) << c.value << "/" << c.width;
        if (c.ok) {
            EXPECT_EQ(serialize(&d, 1), c.bytes) << c.value << "/" << c.width;
        }
    }
}

TEST(CommParameters, InlineAndReferredValues) {
    char text[64] = "0123456789abcdefghij";
    _COMM_PARAMETER_DESCRIPTOR d[3];
    size_t total = 99;
    ASSERT_EQ(CommParametersInitialize(d, 3, &total), 1);
    EXPECT_EQ(total, 0u);
    ASSERT_EQ(CommParameterSetUnicode(&d[0], text, 3), 1);   // copied into the descriptor
    ASSERT_EQ(CommParameterSetBinary(&d[1], text, 20), 1);   // referred to
    ASSERT_EQ(CommParameterSetBinary(&d[2], nullptr, 50), 1);
    EXPECT_EQ(d[2].length, 0u);
    text[0] = 'X';
    text[10] = 'Y';
    const auto out = serialize(d, 3);
    std::vector<std::uint8_t> expect = {0x03, 0, 0, 0x04, '0', '1', '2', 20, 0, 0, 0x01};
    expect.insert(expect.end(), text, text + 20);
    expect.insert(expect.end(), {0, 0, 0, 0x01});
    EXPECT_EQ(out, expect);
    EXPECT_EQ(CommParameterSetUnicode(&d[0], text, 0x1000000), 0);
    EXPECT_EQ(CommParameterSetUnicode(&d[0], text, 0xFFFFFF), 1);
}

TEST(CommParameters, LimitsAndCapacity) {
    static char big[3000];
    _COMM_PARAMETER_DESCRIPTOR d[2];
    CommParametersInitialize(d, 2, nullptr);
    CommParameterSetBinary(&d[0], big, 2040);      // 4 + 2040 + 4 + 0 = 2048
    size_t total = 0;
    std::vector<std::uint8_t> buf(2048);
    EXPECT_EQ(CommParametersSerialize(d, 2, &total, buf.data(), 2048), buf.data());
    EXPECT_EQ(total, 2048u);
    CommParameterSetBinary(&d[0], big, 2041);
    EXPECT_EQ(CommParametersSerialize(d, 2, &total, buf.data(), 2048), nullptr);
    EXPECT_EQ(total, 2049u);                        // the size it would need
    EXPECT_EQ(CommParametersSerialize(d, 2, &total, nullptr, 1 << 20), nullptr);

    std::vector<_COMM_PARAMETER_DESCRIPTOR> many(65536);
    CommParametersInitialize(many.data(), 65536, nullptr);
    EXPECT_EQ(CommParametersSerialize(many.data(), 65536, &total, nullptr, 0), nullptr);
    std::vector<std::uint8_t> huge(4 * 65535);
    EXPECT_NE(CommParametersSerialize(many.data(), 65535, &total, huge.data(), huge.size()), nullptr);

    // 17 parameters of 0xFFFFFF bytes pass 0x0FFFFFFF in total.
    std::vector<_COMM_PARAMETER_DESCRIPTOR> large(17);
    for (auto& p : large)
        CommParameterSetBinary(&p, big, 0xFFFFFF);
    EXPECT_EQ(CommParametersSerialize(large.data(), 15, &total, nullptr, 0), nullptr);
    EXPECT_EQ(total, 15u * (0xFFFFFFu + 4));
    total = 0;
    EXPECT_EQ(CommParametersSerialize(large.data(), 17, &total, nullptr, 0), nullptr);
    EXPECT_EQ(total, 0u);
}

TEST(CommParameters, ProcInfoIsPathUidVersion) {
    _COMM_PARAMETER_DESCRIPTOR d[3];
    md_proc_info_t info;
    EXPECT_EQ(CommParameterSetProcInfo(d, &info), 0);
    char exe[1024] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const auto out = serialize(d, 3);
    std::vector<std::uint8_t> expect;
    for (const std::string& s : {std::string(exe), std::to_string(geteuid()), std::string("3.1.1000.340")}) {
        expect.insert(expect.end(), {static_cast<std::uint8_t>(s.size()), 0, 0, 0x04});
        expect.insert(expect.end(), s.begin(), s.end());
    }
    EXPECT_EQ(out, expect);
}

TEST(Utilities, OverlapSafeCopyAndBlank) {
    char a[] = "abcdefgh";
    UtilMemcpy(a + 2, a, 5);                 // source below destination
    EXPECT_STREQ(a, "ababcdeh");
    char b[] = "abcdefgh";
    UtilMemcpy(b, b + 2, 5);
    EXPECT_STREQ(b, "cdefgfgh");
    char c[] = "secret\0tail";
    blank(c);
    EXPECT_EQ(std::string(c, sizeof c - 1), std::string(7, '\0') + "tail");
    UtilMemset(b, 'x', 3);
    UtilMemzero(b + 3, 1);
    EXPECT_STREQ(b, "xxx");
    EXPECT_STREQ(get_version(), "3.1.1000.340");
}

}  // namespace
