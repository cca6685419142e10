// UTF-8 repair of texts handed to libdbus.
#include "utf8_text.hpp"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <string>

namespace kv::helper {
namespace {

TEST(RepairUtf8, ValidTextStaysAndInvalidBytesBecomeQuestionMarks) {
    const struct {
        std::string in;
        std::string out;
        bool changed;
    } cases[] = {
        {"plain ascii", "plain ascii", false},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", false},
        {"a\xff" "b", "a?b", true},
        {"\xc0\xaf", "??", true},                     // overlong '/'
        {"\xed\xa0\x80x", "???x", true},              // surrogate
        {"\xf4\x90\x80\x80", "????", true},           // above U+10FFFF
        {"\x80\x80" "ok", "??ok", true},              // stray continuation bytes
        {"end\xe2\x82", "end", true},                 // cut inside the last character
        {"end\xf0\x9f\x98", "end", true},
        {"mid\xe2\x82x", "mid??x", true},             // incomplete inside: replaced
        {"", "", false},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        std::size_t length = text.size();
        EXPECT_EQ(repair_utf8(text.data(), &length), c.changed) << c.in;
        EXPECT_EQ(std::string(text.data(), length), c.out) << c.in;
        EXPECT_EQ(text[length], '\0');
        EXPECT_TRUE(dbus_validate_utf8(text.c_str(), nullptr)) << c.in;
    }
}

TEST(RepairUtf8, EveryTwoByteInputEndsValid) {
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            char text[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
            std::size_t length = 2;
            (void)repair_utf8(text, &length);
            ASSERT_TRUE(dbus_validate_utf8(text, nullptr)) << a << " " << b;
        }
    }
}

}  // namespace
}  // namespace kv::helper
