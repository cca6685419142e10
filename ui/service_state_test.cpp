// The service-state machine on a context without windows: the signal
// table, the connectivity rule, the icon rule, the status line and the
// tick, with worker commands read back from a real pipe and update notices
// in the private /opt/korvane.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_cache.hpp"
#include "mono_clock.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "service_state.hpp"
#include "update_notice.hpp"

namespace {

using namespace kv::ui;

class ServiceStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (GdkPixbuf*& p : ctx_.colour_pixbufs)
            p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 16);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        worker_read_ = fds[0];
        ctx_.worker_pipe_write.reset(fds[1]);
        ctx_.last_signal_us = monotonic_us();
        ctx_.last_status_refresh_us = ctx_.last_policy_refresh_us = monotonic_us();
    }
    void TearDown() override {
        for (GdkPixbuf*& p : ctx_.colour_pixbufs)
            release_object(p);
        (void)close(worker_read_);
    }
    void signal(const char* name) { handle_service_signal(ctx_, kv::svc::signal_index(name)); }
    std::vector<int> worker_commands() {
        std::vector<int> out;
        unsigned char b;
        while (read(worker_read_, &b, 1) == 1)
            out.push_back(b);
        return out;
    }
    void set_policy_known(bool local) {
        std::lock_guard<std::mutex> lock(ctx_.mutex);
        ctx_.has_policy_text = true;
        ctx_.local_policy = local;
    }

    TrayContext ctx_;
    int worker_read_ = -1;
};

TEST_F(ServiceStateTest, SignalTableAndConnectivityRule) {
    set_policy_known(false);
    struct Step {
        const char* signal;
        int colour;
        ServiceState state;
        const char* status;
    };
    // Connection flags start false, the policy is not local.
    const Step steps[] = {
        {"com.korvane.agent.started", kYellow, kIdle, "Idle"},           // driver unknown: rule stops
        {"com.korvane.driver.connected", kYellow, kNoNetwork, "NoNetwork"},
        {"com.korvane.tarnel.connected", kGreen, kIdle, "Idle"},
        {"com.korvane.driver.notconnected", kRed, kNoDriver, "NoDriver"},
        {"com.korvane.tarnel.connected", kRed, kNoDriver, "NoDriver"},  // ignored while the driver is missing
        {"com.korvane.agent.running", kRed, kNoDriver, "NoDriver"},     // red: nothing changes
        {"com.korvane.logupload_failed", kRed, kNoDriver, "NoDriver"},
        {"com.korvane.unknown.name", kRed, kNoDriver, "NoDriver"},
        {"com.korvane.driver.connected", kGreen, kIdle, "Idle"},
        {"com.korvane.ormaline.connected", kGreen, kIdle, "Idle"},
        {"com.korvane.tarnel.notconnected", kGreen, kIdle, "Idle"},      // ormaline still up
        {"com.korvane.ormaline.notconnected", kYellow, kNoNetwork, "NoNetwork"},
        {"com.korvane.agent.stopped", kYellow, kNotRunning, "NotRunning"},
        {"com.korvane.agent.running", kYellow, kNoNetwork, "NoNetwork"}, // stopped set the driver flag
    };
    for (const Step& s : steps) {
        signal(s.signal);
        EXPECT_EQ(ctx_.icon_colour.load(), s.colour) << s.signal;
        EXPECT_EQ(ctx_.state, s.state) << s.signal;
        EXPECT_EQ(ctx_.status_text, s.status) << s.signal;
    }
    EXPECT_FALSE(ctx_.tarnel_connected || ctx_.ormaline_connected);
    EXPECT_TRUE(ctx_.driver_connected);
    EXPECT_EQ(worker_commands(), std::vector<int>{});   // the policy was known throughout
}

TEST_F(ServiceStateTest, LocalPolicyCountsAsConnectedAndIdleAsksForThePolicyOnce) {
    signal("com.korvane.driver.connected");   // not connected: NoNetwork
    EXPECT_EQ(ctx_.state, kNoNetwork);
    signal("com.korvane.agent.started");      // Idle without a policy text asks for it
    EXPECT_EQ(worker_commands(), (std::vector<int>{kWorkerRefreshPolicy}));
    EXPECT_EQ(ctx_.state, kNoNetwork);        // the rule moved it back
    set_policy_known(true);
    signal("com.korvane.agent.running");
    EXPECT_EQ(ctx_.state, kIdle);
    EXPECT_EQ(ctx_.icon_colour.load(), kGreen);
    EXPECT_EQ(worker_commands(), std::vector<int>{});
}

TEST_F(ServiceStateTest, ListedUnsafeThreatHoldsTheRuleButNotTheStateTable) {
    set_policy_known(true);
    ctx_.driver_connected = true;
    set_icon_colour(ctx_, kRed);
    ctx_.views.unsafe_counter = 1;
    signal("com.korvane.tarnel.connected");   // Idle by the rule, and Idle's icon rule is green
    EXPECT_EQ(ctx_.state, kIdle);
    EXPECT_EQ(ctx_.icon_colour.load(), kGreen);
    ctx_.state = kInspecting;
    set_icon_colour(ctx_, kRed);
    signal("com.korvane.ormaline.connected");  // Inspecting stays; the counter keeps it red
    EXPECT_EQ(ctx_.state, kInspecting);
    EXPECT_EQ(ctx_.icon_colour.load(), kRed);
}

