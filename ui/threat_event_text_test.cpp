// Row texts of the details window (untranslated: no catalogue is bound, so
// each msgid stands for its translation).
#include <gtest/gtest.h>

#include <string>

#include "threat_event_text.hpp"

namespace {

using kv::ui::threat_event_text;

TEST(ThreatEventText, EventFlagsInPriorityOrder) {
    const struct {
        std::uint64_t event, state;
        const char* text;
    } cases[] = {
        {16, 0, "EventThreatStringFromValueNone"},
        {16, 8, "Quarantined"},
        {16, 1 | 2 | 4 | 8 | 16, "UnsafeAbnormalWaivedQuarantinedRunning"},
        {2 | 8 | 4 | 1, 0, "Quarantined"},
        {8 | 4 | 1, 0, "EventThreatStringFromValueRemoved"},
        {4 | 1, 0, "Waived"},
        {1, 0, "EventThreatStringFromValueDetected"},
        {32, 0, "Deny Change"},
        {64, 0, "Deny Execute"},
        {0, 0, "State Change (0)"},
        {128, 0, "State Change (128)"},
        {(1ULL << 32) | 128, 0, "State Change (128)"},   // low 32 bits only
        {(1ULL << 32), 0, "State Change (0)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(threat_event_text(c.event, c.state), c.text) << c.event << "/" << c.state;
}

TEST(ThreatEventText, EventRows) {
    kv::ui::EventRecord threat;
    threat.category = "Threat";
    threat.path = "/tmp/x.bin";
    threat.event = 16;
    threat.state = 9;
    kv::ui::EventRowTexts t;
    ASSERT_TRUE(kv::ui::event_row_texts(threat, &t));
    EXPECT_EQ(t.type, "EventStrThreat (Quarantined)");   // bit 1 cleared first
    EXPECT_EQ(t.details, "/tmp/x.bin");
    threat.event = 0;
    ASSERT_TRUE(kv::ui::event_row_texts(threat, &t));
    EXPECT_EQ(t.type, "EventStrThreat (State Change (0))");

    kv::ui::EventRecord exploit;
    exploit.category = "Exploit";
    exploit.path = "/usr/bin/evince";
    exploit.event = 2;
    exploit.item_type = 1;
    exploit.pid = 4242;
    ASSERT_TRUE(kv::ui::event_row_texts(exploit, &t));
    EXPECT_EQ(t.type, "Blocked");
    EXPECT_EQ(t.details, "EventStrExploitViolation StackPivot; PID: 4242; EventStrExploitApplication /usr/bin/evince");
    exploit.event = 5;
    exploit.item_type = 24;
    ASSERT_TRUE(kv::ui::event_row_texts(exploit, &t));
    EXPECT_EQ(t.type, "");
    EXPECT_EQ(t.details, "EventStrExploitViolation ; PID: 4242; EventStrExploitApplication /usr/bin/evince");

    kv::ui::EventRecord app;
    app.category = "AppControl";
    app.path = "/etc/passwd";
    app.event = 32;
    ASSERT_TRUE(kv::ui::event_row_texts(app, &t));
    EXPECT_EQ(t.type, "Deny Change");
    app.event = 64;
    ASSERT_TRUE(kv::ui::event_row_texts(app, &t));
    EXPECT_EQ(t.type, "Deny Execute");

    kv::ui::EventRecord other;
    other.category = "Telemetry";
    EXPECT_FALSE(kv::ui::event_row_texts(other, &t));
}

TEST(ThreatEventText, StateAndActionTexts) {
    EXPECT_EQ(kv::ui::threat_state_text(17), "Unsafe");
    EXPECT_EQ(kv::ui::threat_state_text(9), "Quarantined");
    EXPECT_EQ(kv::ui::threat_state_text(6), "Waived");
    EXPECT_EQ(kv::ui::threat_state_text(16), "Unknown");
    EXPECT_EQ(kv::ui::action_text(0), "Alert");
    EXPECT_EQ(kv::ui::action_text(3), "Terminated");
    EXPECT_EQ(kv::ui::action_text(4), "Unknown");
    EXPECT_EQ(kv::ui::action_text(5), "");
    EXPECT_EQ(kv::ui::action_text(~0ULL), "");
}

}  // namespace
