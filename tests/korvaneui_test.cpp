// korvaneui as a program in a headless desktop: Xvfb with a tray host, a
// private session bus with GConf, the simulated agent on the private
// system bus. The tray is driven by the agent's broadcasts and by its own
// bus methods, and watched through its replies, its signals, its verbose
// lines, GConf and the screen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client_impl.hpp"
#include "desktop_session.hpp"
#include "json_fields.hpp"
#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using kv::test::RunResult;

constexpr char kShowKey[] = "/apps/korvaneui/show_notifications";
constexpr char kUserKey[] = "/apps/korvaneui/user_changed_show_notifications";

[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

template <class Pred>
bool wait_for(Pred pred, std::chrono::milliseconds timeout = 10s) {
    return kv::test::wait_until(pred, timeout, 50ms);
}

class KorvaneuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace());
        fs::remove_all("/opt/korvane/HostCache");
        fs::remove_all("/opt/korvane/desktop");
        fs::create_directories("/opt/korvane/HostCache");
        fs::copy(KV_DESKTOP_STAGE_DIR, "/opt/korvane/desktop", fs::copy_options::recursive);
        ASSERT_EQ(desktop_.start(), 0);
        log_ = dir_.file("korvaneui.log");
        monitor_log_ = dir_.file("monitor.log");
        std::vector<std::string> monitor{"dbus-monitor", "--address", desktop_.session_bus_address(),
                                         "type='signal',interface='com.korvane.guard.ui'"};
        ASSERT_TRUE(monitor_.start({"/bin/sh", "-c", "exec \"$@\" >" + monitor_log_, "sh", monitor[0], monitor[1],
                                    monitor[2], monitor[3]}));
        start_agent();
    }
    void TearDown() override {
        tray_.stop();
        monitor_.stop();
        agent_.stop();
        kv::svc::stopServiceClient();
        desktop_.stop();
    }

    void start_agent() {
        std::vector<std::string> argv{KV_AGENT_SIM, "--state-dir", "/opt/korvane/HostCache",
                                      "--trust", fs::read_symlink("/proc/self/exe").string(),
                                      "--trust", KV_KORVANEUI, "--trust", KV_KORVANEUI_CLOCK};
        if (!kv::test::emulator_prefix().empty())
            argv.insert(argv.end(), {"--trust", kv::test::emulator_prefix().front()});
        kv::test::RunOptions options;
        options.built_program = true;
        ASSERT_TRUE(agent_.start(argv, options));
        // This test process is trusted too (through the emulator in i686).
        ASSERT_TRUE(wait_for([] { return send(R"({ "CMD_":"SIMP" })"); }));
    }

    // The test's own command to the agent (it trusts this executable).
    static bool send(const std::string& text) {
        char reply[kv::svc::kReplyBufferSize] = {};
        return kv::svc::sendMessageToService(text.c_str(), reply) && kv::svc::isReplyOk(reply);
    }
    void broadcast(const char* name) {
        ASSERT_TRUE(send(std::string(R"({ "CMD_":"SIMB", "NAME":")") + name + "\" }"));
    }

    // Starts the tray (verbose, output to the log) and waits until it
    // answers on the bus.
    void start_tray(const char* program = KV_KORVANEUI) {
        kv::test::RunOptions options;
        options.built_program = true;
        options.extra_env = desktop_.child_env();
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" >" + log_ + " 2>&1", "sh"};
        for (const auto& p : kv::test::emulator_prefix())
            argv.push_back(p);
        argv.insert(argv.end(), {program, "-v"});
        options.built_program = false;   // the emulator is already in argv
        ASSERT_TRUE(tray_.start(argv, options));
        ASSERT_TRUE(wait_for([&] { return colour() != ""; }, 60s)) << kv::test::read_text_file(log_);
        // The start-up driver query has been answered (the connectivity
        // rule depends on it).
        ASSERT_TRUE(wait_for([&] { return log().find("driver_connected = ") != std::string::npos; }, 30s)) << log();
    }

    RunResult tray_method(const std::string& member, const std::string& argument = "") {
        std::vector<std::string> argv{"/usr/bin/dbus-send", "--bus=" + desktop_.session_bus_address(), "--print-reply",
                                      "--dest=com.korvane.guard", "/com/korvane/guard/ui",
                                      "com.korvane.guard.ui." + member};
        if (!argument.empty())
            argv.push_back("string:" + argument);
        return kv::test::run_program(argv);
    }
    // The reply's string, "" when there is none or no reply.
    std::string reply_string(const RunResult& r) {
        const auto at = r.out.find("string \"");
        if (r.exit_code != 0 || at == std::string::npos)
            return "";
        const auto from = at + 8;
        return r.out.substr(from, r.out.find('"', from) - from);
    }
    std::string colour() { return reply_string(tray_method("getIconColor")); }
    bool colour_becomes(const std::string& wanted) {
        return wait_for([&] { return colour() == wanted; });
    }
    std::string log() { return kv::test::read_text_file(log_); }
    // Waits until the tray has handled `n` broadcasts of this index in all.
    bool handled(int index, std::size_t n) {
        const std::string line = "received notification from service: " + std::to_string(index) + "\n";
        return wait_for([&] { return count_of(log(), line) >= n; });
    }
    std::size_t icon_changes() { return count_of(kv::test::read_text_file(monitor_log_), "member=iconChanged"); }

    kv::test::TempDir dir_{"kvtray"};
    kv::test::DesktopSession desktop_;
    kv::test::ChildProcess agent_, tray_, monitor_;
    std::string log_, monitor_log_;
};

