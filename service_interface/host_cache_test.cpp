// HostCache readers on real files in the private /opt/korvane: codes and
// field rules, change detection by MD5, and update-notice selection and
// decryption.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <glib.h>
#include <openssl/evp.h>

#include "host_cache.hpp"
#include "host_cache_change.hpp"
#include "process.hpp"
#include "trace.hpp"
#include "update_notice.hpp"

namespace kv::svc {
namespace {

void write_file(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> g_trace;
void record_trace(const char* line) { g_trace.emplace_back(line); }

class HostCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh";
        std::filesystem::remove_all("/opt/korvane/HostCache");
        std::filesystem::remove_all("/opt/korvane/desktop");
        std::filesystem::create_directories("/opt/korvane/HostCache");
        g_trace.clear();
        setTracePrinter(record_trace);
    }
};

TEST(HostCacheCodes, NamesFollowTheirPriorityAndRanges) {
    const struct {
        std::uint32_t state;
        const char* label;
    } states[] = {
        {0, "Unknown"}, {16, "Unknown"}, {1, "Unsafe"}, {2, "Abnormal"}, {3, "Abnormal"}, {4, "Waived"},
        {5, "Waived"},  {8, "Quarantined"}, {12, "Quarantined"}, {15, "Quarantined"}, {0xFFFFFFF0u, "Unknown"},
    };
    for (const auto& s : states)
        EXPECT_STREQ(state_label(s.state), s.label) << s.state;
    EXPECT_STREQ(process_action_name(0), "Alert");
    EXPECT_STREQ(process_action_name(4), "Unknown");
    EXPECT_EQ(process_action_name(5), nullptr);
    EXPECT_STREQ(violation_type_name(1), "StackPivot");
    EXPECT_STREQ(violation_type_name(2), "StackProtect");
    EXPECT_STREQ(violation_type_name(23), "DYLDInjection");
    EXPECT_EQ(violation_type_name(24), nullptr);
}

TEST_F(HostCacheTest, RecordsAreVisitedInFileOrderWithTheFieldRules) {
    write_file(kFileStatesPath, R"({
        "/z/first": {"ID": "AA", "Score": "1", "State": "12"},
        "/a/second": {"ID": "BB", "Score": 0.5, "State": 1},
        "not a record": 7,
        "/m/third": {"ID": "CC", "Score": "2", "State": "abc"},
        "/b/fourth": {"ID": "DD", "Score": "3", "State": 2.0}
    })");
    const JsonPtr files = korvaneui_json_parse_file(kFileStatesPath);
    ASSERT_NE(files, nullptr);
    std::vector<std::string> seen;
    for_each_record(files.get(), [&](const char* name, const json_object* record) {
        std::string id, score;
        std::int64_t state = -1;
        const bool complete = json_get_string(record, "ID", &id) == 0 && json_get_string(record, "Score", &score) == 0 &&
                              json_get_int64(record, "State", &state) == 0;
        seen.push_back(std::string(name) + (complete ? " " + id + " " + std::to_string(state) : " missing"));
        return true;
    });
    const std::vector<std::string> expected = {"/z/first AA 12", "/a/second missing", "/m/third CC 0",
                                               "/b/fourth missing"};
    EXPECT_EQ(seen, expected);
}

TEST_F(HostCacheTest, WholeFileReadingFailsCleanly) {
    EXPECT_EQ(korvaneui_json_parse_file("/opt/korvane/HostCache/missing.log"), nullptr);
    write_file(kHeaderPath, "");
    EXPECT_EQ(korvaneui_json_parse_file(kHeaderPath), nullptr);
    write_file(kHeaderPath, R"({"MessageMask": 17)");
    EXPECT_EQ(korvaneui_json_parse_file(kHeaderPath), nullptr);
    EXPECT_EQ(korvaneui_json_parse_file("/opt/korvane/HostCache"), nullptr);   // a directory
    write_file(kHeaderPath, R"({"MessageMask": "17"})");
    const JsonPtr header = korvaneui_json_parse_file(kHeaderPath);
    std::int64_t mask = 0;
    ASSERT_EQ(json_get_int64(header.get(), "MessageMask", &mask), 0);
    EXPECT_EQ(mask, 17);
}