TEST_F(ServiceStateTest, MissingOrInvalidColoursAreIgnored) {
    release_object(ctx_.colour_pixbufs[kRed]);
    signal("com.korvane.driver.notconnected");
    EXPECT_EQ(ctx_.icon_colour.load(), kYellow);   // kept its previous colour
    EXPECT_EQ(ctx_.state, kNoDriver);
    set_icon_colour(ctx_, 3);
    set_icon_colour(ctx_, -1);
    EXPECT_EQ(ctx_.icon_colour.load(), kYellow);
    set_icon_colour(ctx_, kGreen);
    EXPECT_EQ(ctx_.icon_colour.load(), kGreen);
}

TEST_F(ServiceStateTest, InspectingShowsTheFileUntilTheLineIsStale) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    std::filesystem::create_directories(kv::svc::kHostCacheDir);
    std::ofstream(kv::svc::kAnalyzerStatusBPath) << R"({"CurrentFile": "/home/u/setup.bin"})";
    std::ofstream(kv::svc::kAnalyzerStatusPath) << R"({"CurrentFile": "/old"})";
    signal("com.korvane.analyerstatus_messages");
    EXPECT_EQ(ctx_.state, kInspecting);
    EXPECT_EQ(ctx_.icon_colour.load(), kGreen);
    EXPECT_EQ(ctx_.status_text, "Inspecting /home/u/setup.bin");
    EXPECT_FALSE(std::filesystem::exists(kv::svc::kAnalyzerStatusBPath));   // consumed
    // The B file is gone: the plain status file is read and kept.
    ctx_.last_status_refresh_us = monotonic_us() - 5'000'000;
    signal("com.korvane.analyerstatus_messages");
    EXPECT_EQ(ctx_.status_text, "Running");
    EXPECT_TRUE(std::filesystem::exists(kv::svc::kAnalyzerStatusPath));
    signal("com.korvane.analyerstatus_messages");   // refreshed just now: fresh again
    EXPECT_EQ(ctx_.status_text, "Inspecting /old");
    // A B file without the member is consumed and changes nothing.
    std::ofstream(kv::svc::kAnalyzerStatusBPath) << R"({"Other": 1})";
    ctx_.state = kIdle;
    signal("com.korvane.analyerstatus_messages");
    EXPECT_EQ(ctx_.state, kIdle);
    EXPECT_FALSE(std::filesystem::exists(kv::svc::kAnalyzerStatusBPath));
    std::filesystem::remove_all(kv::svc::kHostCacheDir);
}

TEST_F(ServiceStateTest, TickSilenceRulePolicyRefreshAndStatusRefresh) {
    ctx_.state = kIdle;
    ctx_.last_signal_us = monotonic_us() - 299'000'000;
    (void)tick(&ctx_);
    EXPECT_EQ(ctx_.state, kIdle);
    EXPECT_EQ(worker_commands(), std::vector<int>{});
    ctx_.last_signal_us = monotonic_us() - 300'000'001;
    ctx_.last_policy_refresh_us = monotonic_us() - 60'000'001;
    set_icon_colour(ctx_, kGreen);
    EXPECT_EQ(tick(&ctx_), G_SOURCE_CONTINUE);
    EXPECT_EQ(ctx_.state, kNotRunning);
    EXPECT_EQ(ctx_.icon_colour.load(), kYellow);
    EXPECT_EQ(ctx_.status_text, "NotRunning");
    EXPECT_EQ(worker_commands(), (std::vector<int>{kWorkerRefreshPolicy}));
    (void)tick(&ctx_);   // the policy refresh time was reset; the silence repeats
    EXPECT_EQ(worker_commands(), std::vector<int>{});
    EXPECT_EQ(ctx_.state, kNotRunning);
    // The status line is refreshed when more than 3 s old.
    ctx_.status_text.clear();
    ctx_.last_signal_us = monotonic_us();
    (void)tick(&ctx_);
    EXPECT_EQ(ctx_.status_text, "");
    ctx_.last_status_refresh_us = monotonic_us() - 3'000'001;
    (void)tick(&ctx_);
    EXPECT_EQ(ctx_.status_text, "NotRunning");
}

TEST_F(ServiceStateTest, UpdateNoticeHoldsTheStateAndEndsTheTick) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    std::filesystem::create_directories(kv::svc::kUpdateNoticeDir);
    std::uint8_t key[32];
    kv::svc::update_notice_key_today(key);
    std::ofstream(std::string(kv::svc::kUpdateNoticeDir) + "/b.kvupupdate")
        << kv::svc::encode_update_notice("Update 3.2 ready", key);
    ctx_.last_signal_us = monotonic_us() - 400'000'000;
    ctx_.last_policy_refresh_us = monotonic_us() - 70'000'000;
    (void)tick(&ctx_);
    EXPECT_EQ(ctx_.state, kUpdateNotice);
    EXPECT_EQ(ctx_.status_text, "Update 3.2 ready");
    EXPECT_EQ(ctx_.icon_colour.load(), kGreen);
    EXPECT_EQ(worker_commands(), std::vector<int>{});   // neither rule ran
    signal("com.korvane.tarnel.connected");
    EXPECT_EQ(ctx_.state, kUpdateNotice);               // not moved to Idle (driver unknown anyway)
    std::filesystem::remove_all(kv::svc::kUpdateNoticeDir);
    (void)tick(&ctx_);
    EXPECT_EQ(ctx_.state, kNotRunning);
}

}  // namespace

namespace {

TEST_F(ServiceStateTest, StatusLineShowsOutsideBytesAsValidText) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    std::filesystem::create_directories(kv::svc::kHostCacheDir);
    std::ofstream(kv::svc::kAnalyzerStatusBPath) << "{\"CurrentFile\": \"/home/u/\xFF<b>.bin\"}";
    signal("com.korvane.analyerstatus_messages");
    EXPECT_EQ(ctx_.status_text, "Inspecting /home/u/\xEF\xBF\xBD<b>.bin");
}

}  // namespace
