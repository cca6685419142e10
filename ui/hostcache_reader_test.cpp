// Reading the HostCache for the details window from a directory of real
// files: the mask, the change test per collection file, records without
// their fields, and files that are not JSON, truncated or too large.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "hostcache_reader.hpp"
#include "process.hpp"

namespace {

using kv::ui::HostCacheChecksums;
using kv::ui::HostCacheSnapshot;
using kv::ui::read_hostcache;

class HostCacheReader : public ::testing::Test {
protected:
    void write(const char* name, const std::string& text) { std::ofstream(dir_.file(name)) << text; }
    HostCacheSnapshot read(std::uint64_t mask) {
        HostCacheSnapshot s;
        read_hostcache(dir_.path().c_str(), mask, &sums_, &s);
        return s;
    }
    kv::test::TempDir dir_{"kvhc"};
    HostCacheChecksums sums_;
};

constexpr char kStates[] = R"({
  "/a/one.exe": { "ID": "AA", "Score": "-0.9", "State": 1 },
  "/a/no_score": { "ID": "BB", "State": 1 },
  "/a/score_number": { "ID": "CC", "Score": -0.5, "State": 1 },
  "/a/text_state": { "ID": "DD", "Score": "1", "State": "12" },
  "not a record": 5
})";

TEST_F(HostCacheReader, MaskFromHeaderAndRecordsWithTheirFields) {
    write("header.log", R"({ "MessageMask": 5 })");
    write("file_states.log", kStates);
    write("analysis_count.log", R"({ "AnalyzedCount": "77" })");
    write("scanner_state.log", R"({ "ScannerState": 1 })");
    HostCacheSnapshot s = read(0);
    EXPECT_FALSE(s.header_failed);
    EXPECT_EQ(s.mask, 5u);
    ASSERT_TRUE(s.threats_loaded);
    ASSERT_EQ(s.threats.size(), 2u);
    EXPECT_EQ(s.threats[0].path, "/a/one.exe");
    EXPECT_EQ(s.threats[1].state, 12);
    EXPECT_TRUE(s.has_analyzed_count);
    EXPECT_EQ(s.analyzed_count, 77);
    EXPECT_FALSE(s.has_scanner_state);   // bit 0x2 not in the mask

    write("header.log", R"({ "Other": 1 })");
    EXPECT_TRUE(read(0).header_failed);
    write("header.log", "{ broken");
    EXPECT_TRUE(read(0).header_failed);
    // A record file over 1 MiB is not read, even when it is valid JSON;
    // exactly 1 MiB is.
    write("header.log", R"({ "MessageMask": 5 )" + std::string(1u << 20, ' ') + "}");
    EXPECT_TRUE(read(0).header_failed);
    write("header.log", R"({ "MessageMask": 5 )" + std::string((1u << 20) - 20, ' ') + "}");
    EXPECT_FALSE(read(0).header_failed);
}

TEST_F(HostCacheReader, ChangeTestPerFile) {
    write("file_states.log", kStates);
    EXPECT_TRUE(read(0x1).threats_loaded);
    EXPECT_FALSE(read(0x1).threats_loaded);           // same bytes: no reload
    write("file_states.log", std::string(kStates) + " ");
    EXPECT_TRUE(read(0x1).threats_loaded);            // one byte more
    // The events file has its own checksum and is read for 0x1, 0x10, 0x400.
    write("file_process_events.log", R"({ "/x": { "When": "t", "Category": "Threat", "Event": 1, "State": 1 } })");
    EXPECT_TRUE(read(0x400).events_loaded);
    EXPECT_FALSE(read(0x10).events_loaded);
    EXPECT_FALSE(read(0x1).events_loaded);
}

TEST_F(HostCacheReader, EventAndExploitFields) {
    write("file_process_events.log", R"({
      "/t": { "When": "w1", "Category": "Threat", "Event": 16, "State": 9 },
      "/key": { "When": "w2", "Category": "Exploit", "Event": 2, "Path": "/usr/bin/x", "ItemType": 1, "PID": "42" },
      "/a": { "When": "w3", "Category": "AppControl", "Event": 0 },
      "/b": { "When": "w4", "Category": "AppControl", "Event": 7, "State": 3 },
      "/no_event": { "When": "w5", "Category": "Threat" }
    })");
    write("process_states.log", R"({
      "1": { "Path": "/usr/bin/evince", "PID": 10, "State": 3, "Count": 2 },
      "2": { "Path": "/usr/bin/x", "PID": 11, "State": 3 }
    })");
    HostCacheSnapshot s = read(0x10);
    ASSERT_TRUE(s.events_loaded);
    ASSERT_EQ(s.events.size(), 4u);
    EXPECT_EQ(s.events[0].state, 9);
    EXPECT_EQ(s.events[1].path, "/usr/bin/x");
    EXPECT_EQ(s.events[1].pid, 42);
    EXPECT_EQ(s.events[1].item_type, 1);
    EXPECT_EQ(s.events[2].event, 32);
    EXPECT_EQ(s.events[3].event, 64);
    EXPECT_EQ(s.events[3].state, 0);   // read for Threats only
    ASSERT_TRUE(s.exploits_loaded);
    ASSERT_EQ(s.exploits.size(), 1u);
    EXPECT_EQ(s.exploits[0].count, 2);
}

TEST_F(HostCacheReader, BadFilesLoadNothing) {
    const std::string truncated = std::string(kStates).substr(0, 60);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {{"empty", ""}, {"not JSON", "hello"}, {"truncated", truncated}, {"an array", "[1, 2]"}};
    for (const auto& c : cases) {
        write("file_states.log", c.text);
        EXPECT_FALSE(read(0x1).threats_loaded) << c.what;
    }
    // Far beyond any real file: refused before it is read.
    ASSERT_EQ(::truncate(dir_.file("file_states.log").c_str(), 65LL << 20), 0);
    EXPECT_FALSE(read(0x1).threats_loaded);
    // A good file after the bad ones is read again.
    write("file_states.log", kStates);
    EXPECT_TRUE(read(0x1).threats_loaded);
}

}  // namespace