TEST_F(HostCacheTest, ChangeIsDetectedByContentNotByWrites) {
    std::string remembered;
    JsonPtr parsed;
    write_file(kFileStatesPath, R"({"/f": {"ID": "AA", "State": 1}})");
    EXPECT_EQ(hostcache_file_changed(kFileStatesPath, &remembered, &parsed), FileChange::changed);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(remembered.size(), 32u);
    EXPECT_EQ(remembered.find_first_not_of("0123456789abcdef"), std::string::npos);

    parsed.reset();
    write_file(kFileStatesPath, R"({"/f": {"ID": "AA", "State": 1}})");   // same bytes, new write
    EXPECT_EQ(hostcache_file_changed(kFileStatesPath, &remembered, &parsed), FileChange::unchanged);
    EXPECT_EQ(parsed, nullptr);

    write_file(kFileStatesPath, R"({"/f": {"ID": "AA", "State": 9}})");   // one byte differs
    EXPECT_EQ(hostcache_file_changed(kFileStatesPath, &remembered, &parsed), FileChange::changed);
    std::int64_t state = 0;
    json_object* record = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "/f", &record));
    EXPECT_EQ(json_get_int64(record, "State", &state), 0);
    EXPECT_EQ(state, 9);   // what is shown is what was hashed

    const std::string before = remembered;
    write_file(kFileProcessEventsPath, "");
    std::string events_sum;
    EXPECT_EQ(hostcache_file_changed(kFileProcessEventsPath, &events_sum, &parsed), FileChange::changed);
    EXPECT_EQ(parsed, nullptr);
    EXPECT_EQ(hostcache_file_changed(kFileProcessEventsPath, &events_sum, &parsed), FileChange::changed);
    EXPECT_EQ(hostcache_file_changed("/opt/korvane/HostCache/none.log", &events_sum, &parsed),
              FileChange::changed);
    ASSERT_FALSE(g_trace.empty());
    EXPECT_EQ(g_trace.back(), "error: failed to stat file: /opt/korvane/HostCache/none.log:No such file or directory\n");

    write_file(kFileStatesPath, "{ broken");
    EXPECT_EQ(hostcache_file_changed(kFileStatesPath, &remembered, &parsed), FileChange::changed);
    EXPECT_EQ(parsed, nullptr);
    EXPECT_EQ(g_trace.back(), "Unable to parse '/opt/korvane/HostCache/file_states.log'\n");
    EXPECT_NE(remembered, before);
}

TEST(UpdateNoticeKey, DateBytesFollowTheRule) {
    std::uint8_t key[32];
    update_notice_key(9, 342, 2, key);   // Wednesday-style numbers: day 9, weekday 2
    for (int i = 0; i < 32; ++i) {
        const int expected = i == 9 ? 342 % 255 : i == 8 ? 18 : kUpdateNoticeKeyBase[i];
        EXPECT_EQ(key[i], expected) << i;
    }
    update_notice_key(8, 342, 2, key);
    EXPECT_EQ(key[8], 16);   // both rules name byte 8: the weekday rule wins (2 * 8)
    update_notice_key(31, 365, 7, key);   // Sunday: byte 0 becomes 0
    EXPECT_EQ(key[0], 0);
    EXPECT_EQ(key[31], 365 % 255);
    update_notice_key(20, 300, 6, key);   // Saturday: byte 24 = 6 * 20
    EXPECT_EQ(key[24], 120);
}

TEST_F(HostCacheTest, NoticeSelectionTakesTheGreatestSuffixedName) {
    const std::string dir = kUpdateNoticeDir;
    std::filesystem::create_directories(dir);
    EXPECT_EQ(choose_update_notice(dir.c_str()), "");
    write_file(dir + "/0", "plain file named 0");
    EXPECT_EQ(choose_update_notice(dir.c_str()), "");
    write_file(dir + "/0.kvupupdate", "x");
    EXPECT_EQ(choose_update_notice(dir.c_str()), "0.kvupupdate");
    write_file(dir + "/a.kvupupdate", "x");
    write_file(dir + "/b.kvupupdate", "x");
    write_file(dir + "/c.kvupupdatex", "x");
    write_file(dir + "/.kvupupdate", "x");
    EXPECT_EQ(choose_update_notice(dir.c_str()), "b.kvupupdate");
}

