// Member lookups and reply judging, the rules every JSON reader shares.
#include "json_fields.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace kv::svc {
namespace {

TEST(IsReplyOk, OnlyTheExactTwoLettersSucceed) {
    const struct {
        const char* reply;
        bool ok;
    } cases[] = {
        {R"({"RESP":"OK"})", true},
        {R"({ "RESP" : "OK", "VALU": 3 })", true},
        {R"({"RESP":"ok"})", false},
        {R"({"RESP":"OK "})", false},
        {R"({"RESP":"OKAY"})", false},
        {R"({"RESP":"OK\u0000X"})", true},   // json-c text ends at the NUL, as in C
        {R"({"RESP":1})", false},
        {R"({"RESP":null})", false},
        {R"({"VALU":"OK"})", false},
        {R"(["RESP","OK"])", false},
        {R"("OK")", false},
        {"OK", false},
        {"", false},
        {"org.freedesktop.DBus.Error.ServiceUnknown", false},
        {R"({"RESP":"OK")", false},           // never closes
    };
    for (const auto& c : cases)
        EXPECT_EQ(isReplyOk(c.reply), c.ok) << c.reply;
    EXPECT_FALSE(isReplyOk(nullptr));
}

TEST(JsonGetInt64, IntegersAndDecimalStringsCountOtherTypesFail) {
    const struct {
        const char* json;
        int result;
        std::int64_t value;
    } cases[] = {
        {R"({"VALU":5})", 0, 5},
        {R"({"VALU":0})", 0, 0},
        {R"({"VALU":-7})", 0, -7},
        {R"({"VALU":"42"})", 0, 42},
        {R"({"VALU":"-12"})", 0, -12},
        {R"({"VALU":"abc"})", 0, 0},               // not a number: 0, still accepted
        {R"({"VALU":"17abc"})", 0, 17},
        {R"({"VALU":8589934597})", 0, 8589934597}, // the callers keep the low 32 bits
        {R"({"VALU":3.0})", -EINVAL, 0},
        {R"({"VALU":true})", -EINVAL, 0},
        {R"({"VALU":null})", -EINVAL, 0},
        {R"({"VALU":[1]})", -EINVAL, 0},
        {R"({"valu":1})", -ENOENT, 0},
        {R"({})", -ENOENT, 0},
    };
    for (const auto& c : cases) {
        const JsonPtr o = json_parse_text(c.json);
        ASSERT_NE(o, nullptr) << c.json;
        std::int64_t v = 99;
        EXPECT_EQ(json_get_int64(o.get(), "VALU", &v), c.result) << c.json;
        EXPECT_EQ(v, c.result == 0 ? c.value : 99) << c.json;   // written only on success
    }
    const JsonPtr array = json_parse_text("[1,2]");
    std::int64_t v = 0;
    EXPECT_EQ(json_get_int64(array.get(), "VALU", &v), -ENOENT);
    EXPECT_EQ(json_get_int64(nullptr, "VALU", &v), -ENOENT);
}

TEST(JsonGetString, OnlyStringsAndExactNames) {
    const JsonPtr o = json_parse_text(R"({"PNAME":"Default","PMODE":7,"pnotf":"OK","EMPTY":""})");
    ASSERT_NE(o, nullptr);
    std::string s = "untouched";
    EXPECT_EQ(json_get_string(o.get(), "PNAME", &s), 0);
    EXPECT_EQ(s, "Default");
    EXPECT_EQ(json_get_string(o.get(), "EMPTY", &s), 0);
    EXPECT_EQ(s, "");
    s = "untouched";
    EXPECT_EQ(json_get_string(o.get(), "PMODE", &s), -EINVAL);
    EXPECT_EQ(json_get_string(o.get(), "PNOTF", &s), -ENOENT);
    EXPECT_EQ(s, "untouched");

    // A duplicate member: the parser keeps one value, the later one.
    const JsonPtr dup = json_parse_text(R"({"CMD_":"SCAN","CMD_":"THRT"})");
    EXPECT_EQ(json_get_string(dup.get(), "CMD_", &s), 0);
    EXPECT_EQ(s, "THRT");
}

TEST(JsonEscapeValue, EscapesOnlyWhatWouldEndOrBreakTheString) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"/srv/data dir", "/srv/data dir"},
        {"caf\xc3\xa9/\x7f", "caf\xc3\xa9/\x7f"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"\n\t\x01\x1f", "\\u000A\\u0009\\u0001\\u001F"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_escape_value(c.in), c.out) << c.in;
        const std::string doc = std::string("{\"v\":\"") + json_escape_value(c.in) + "\"}";
        const JsonPtr parsed = json_parse_text(doc.c_str());
        std::string back;
        ASSERT_EQ(json_get_string(parsed.get(), "v", &back), 0) << doc;
        EXPECT_EQ(back, c.in);
    }
}

}  // namespace
}  // namespace kv::svc