int index_of(const char* name) { return kv::svc::signal_index(name); }

TEST_F(KorvaneuiTest, IconColourThroughTheSignalTable) {
    start_tray();
    EXPECT_EQ(colour(), "yellow");
    EXPECT_NE(log().find("driver_connected = true\n"), std::string::npos) << log();

    ASSERT_TRUE(send(R"({ "CMD_":"SIMD", "VALU":0 })"));   // driver.notconnected
    EXPECT_TRUE(colour_becomes("red"));
    broadcast("com.korvane.tarnel.connected");
    broadcast("com.korvane.agent.running");
    ASSERT_TRUE(handled(index_of("com.korvane.agent.running"), 1));
    EXPECT_EQ(colour(), "red");                            // both ignored while the driver is missing
    ASSERT_TRUE(send(R"({ "CMD_":"SIMD", "VALU":1 })"));   // driver.connected, tarnel up
    EXPECT_TRUE(colour_becomes("green"));
    broadcast("com.korvane.tarnel.notconnected");
    ASSERT_TRUE(handled(index_of("com.korvane.tarnel.notconnected"), 1));
    // Not connected, and the policy (asked for when Idle came) is local.
    EXPECT_TRUE(wait_for([&] { return log().find("svc_state = 5\n") != std::string::npos; }));
    EXPECT_EQ(colour(), "green");
    broadcast("com.korvane.agent.stopped");
    EXPECT_TRUE(colour_becomes("yellow"));
    EXPECT_NE(log().find("svc_state = 0\n"), std::string::npos);
    // yellow -> red -> green -> yellow: one signal per real change.
    EXPECT_TRUE(wait_for([&] { return icon_changes() == 3; }, 3s)) << kv::test::read_text_file(monitor_log_);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(icon_changes(), 3u);
    EXPECT_NE(log().find("rx:method:com.korvane.guard.ui.getIconColor\n"), std::string::npos);
}

TEST_F(KorvaneuiTest, SecondInstanceExits1AndTheFirstRunsOn) {
    start_tray();
    kv::test::RunOptions options;
    options.built_program = true;
    options.extra_env = desktop_.child_env();
    const RunResult second = kv::test::run_program({KV_KORVANEUI, "-v"}, options);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.out.find("error: failed to create DBus context, another instance exits.\n"), std::string::npos)
        << second.out;
    EXPECT_EQ(colour(), "yellow");
    EXPECT_EQ(tray_method("getShowNotifications").exit_code, 0);
}

TEST_F(KorvaneuiTest, ExitSignalsEndTheLoopAndTearDown) {
    for (const int number : {SIGINT, SIGTERM, SIGQUIT}) {
        start_tray();
        const pid_t pid = tray_.pid();
        ASSERT_EQ(kill(pid, number), 0);
        int status = 0;
        ASSERT_TRUE(tray_.wait_exit(20s, &status)) << number;
        EXPECT_TRUE(WIFEXITED(status)) << number;
        EXPECT_EQ(WEXITSTATUS(status), 0) << number;
        const std::string out = log();
        EXPECT_NE(out.find("exiting on signal(" + std::to_string(number) + ")...\n"), std::string::npos) << out;
        EXPECT_NE(out.find("korvaneui_dbus_listen_thread: exiting...\n"), std::string::npos) << out;
        EXPECT_EQ(kv::test::descendant_processes(pid), std::vector<pid_t>{});
        EXPECT_EQ(tray_method("getIconColor").exit_code, 1) << number;   // the name is gone
    }
}

