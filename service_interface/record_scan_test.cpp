// The record-by-record scan must give what json-c's whole-text parse gives.
#include "record_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_cache.hpp"

namespace kv::svc {
namespace {

std::string visit_all(std::string_view text, ScanResult* ret_result) {
    std::string seen;
    *ret_result = scan_collection_text(
        text,
        [](void* context, const char* name, const json_object* record) {
            auto* out = static_cast<std::string*>(context);
            *out += std::string(name) + "=" +
                    json_object_to_json_string_ext(const_cast<json_object*>(record), JSON_C_TO_STRING_PLAIN) + ";";
            return true;
        },
        &seen);
    return seen;
}

// What walking json-c's parse of the whole text gives.
std::string reference(std::string_view text, ScanResult* ret_result) {
    const JsonPtr root = parse_json_bytes(text);
    std::string seen;
    *ret_result = root == nullptr ? ScanResult::unreadable
                  : json_object_is_type(root.get(), json_type_object) ? ScanResult::visited
                                                                       : ScanResult::not_an_object;
    for_each_record(root.get(), [&](const char* name, const json_object* record) {
        seen += std::string(name) + "=" +
                json_object_to_json_string_ext(const_cast<json_object*>(record), JSON_C_TO_STRING_PLAIN) + ";";
        return true;
    });
    return seen;
}

TEST(RecordScan, AgreesWithTheWholeTextParse) {
    std::string deep = R"({"/d": )";
    for (int i = 0; i < 40; ++i)
        deep += R"({"a": )";
    deep += "1";
    for (int i = 0; i < 40; ++i)
        deep += "}";
    deep += "}";
    const std::vector<std::string> texts = {
        R"({})",
        R"( { "/a": {"ID": "AA", "State": 1}, "/b": 7, "/c": {"ID": "CC", "State": "8"} } )",
        R"({"/a": {"ID": "first"}, "/b": {}, "/a": {"ID": "second"}})",   // a repeated name
        R"({"/tab\tname": {"ID": "x"}, "/u\u00e9": {"ID": "y"}})",        // escaped names
        R"({"/a": {"ID": "AA"}} trailing)",
        R"({"/a": {"ID": "AA"},})",                                        // trailing comma
        R"({"/a": {"ID": "AA"})",                                          // unterminated
        R"([{"ID": "AA"}])",
        R"("text")",
        R"({"/a": {"n": [1, -2.5e3, true, false, null, {"x": []}], "s": "q\"\\\/\b\f\n\r\t\u0041"}})",
        R"({"/a": {"n": 01}})",
        R"({"/a": /* comment */ {"ID": "AA"}})",
        deep,
        "",
        "   ",
    };
    for (const auto& text : texts) {
        ScanResult fast = ScanResult::unreadable, whole = ScanResult::unreadable;
        const std::string got = visit_all(text, &fast);
        const std::string expected = reference(text, &whole);
        EXPECT_EQ(fast, whole) << text;
        EXPECT_EQ(got, expected) << text;
    }
}

TEST(RecordScan, StopsWhenTheVisitorSaysSo) {
    int calls = 0;
    (void)scan_collection_text(
        R"({"/a": {}, "/b": {}, "/c": {}})",
        [](void* context, const char*, const json_object*) { return ++*static_cast<int*>(context) < 2; }, &calls);
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kv::svc
