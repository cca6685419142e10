// UTF-8 to UTF-16LE and back: exact bytes, the terminator's room, invalid
// input, and the converter figures printed on standard output.
#include "utf16_text.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvhelper.h"

namespace {

const char kText[] = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";   // A é € U+1F600
const std::vector<std::uint16_t> kWide = {0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};

TEST(Utf16Text, Utf8ToUtf16NeedsRoomForTheTerminator) {
    struct Case {
        const char* text;
        std::size_t bytes;
        int result;
    } cases[] = {
        {kText, 12, 1}, {kText, 64, 1}, {kText, 11, 0}, {kText, 10, 0}, {"", 2, 1}, {"", 1, 0},
        {"bad \xFF byte", 64, 0}, {"cut \xE2\x82", 64, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + " " + c.text);
        std::vector<std::uint16_t> out(33, 0xAAAA);
        EXPECT_EQ(GetUnicodeStrFromCString(c.text, out.data(), c.bytes), c.result);
        const std::size_t units = c.bytes / 2;
        if (c.result == 1) {
            const std::size_t n = std::strlen(c.text) == 0 ? 1 : kWide.size();
            EXPECT_EQ(std::vector<std::uint16_t>(out.begin(), out.begin() + static_cast<long>(n)),
                      std::vector<std::uint16_t>(kWide.end() - static_cast<long>(n), kWide.end()));
        } else {
            for (std::size_t i = 0; i < units; ++i)
                EXPECT_EQ(out[i], 0u) << i;   // cleared
        }
        if (c.bytes % 2 == 0) {
            EXPECT_EQ(out[units], 0xAAAA);     // nothing beyond the size
        }
    }
    EXPECT_EQ(GetUnicodeStrFromCString(nullptr, nullptr, 4), 0);
    const unsigned char little[] = {'h', 0, 'i', 0, 0, 0};
    std::uint16_t out[3];
    ASSERT_EQ(GetUnicodeStrFromCString("hi", out, sizeof out), 1);
    EXPECT_EQ(std::memcmp(out, little, sizeof little), 0);   // little-endian, no byte-order mark
}

TEST(Utf16Text, Utf16ToUtf8PrintsTheConverterFigures) {
    testing::internal::CaptureStdout();
    char* text = Unistr2Cstr(kWide.data());
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, kText);
    std::free(text);
    // 5 units: 50 bytes of room less the 10 written.
    EXPECT_EQ(printed, "\niconv status = 0\nuniStrLen    = 0\ndstlen       = 40\n");

    const std::uint16_t empty[] = {0};
    text = Unistr2Cstr(empty);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    std::free(text);

    const std::uint16_t lone_surrogate[] = {0x0041, 0xDC00, 0x0042, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Unistr2Cstr(lone_surrogate), nullptr);
    const std::string failed = testing::internal::GetCapturedStdout();
    EXPECT_NE(failed.find("\niconv status = -1\nuniStrLen    = 4\n"), std::string::npos) << failed;
    EXPECT_NE(failed.find("errno = 84\n"), std::string::npos) << failed;   // EILSEQ
    EXPECT_EQ(Unistr2Cstr(nullptr), nullptr);
}

TEST(Utf16Text, CopyStopsAtTheCountOrAfterTheTerminator) {
    const std::uint16_t source[] = {1, 2, 3, 0, 9, 9};
    std::uint16_t dest[6];
    std::fill(std::begin(dest), std::end(dest), 0x7777);
    EXPECT_EQ(UniStrncpy(dest, source, 2), dest);
    EXPECT_EQ(std::vector<std::uint16_t>(dest, dest + 6), (std::vector<std::uint16_t>{1, 2, 0x7777, 0x7777, 0x7777, 0x7777}));
    UniStrncpy(dest, source, 6);
    EXPECT_EQ(std::vector<std::uint16_t>(dest, dest + 6), (std::vector<std::uint16_t>{1, 2, 3, 0, 0x7777, 0x7777}));
    EXPECT_EQ(UniStrncpy(nullptr, source, 3), nullptr);
}

}  // namespace