TEST_F(KorvaneuiTest, SettingsKeysSetterAndPolicyReconciliation) {
    start_tray(KV_KORVANEUI_CLOCK);
    // First start: both keys written as false; the effective value follows
    // the policy, false until the POLY answer.
    EXPECT_TRUE(wait_for([&] { return desktop_.gconf_get(kShowKey) == "false"; }));
    EXPECT_EQ(desktop_.gconf_get(kUserKey), "false");
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "false");
    broadcast("com.korvane.agent.started");   // Idle without a policy: POLY; its PNOTF is "OK"
    EXPECT_TRUE(wait_for([&] { return desktop_.gconf_get(kShowKey) == "true"; })) << log();
    EXPECT_EQ(desktop_.gconf_get(kUserKey), "false");
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "true");

    EXPECT_EQ(tray_method("setShowNotifications", "TRUE").exit_code, 0);   // only "true" is true
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "false");
    EXPECT_TRUE(wait_for([&] { return desktop_.gconf_get(kShowKey) == "false"; }));
    EXPECT_EQ(desktop_.gconf_get(kUserKey), "true");
    // The next POLY answer (60-second refresh, clock moved on) keeps the
    // user's choice: the check item mirrors the value set over the bus.
    const std::size_t polls = count_of(log(), "svc_state = 0\n");
    ASSERT_EQ(kill(tray_.pid(), SIGUSR2), 0);
    EXPECT_TRUE(wait_for([&] { return count_of(log(), "svc_state = 0\n") > polls; }));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(desktop_.gconf_get(kShowKey), "false");
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "false");
    EXPECT_EQ(tray_method("setShowNotifications", "true").exit_code, 0);
    EXPECT_TRUE(wait_for([&] { return desktop_.gconf_get(kShowKey) == "true"; }));

    // A restart keeps both keys.
    tray_.stop();
    start_tray();
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "true");
    EXPECT_EQ(desktop_.gconf_get(kUserKey), "true");
}

TEST_F(KorvaneuiTest, RemotePolicyWithoutNotificationsNeedsAConnection) {
    agent_.stop();
    std::ofstream("/opt/korvane/HostCache/agent_simulator_state.json")
        << R"({"policy_name": "Branch", "policy_mode": "Managed", "policy_notifications": "NO"})";
    start_agent();
    start_tray();
    broadcast("com.korvane.agent.started");
    // POLY answered: the default is off, so nothing is saved again.
    ASSERT_TRUE(wait_for([&] { return log().find("svc_state = 2\n") != std::string::npos; }));
    std::this_thread::sleep_for(1s);
    broadcast("com.korvane.agent.running");
    ASSERT_TRUE(handled(index_of("com.korvane.agent.running"), 1));
    EXPECT_EQ(colour(), "yellow");   // not local, nothing connected: NoNetwork
    EXPECT_EQ(desktop_.gconf_get(kShowKey), "false");
    EXPECT_EQ(reply_string(tray_method("getShowNotifications")), "false");
    broadcast("com.korvane.ormaline.connected");
    EXPECT_TRUE(colour_becomes("green"));
    broadcast("com.korvane.ormaline.notconnected");
    EXPECT_TRUE(colour_becomes("yellow"));
}

