// Sanitising of arbitrary bytes, UTF-8-aware cuts, markup escaping and the
// last path component.
#include <gtest/gtest.h>

#include <string>

#include "text_sanitiser.hpp"

namespace {

using kv::ui::sanitise_text;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(TextSanitiser, ReplacesEveryInvalidByteAndKeepsValidText) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain /tmp/a.exe", "plain /tmp/a.exe"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a" + kFffd + "b"},
        {"\xC3", kFffd},                                        // truncated sequence at the end
        {"\xE2\x82", kFffd + kFffd},                            // each stray byte replaced
        {"\xC0\xAF", kFffd + kFffd},                            // overlong '/'
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},                // surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},    // above U+10FFFF
        {std::string("a\0b", 3), "a" + kFffd + "b"},            // NUL would cut a C string
    };
    for (const auto& c : cases)
        EXPECT_EQ(sanitise_text(c.in), c.out) << c.in;
}

TEST(TextSanitiser, CutsOnCharacterBoundaries) {
    std::string euro3 = "ab\xE2\x82\xAC";   // 5 bytes
    const struct {
        std::size_t max;
        std::string want;
    } cases[] = {{5, euro3}, {4, "ab"}, {3, "ab"}, {2, "ab"}, {1, "a"}, {0, ""}};
    for (const auto& c : cases) {
        std::string t = euro3;
        kv::ui::utf8_cut(&t, c.max);
        EXPECT_EQ(t, c.want) << c.max;
    }
}

TEST(TextSanitiser, EscapesMarkupAndFindsFileNames) {
    EXPECT_EQ(kv::ui::markup_escape("/tmp/<b>a&b</b>'\""), "/tmp/&lt;b&gt;a&amp;b&lt;/b&gt;&apos;&quot;");
    EXPECT_EQ(kv::ui::last_path_component("/home/u/x.exe"), "x.exe");
    EXPECT_EQ(kv::ui::last_path_component("x.exe"), "x.exe");
    EXPECT_EQ(kv::ui::last_path_component("/dir/"), "");
}

}  // namespace
