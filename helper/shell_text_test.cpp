// Quoting and bounded command formation: every quoted value reaches a real
// bash as exactly its own bytes, one word, and runs nothing.
#include "shell_text.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

using kv::helper::format_command;
using kv::helper::is_safe_name;
using kv::helper::shell_quote;

// What bash makes of `text`: its words, each followed by '|'.
std::string words_seen_by_bash(const std::string& text) {
    const std::string command = "/bin/bash -c " + shell_quote("printf '%s|' " + text);
    FILE* p = ::popen(command.c_str(), "r");
    std::string out;
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

TEST(ShellText, QuotedValuesAreOneLiteralWordForBash) {
    const std::string values[] = {"plain",        "with blank",     "it's",  "$(touch /tmp/kvq-pwned)", "a;b",
                                  "`id`",         "back\\slash",    "\"dq\"", "line\nfeed",             "''",
                                  "-rf",          "*",              "~root", "$HOME",                  "x'; rm -rf /; '"};
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        EXPECT_EQ(words_seen_by_bash(shell_quote(v)), v + "|");
    }
    EXPECT_EQ(words_seen_by_bash(shell_quote("")), "|");
    EXPECT_NE(::access("/tmp/kvq-pwned", F_OK), 0);
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
}

TEST(ShellText, UnsafeNamesAreRefused) {
    EXPECT_TRUE(is_safe_name("alice"));
    EXPECT_TRUE(is_safe_name("o'brien"));
    EXPECT_TRUE(is_safe_name("a b"));
    EXPECT_FALSE(is_safe_name(""));
    EXPECT_FALSE(is_safe_name("-rf"));
    EXPECT_FALSE(is_safe_name("--help"));
    EXPECT_FALSE(is_safe_name("evil\nline"));
    EXPECT_FALSE(is_safe_name("tab\there"));
    EXPECT_FALSE(is_safe_name(std::string("nul\0x", 5)));
    EXPECT_FALSE(is_safe_name("del\x7f"));
}

TEST(ShellText, FormatQuotesTextsAndRefusesInsteadOfCutting) {
    std::string out = "unchanged";
    ASSERT_EQ(format_command(&out, 64, "ps -u %s | grep %d%%", {"o'brien", 42}), 0);
    EXPECT_EQ(out, "ps -u 'o'\\''brien' | grep 42%");
    // Exactly at the bound (text plus terminator) and one byte over.
    EXPECT_EQ(format_command(&out, 9, "echo %s", {"ab"}), -E2BIG);   // 9 bytes and the terminator
    EXPECT_EQ(out, "ps -u 'o'\\''brien' | grep 42%");
    EXPECT_EQ(format_command(&out, 10, "echo %s", {"ab"}), 0);
    EXPECT_EQ(out, "echo 'ab'");
    EXPECT_EQ(format_command(&out, 10, "echo %s", {"abc"}), -E2BIG);
    EXPECT_EQ(out, "echo 'ab'");
    EXPECT_EQ(format_command(&out, 100, "echo %s %s", {"a"}), -EINVAL);
    EXPECT_EQ(format_command(&out, 100, "echo %d", {"a"}), -EINVAL);
    EXPECT_EQ(format_command(&out, 100, "echo %s", {"a", "b"}), -EINVAL);
    EXPECT_EQ(format_command(&out, 100, "echo %", {}), -EINVAL);
}

}  // namespace