// The session ends under the tray: its endpoint's listener ends and the
// program leaves its main loop and exits as after a stop.
TEST_F(KorvaneuiTest, SessionBusGoingAwayEndsTheTrayCleanly) {
    start_tray();
    const std::string address = desktop_.session_bus_address();
    const std::string socket = address.substr(address.find("path=") + 5, address.find(',') - address.find("path=") - 5);
    pid_t bus = -1;
    for (const pid_t p : kv::test::descendant_processes(getpid())) {
        if (kv::test::process_name(p) == "dbus-daemon" &&
            kv::test::read_text_file("/proc/" + std::to_string(p) + "/cmdline").find(socket) != std::string::npos)
            bus = p;
    }
    ASSERT_GT(bus, 0);
    ASSERT_EQ(kill(bus, SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(tray_.wait_exit(20s, &status)) << log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(log().find("korvaneui_dbus_listen_thread: exiting...\n"), std::string::npos);
}

TEST_F(KorvaneuiTest, SilenceOf300SecondsMeansNotRunning) {
    start_tray(KV_KORVANEUI_CLOCK);
    // Idle asks for the policy; once it is known (its "OK" has switched
    // notifications on) the local policy counts as connected.
    broadcast("com.korvane.agent.started");
    ASSERT_TRUE(wait_for([&] { return desktop_.gconf_get(kShowKey) == "true"; }));
    broadcast("com.korvane.agent.running");
    ASSERT_TRUE(colour_becomes("green"));
    ASSERT_TRUE(wait_for([&] { return log().find("svc_state = 5\n") != std::string::npos; }));
    std::this_thread::sleep_for(3500ms);   // a tick or more without the clock moved: still green
    EXPECT_EQ(colour(), "green");
    EXPECT_EQ(log().find("svc_state = 0\n"), std::string::npos);
    ASSERT_EQ(kill(tray_.pid(), SIGUSR2), 0);   // 301 s on
    EXPECT_TRUE(colour_becomes("yellow"));
    EXPECT_NE(log().find("svc_state = 0\n"), std::string::npos);
    broadcast("com.korvane.agent.running");     // a signal again: running, connected (local policy)
    EXPECT_TRUE(colour_becomes("green")) << log();
}

TEST_F(KorvaneuiTest, UpdateNoticeHoldsTheState) {
    start_tray();
    RunResult w = kv::test::run_program(
        {KV_NOTICE_WRITER, "a.kvupupdate", "Version 3.2 is ready"},
        [] {
            kv::test::RunOptions o;
            o.built_program = true;
            return o;
        }());
    ASSERT_EQ(w.exit_code, 0) << w.err;
    EXPECT_TRUE(colour_becomes("green"));
    EXPECT_TRUE(wait_for([&] { return count_of(log(), "svc_state = 4\n") >= 2; }));   // every tick
    broadcast("com.korvane.driver.notconnected");
    EXPECT_TRUE(colour_becomes("red"));
    EXPECT_TRUE(colour_becomes("green"));   // the next tick finds the notice again
    fs::remove_all("/opt/korvane/desktop/download/status");
}

TEST_F(KorvaneuiTest, EmbeddedIconShowsItsColourOnScreen) {
    start_tray();
    const auto icons = desktop_.wait_embedded_tray_icons(1, 20s);
    ASSERT_EQ(icons.size(), 1u);
    auto share_of = [&](auto is_colour) {
        int hits = 0, total = 0;
        for (int y = icons[0].y; y < icons[0].y + icons[0].height; ++y) {
            for (int x = icons[0].x; x < icons[0].x + icons[0].width; ++x) {
                std::uint8_t rgb[3];
                if (desktop_.pixel(x, y, rgb) == 0) {
                    ++total;
                    hits += is_colour(rgb[0], rgb[1], rgb[2]) ? 1 : 0;
                }
            }
        }
        return total == 0 ? 0.0 : double(hits) / total;
    };
    auto reddish = [](int r, int g, int b) { return r > 150 && r > g + 70 && r > b + 70; };
    auto greenish = [](int r, int g, int b) { return g > 110 && g > r + 40 && g > b + 40; };
    ASSERT_TRUE(send(R"({ "CMD_":"SIMD", "VALU":0 })"));
    ASSERT_TRUE(colour_becomes("red"));
    EXPECT_TRUE(wait_for([&] { return share_of(reddish) > 0.2; }, 5s));
    EXPECT_LT(share_of(greenish), 0.05);
    const std::string png = std::string(KV_SCREENSHOT_DIR) + "/korvaneui_tray_red.png";
    EXPECT_EQ(desktop_.screenshot(png), 0);
    ASSERT_TRUE(send(R"({ "CMD_":"SIMD", "VALU":1 })"));   // tarnel still down, policy local once known
    broadcast("com.korvane.tarnel.connected");
    ASSERT_TRUE(colour_becomes("green"));
    EXPECT_TRUE(wait_for([&] { return share_of(greenish) > 0.2; }, 5s));
    EXPECT_LT(share_of(reddish), 0.05);
    EXPECT_EQ(desktop_.screenshot(std::string(KV_SCREENSHOT_DIR) + "/korvaneui_tray_green.png"), 0);
}

// The context menu, driven with the keyboard as a user would: "check for
// policy updates" reaches the agent (which records the time of the check)
// from the worker, and the tray answers its bus meanwhile.
TEST_F(KorvaneuiTest, MenuChecksForPolicyUpdates) {
    start_tray();
    const auto icons = desktop_.wait_embedded_tray_icons(1, 20s);
    ASSERT_EQ(icons.size(), 1u);
    const std::string before = kv::test::read_text_file("/opt/korvane/HostCache/agent_simulator_state.json");
    kv::test::RunOptions options;
    options.extra_env = desktop_.child_env();
    const std::string x = std::to_string(icons[0].x + icons[0].width / 2);
    const std::string y = std::to_string(icons[0].y + icons[0].height / 2);
    // Items: details, (separator), site, help, updates, policy updates.
    const RunResult r = kv::test::run_program({"/usr/bin/xdotool", "mousemove", x, y, "click", "3", "sleep", "0.5",
                                               "key", "Down", "Down", "Down", "Down", "Down", "Return"},
                                              options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(wait_for([&] {
        return kv::test::read_text_file("/opt/korvane/HostCache/agent_simulator_state.json") != before;
    })) << log();
    EXPECT_EQ(colour(), "yellow");
}

}  // namespace
