// Translations as formats: only an entry whose conversions are exactly the
// expected ones is used; anything else falls back to the msgid. The
// catalogue is a real one, compiled with msgfmt for the test.
#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <string>

#include "process.hpp"
#include "text_sanitiser.hpp"
#include "threat_event_text.hpp"
#include "translated_format.hpp"

namespace {

TEST(TranslatedFormat, ConversionsOfAFormat) {
    const struct {
        const char* format;
        bool ok;
        const char* conversions;
    } cases[] = {
        {"no conversions", true, ""},   {"%s", true, "s"},          {"100%% %s", true, "s"},
        {"%-10.3s|%llu", true, "s,llu"}, {"%1$s", false, ""},       {"%*d", false, ""},
        {"%.*s", false, ""},            {"%n", false, ""},          {"tail %", false, ""},
        {"%d %s", true, "d,s"},         {"%ls", true, "ls"},        {"%y", false, ""},
    };
    for (const auto& c : cases) {
        std::string got;
        EXPECT_EQ(kv::ui::format_conversions(c.format, &got), c.ok) << c.format;
        if (c.ok) {
            EXPECT_EQ(got, c.conversions) << c.format;
        }
    }
}

// A real catalogue compiled for the test, bound as the "korvane" domain.
class Catalogue : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string po = dir_.file("korvane.po");
        std::ofstream(po) << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                             "msgid \"GoodBody\"\nmsgstr \"Found %s here\"\n\n"
                             "msgid \"TwoConversions\"\nmsgstr \"%s and %s\"\n\n"
                             "msgid \"IntConversion\"\nmsgstr \"%d files\"\n\n"
                             "msgid \"WritesMemory\"\nmsgstr \"%s%n\"\n\n"
                             "msgid \"NoConversion\"\nmsgstr \"Nothing to format\"\n\n"
                             // 2-byte characters, 80 bytes together: the cut falls inside one
                             "msgid \"Unsafe\"\nmsgstr \"\xD0\x9E\xD0\xBF\xD0\xB0\xD1\x81\xD0\xBD\xD0\xBE\xD0\xB5 \"\n\n"
                             "msgid \"Abnormal\"\nmsgstr \"\xD0\xA1\xD1\x82\xD1\x80\xD0\xB0\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB5 \"\n\n"
                             "msgid \"Waived\"\nmsgstr \"\xD0\xA0\xD0\xB0\xD0\xB7\xD1\x80\xD0\xB5\xD1\x88\xD0\xB5\xD0\xBD\xD0\xBE \"\n\n"
                             "msgid \"Quarantined\"\nmsgstr \"\xD0\x92 \xD0\xBA\xD0\xB0\xD1\x80\xD0\xB0\xD0\xBD\xD1\x82\xD0\xB8\xD0\xBD\xD0\xB5 \"\n\n"
                             "msgid \"Running\"\nmsgstr \"\xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x89\xD0\xB5\xD0\xBD\xD0\xBE\"\n";
        ASSERT_EQ(::system(("mkdir -p " + dir_.path() + "/en/LC_MESSAGES && msgfmt -o " + dir_.path() +
                            "/en/LC_MESSAGES/korvane.mo " + po).c_str()),
                  0);
        ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
        ::setenv("LANGUAGE", "en", 1);
        ASSERT_NE(bindtextdomain("korvane", dir_.path().c_str()), nullptr);
        bind_textdomain_codeset("korvane", "UTF-8");
        textdomain("korvane");
        const char* probe = "GoodBody";   // a variable: not a msgid of the program
        ASSERT_STREQ(gettext(probe), "Found %s here");
    }
    void TearDown() override {
        ::unsetenv("LANGUAGE");
        std::setlocale(LC_ALL, "C");
    }
    kv::test::TempDir dir_{"kvfmt"};
};

TEST_F(Catalogue, OnlyMatchingTranslationsAreFormats) {
    EXPECT_EQ(kv::ui::translated_format_s("GoodBody", "x.exe"), "Found x.exe here");
    EXPECT_EQ(kv::ui::translated_format_s("TwoConversions", "x"), "TwoConversions");
    EXPECT_EQ(kv::ui::translated_format_s("IntConversion", "x"), "IntConversion");
    EXPECT_EQ(kv::ui::translated_format_s("WritesMemory", "x"), "WritesMemory");
    EXPECT_EQ(kv::ui::translated_format_s("NoConversion", "x"), "NoConversion");
    EXPECT_EQ(kv::ui::translated_format_s("NotInCatalogue", "x"), "NotInCatalogue");
    // An argument is never read as a format.
    EXPECT_EQ(kv::ui::translated_format_s("GoodBody", "%s%n"), "Found %s%n here");
}

TEST_F(Catalogue, StateChangeTextIsCutAt63BytesOnACharacterBoundary) {
    const std::string t = kv::ui::threat_event_text(16, 31);
    EXPECT_EQ(t.size(), 62u);   // byte 63 would split a 2-byte character
    EXPECT_EQ(t, kv::ui::sanitise_text(t));
    EXPECT_EQ(t.substr(0, 15), "\xD0\x9E\xD0\xBF\xD0\xB0\xD1\x81\xD0\xBD\xD0\xBE\xD0\xB5 ");
}

}  // namespace
