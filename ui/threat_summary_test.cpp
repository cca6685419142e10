// The summary notification's decision table over the events of one file.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "threat_summary.hpp"

namespace {

struct Case {
    const char* what;
    std::vector<std::pair<std::int64_t, const char*>> records;   // state, path
    const char* title;                                           // null: none
    const char* body;
    const char* argument;
};

TEST(ThreatSummary, DecisionTable) {
    const Case cases[] = {
        {"one unsafe", {{1, "/a/one.exe"}}, "NotificationSubtitleUnsafeDetected", "NotificationMessageUnsafeDetected",
         "one.exe"},
        {"two unsafe", {{1, "/a/x"}, {17, "/b/y"}}, "NotificationSubtitleUnsafesDetected",
         "NotificationMessageUnsafesDetected", "2"},
        {"one abnormal", {{2, "/a/ab.doc"}}, "NotificationSubtitleAbnormalDetected",
         "NotificationMessageAbnormalDetected", "ab.doc"},
        {"abnormals", {{2, "/a"}, {2, "/b"}, {2, "/c"}}, "NotificationSubtitleAbnormalsDetected",
         "NotificationMessageAbnormalsDetected", "3"},
        {"unsafe and quarantined in one", {{9, "/q/dropper.bin"}}, "NotificationSubtitleUnsafeQuarantined",
         "NotificationMessageUnsafeQuarantined", "dropper.bin"},
        {"unsafes quarantined", {{9, "/a"}, {1, "/b"}}, "NotificationSubtitleUnsafesQuarantined",
         "NotificationMessageUnsafesQuarantined", "2"},
        {"abnormal plus quarantined-only", {{2, "/s/report.docm"}, {8, "/q/other"}},
         "NotificationSubtitleAbnormalQuarantined", "NotificationMessageAbnormalQuarantined", "report.docm"},
        {"abnormals quarantined", {{10, "/a"}, {2, "/b"}}, "NotificationSubtitleAbnormalsQuarantined",
         "NotificationMessageAbnormalsQuarantined", "2"},
        {"unsafe beats abnormal in one state", {{3, "/a/both"}}, "NotificationSubtitleUnsafeDetected",
         "NotificationMessageUnsafeDetected", "both"},
        {"unsafe and abnormal count together", {{1, "/u"}, {2, "/a"}}, "NotificationSubtitleUnsafesDetected",
         "NotificationMessageUnsafesDetected", "2"},
        {"first name wins", {{1, "/first"}, {8, "/q"}, {1, "/second"}}, "NotificationSubtitleUnsafesQuarantined",
         "NotificationMessageUnsafesQuarantined", "2"},
        {"no path separator", {{1, "bare"}}, "NotificationSubtitleUnsafeDetected", "NotificationMessageUnsafeDetected",
         "bare"},
        {"exploits and app control only", {{0, "/usr/bin/evince"}, {0, "/bin/sh"}}, nullptr, nullptr, nullptr},
        {"quarantined only", {{8, "/q"}}, nullptr, nullptr, nullptr},
        {"waived and running", {{4, "/w"}, {16, "/r"}}, nullptr, nullptr, nullptr},
        {"nothing", {}, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        kv::ui::ThreatSummary s;
        for (const auto& [state, path] : c.records)
            s.count(state, path);
        kv::ui::ThreatSummary::Notice n;
        const bool shown = s.decide(&n);
        ASSERT_EQ(shown, c.title != nullptr) << c.what;
        if (!shown)
            continue;
        EXPECT_STREQ(n.title_msgid, c.title) << c.what;
        EXPECT_STREQ(n.body_msgid, c.body) << c.what;
        EXPECT_EQ(n.argument, c.argument) << c.what;
    }
}

}  // namespace
