// Broadcast names and command texts: byte-exact wire contract.
#include "protocol.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace kv::svc {
namespace {

TEST(SignalIndex, EveryListedNameMapsToItsPositionAndOthersTo26) {
    ASSERT_EQ(kSignalNames[kSignalCount], nullptr);
    std::set<std::string> distinct;
    for (int i = 0; i < kSignalCount; ++i) {
        ASSERT_NE(kSignalNames[i], nullptr);
        distinct.insert(kSignalNames[i]);
        EXPECT_EQ(signal_index(kSignalNames[i]), i) << kSignalNames[i];
    }
    EXPECT_EQ(distinct.size(), 26u);
    EXPECT_EQ(signal_index("com.korvane.agent.started"), 0);
    EXPECT_EQ(signal_index("com.korvane.analyerstatus_messages"), 12);
    EXPECT_EQ(signal_index("com.korvane.btdscancomplete"), 25);

    const struct {
        const char* name;
    } unknown[] = {
        {"com.korvane.agent.Started"},        // one letter differs in case
        {"com.korvane.agent.started "},
        {"com.korvane.analyzerstatus_messages"},
        {"com.korvane.logupload.idle"},
        {""},
    };
    for (const auto& u : unknown)
        EXPECT_EQ(signal_index(u.name), kSignalCount) << u.name;
    EXPECT_EQ(signal_index(nullptr), kSignalCount);
}

TEST(CommandTexts, AreByteExact) {
    EXPECT_STREQ(kCmdDriverConnected, "{ \"CMD_\":\"GDRV\" }");
    EXPECT_STREQ(kCmdScanStart, "{ \"CMD_\":\"SCAN\", \"START\":\" \" }");
    EXPECT_STREQ(kCmdScanStop, "{ \"CMD_\":\"SCAN\", \"STOP\":\" \" }");
    char text[128];
    std::snprintf(text, sizeof text, kFmtSetLogLevel, 4294967295u);
    EXPECT_STREQ(text, "{ \"CMD_\":\"SLOG\", \"VALU\":\"4294967295\" }");
    std::snprintf(text, sizeof text, kFmtScanDirectory, "CMD_", "SCAN", "START", "/srv");
    EXPECT_STREQ(text, "{ \"CMD_\": \"SCAN\", \"START\": \"/srv\" }");
    std::snprintf(text, sizeof text, kFmtThreatAction, "WAIVE", "AB12");
    EXPECT_STREQ(text, "{ \"CMD_\":\"THRT\", \"WAIVE\":\"AB12\" }");
    EXPECT_EQ(kMaxCommandLength, 5242880u);
}

}  // namespace
}  // namespace kv::svc