TEST_F(HostCacheTest, NoticesDecryptUnderTodaysKeyOnly) {
    std::uint8_t today[32];
    update_notice_key_today(today);
    std::string text;
    EXPECT_EQ(read_update_notice(&text), -ENOENT);   // no directory

    const std::string dir = kUpdateNoticeDir;
    write_file(dir + "/20261208.kvupupdate", encode_update_notice("Version 3.1.1001 is ready to install", today));
    ASSERT_EQ(read_update_notice(&text), 0);
    EXPECT_EQ(text, "Version 3.1.1001 is ready to install");

    std::uint8_t other[32];
    std::memcpy(other, today, sizeof other);
    other[31] ^= 0x5a;
    text = "kept";
    write_file(dir + "/20261209.kvupupdate", encode_update_notice("stale", other));
    EXPECT_EQ(read_update_notice(&text), -EINVAL);
    EXPECT_EQ(text, "kept");
    write_file(dir + "/20261210.kvupupdate", "");
    EXPECT_EQ(read_update_notice(&text), -ENOENT);
}

TEST_F(HostCacheTest, NoticesOfTheWriterToolAreReadForTheirDayOnly) {
    kv::test::RunOptions options;
    options.built_program = true;
    kv::test::RunResult r = kv::test::run_program({KV_NOTICE_WRITER, "a.kvupupdate", "Update 3.1.2000 available"}, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kUpdateNoticeDir) + "/a.kvupupdate\n");
    std::string text;
    ASSERT_EQ(read_update_notice(&text), 0);
    EXPECT_EQ(text, "Update 3.1.2000 available");

    r = kv::test::run_program({KV_NOTICE_WRITER, "--date", "2020-02-29", "b.kvupupdate", "old"}, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_update_notice(&text), -EINVAL);   // b is newer by name, but of another day
    EXPECT_EQ(kv::test::run_program({KV_NOTICE_WRITER, "../x", "t"}, options).exit_code, 2);
}

TEST(UpdateNoticeDecoding, ShortAndMalformedInputsGiveNoNotice) {
    std::uint8_t key[32];
    update_notice_key(1, 1, 1, key);
    std::string text;
    ASSERT_EQ(decode_update_notice(encode_update_notice("", key), key, &text), 0);
    EXPECT_EQ(text, "");
    ASSERT_EQ(decode_update_notice(encode_update_notice("caf\xc3\xa9 \xff", key), key, &text), 0);
    EXPECT_TRUE(g_utf8_validate(text.c_str(), -1, nullptr)) << text;
    EXPECT_EQ(text.rfind("caf\xc3\xa9 ", 0), 0u);

    const std::string valid = encode_update_notice("a notice of two blocks", key);   // 32 cipher bytes
    const struct {
        std::string input;
    } bad[] = {
        {""},
        {"!!!!"},
        {valid.substr(0, 12)},         // decodes to fewer than 16 bytes
        {valid.substr(0, 24)},         // 16 bytes + a partial block
    };
    for (const auto& b : bad)
        EXPECT_EQ(decode_update_notice(b.input, key, &text), -EINVAL) << b.input;

    // A plaintext of four bytes cannot hold the five framing bytes.
    std::string plain4 = "abcd";
    std::vector<unsigned char> cipher(32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, kUpdateNoticeIv);
    EVP_EncryptUpdate(ctx, cipher.data(), &n, reinterpret_cast<const unsigned char*>(plain4.data()), 4);
    EVP_EncryptFinal_ex(ctx, cipher.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    gchar* b64 = g_base64_encode(cipher.data(), static_cast<gsize>(n + tail));
    EXPECT_EQ(decode_update_notice(b64, key, &text), -EINVAL);
    g_free(b64);
}

}  // namespace
}  // namespace kv::svc
