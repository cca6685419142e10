// md_sprintf: each conversion, the odd cases of "%", truncation.
#include <gtest/gtest.h>

#include <stdarg.h>

#include <climits>
#include <cstring>
#include <cstdint>
#include <string>

#include "memdef.h"

// Odd formats are the point of some cases here.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-overflow"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace {

std::string fmt(std::size_t size, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string fmt(std::size_t size, const char* format, ...) {
    char buf[256];
    std::memset(buf, 'Z', sizeof buf);
    va_list ap;
    va_start(ap, format);
    const int n = md_svprintf(buf, size, format, ap);
    va_end(ap);
    if (size == 0)
        return buf[0] == 'Z' && n == 0 ? "<untouched>" : "<written>";
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(buf)) << format;
    return buf;
}

TEST(MdFormat, Conversions) {
    EXPECT_EQ(fmt(256, "%d|%d|%d", 0, -42, INT_MIN), "0|-42|-2147483648");
    EXPECT_EQ(fmt(256, "%ld|%lld", LONG_MIN, LLONG_MIN),
              std::to_string(LONG_MIN) + "|-9223372036854775808");
    EXPECT_EQ(fmt(256, "%u|%lu|%llu|%zu", UINT_MAX, 7ul, ULLONG_MAX, SIZE_MAX),
              std::to_string(UINT_MAX) + "|7|18446744073709551615|" + std::to_string(SIZE_MAX));
    EXPECT_EQ(fmt(256, "%x|%x|%x", 0u, 0xdeadbeefu, 0x10u), "0|deadbeef|10");
    EXPECT_EQ(fmt(256, "%p|%p", static_cast<void*>(nullptr), reinterpret_cast<void*>(0x7f00ab)), "0|7f00ab");
    EXPECT_EQ(fmt(256, "[%s][%s]", "text", static_cast<const char*>(nullptr)), "[text][]");
    EXPECT_EQ(fmt(256, "100%%"), "100%");
}

TEST(MdFormat, UnknownAndTrailingPercentAreText) {
    EXPECT_EQ(fmt(256, "50%"), "50%");
    EXPECT_EQ(fmt(256, "%q|%5d"), "%q|%5d");
    EXPECT_EQ(fmt(256, "%lx %zd %l", 1ul, 2ul), "%lx %zd %l");
}

TEST(MdFormat, StopsAtCapacityAndTerminates) {
    EXPECT_EQ(fmt(5, "%s", "abcdefgh"), "abcd");
    EXPECT_EQ(fmt(1, "%d", 12345), "");
    EXPECT_EQ(fmt(0, "%d", 1), "<untouched>");
    EXPECT_EQ(fmt(4, "%d", -123456), "-12");
    char buf[8];
    EXPECT_EQ(md_sprintf(buf, sizeof buf, "%s-%u", "ab", 12u), 5);
    EXPECT_STREQ(buf, "ab-12");
    EXPECT_EQ(md_sprintf(nullptr, 10, "x"), 0);
}

}  // namespace
