// The headless desktop session: a status icon really embedded in the tray
// host and its pixels read back, GConf through the activated daemon under
// the session's HOME, the recording notification server, two sessions side
// by side, and nothing left running after stop().
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include <dbus/dbus.h>

#include "dbus_handles.hpp"
#include "desktop_session.hpp"
#include "process.hpp"

namespace kv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Under the emulator a GTK program needs far longer to start.
constexpr auto kIconTimeout = 120s;

std::string environment_of(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string entry;
    while (std::getline(in, entry, '\0')) {
        if (entry.rfind(name + "=", 0) == 0)
            return entry.substr(name.size() + 1);
    }
    return {};
}

// The session's processes: our children and what its bus activated.
std::map<pid_t, std::string> session_processes(const DesktopSession& s) {
    std::map<pid_t, std::string> out;
    for (pid_t pid : descendant_processes(getpid()))
        out[pid] = process_name(pid);
    for (pid_t pid : bus_activated_processes(s.session_bus_address()))
        out[pid] = process_name(pid);
    return out;
}

std::set<std::string> names_of(const std::map<pid_t, std::string>& processes) {
    std::set<std::string> names;
    for (const auto& [pid, name] : processes)
        names.insert(name);
    return names;
}

RunResult session_call(const DesktopSession& s, const std::vector<std::string>& argv) {
    RunOptions run;
    run.extra_env = s.child_env();
    run.timeout = 20s;
    return run_program(argv, run);
}

RunResult capabilities(const DesktopSession& s) {
    return session_call(s, {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.Notifications",
                            "/org/freedesktop/Notifications", "org.freedesktop.Notifications.GetCapabilities"});
}

TEST(DesktopSession, StatusIconEmbedsInTheTrayHostWithItsColour) {
    DesktopSession session;
    ASSERT_EQ(session.start(), 0);
    ASSERT_FALSE(session.display().empty());
    EXPECT_EQ(std::string(getenv("DISPLAY")), session.display());
    EXPECT_EQ(std::string(getenv("HOME")), session.home());
    EXPECT_TRUE(session.embedded_tray_icons().empty());

    RunOptions run;
    run.built_program = true;
    run.extra_env = session.child_env();
    ChildProcess probe;
    const auto started = Clock::now();
    ASSERT_TRUE(probe.start({KV_STATUS_ICON_PROBE, "--colour", "ff8000"}, run));
    const auto icons = session.wait_embedded_tray_icons(1, kIconTimeout);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    ASSERT_EQ(icons.size(), 1u);
    std::cout << "status icon embedded and laid out " << took.count() << " ms after the program started\n";
    RecordProperty("status_icon_embed_ms", static_cast<int>(took.count()));

    const auto& icon = icons[0];
    EXPECT_GE(icon.width, 16);
    EXPECT_LE(icon.width, 32);
    EXPECT_GE(icon.height, 16);
    EXPECT_LE(icon.height, 32);
    // The tray is at the top right of the screen.
    EXPECT_LT(icon.y, 32);
    EXPECT_GT(icon.x, 1024 / 2);

    // Drawing follows embedding: wait for the icon's colour at its centre.
    std::uint8_t rgb[3] = {};
    const auto deadline = Clock::now() + 30s;
    do {
        ASSERT_EQ(session.pixel(icon.x + icon.width / 2, icon.y + icon.height / 2, rgb), 0);
        if (rgb[0] == 0xff && rgb[1] == 0x80 && rgb[2] == 0x00)
            break;
        std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    const auto drawn = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    std::cout << "status icon drawn " << drawn.count() << " ms after the program started\n";
    RecordProperty("status_icon_drawn_ms", static_cast<int>(drawn.count()));
    EXPECT_EQ(rgb[0], 0xff);
    EXPECT_EQ(rgb[1], 0x80);
    EXPECT_EQ(rgb[2], 0x00);
    // Beside the tray the screen is Xvfb's background, not the icon.
    ASSERT_EQ(session.pixel(10, 700, rgb), 0);
    EXPECT_FALSE(rgb[0] == 0xff && rgb[1] == 0x80 && rgb[2] == 0x00);
    EXPECT_EQ(session.pixel(1024, 0, rgb), -EINVAL);

    const std::string png = "desktop_session_tray.png";
    ASSERT_EQ(session.screenshot(png), 0);
    std::ifstream in(png, std::ios::binary);
    char magic[8] = {};
    in.read(magic, sizeof magic);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");

    // The icon goes when its program ends.
    probe.stop();
    const auto gone_by = Clock::now() + 10s;
    while (!session.embedded_tray_icons().empty() && Clock::now() < gone_by)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(session.embedded_tray_icons().empty());
}

enum class Hue { green, yellow, red, other };

Hue hue_of(const std::uint8_t (&rgb)[3]) {
    const int r = rgb[0], g = rgb[1], b = rgb[2];
    if (g > r + 40 && g > b + 40)
        return Hue::green;
    if (r > 150 && g > 110 && b < 90 && r - g < 90)
        return Hue::yellow;
    if (r > g + 80 && r > b + 80)
        return Hue::red;
    return Hue::other;
}

// The colour most pixels of an icon have, ignoring white, black and grey.
Hue dominant_hue(const DesktopSession& s, const DesktopSession::Rect& icon) {
    int counts[4] = {};
    for (int y = icon.y; y < icon.y + icon.height; ++y) {
        for (int x = icon.x; x < icon.x + icon.width; ++x) {
            std::uint8_t rgb[3];
            if (s.pixel(x, y, rgb) == 0)
                ++counts[static_cast<int>(hue_of(rgb))];
        }
    }
    const int best = static_cast<int>(std::max_element(counts, counts + 3) - counts);
    // A status icon fills most of its square with its colour.
    return counts[best] * 3 >= icon.width * icon.height ? static_cast<Hue>(best) : Hue::other;
}

TEST(DesktopSession, ShippedStatusIconsKeepTheirColoursWhenScaledIntoTheTray) {
    DesktopSession session;
    ASSERT_EQ(session.start(), 0);
    RunOptions run;
    run.built_program = true;
    run.extra_env = session.child_env();
    ChildProcess icons[3];
    const char* const files[3] = {"icon_green.png", "icon_yellow.png", "icon_red.png"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(icons[i].start({KV_STATUS_ICON_PROBE, "--file", std::string(KV_DESKTOP_STAGE_DIR "/") + files[i]}, run));
        // One at a time, so that they line up in a known order.
        ASSERT_EQ(session.wait_embedded_tray_icons(i + 1, kIconTimeout).size(), static_cast<std::size_t>(i + 1));
    }
    const auto embedded = session.wait_embedded_tray_icons(3, kIconTimeout);
    ASSERT_EQ(embedded.size(), 3u);
    ASSERT_EQ(session.screenshot("desktop_session_status_icons.png"), 0);
    std::multiset<Hue> hues;
    for (const auto& icon : embedded) {
        EXPECT_LE(icon.height, 24);
        hues.insert(dominant_hue(session, icon));
    }
    EXPECT_EQ(hues, (std::multiset<Hue>{Hue::green, Hue::yellow, Hue::red}));
}

TEST(DesktopSession, GConfRoundTripsThroughTheActivatedDaemonUnderTheSessionHome) {
    DesktopOptions options;
    options.tray_host = false;
    DesktopSession session(options);
    ASSERT_EQ(session.start(), 0);
    const std::string key = "/apps/kvtest/flag";
    EXPECT_EQ(session.gconf_get(key), "");
    ASSERT_EQ(session.gconf_set_bool(key, true), 0);
    EXPECT_EQ(session.gconf_get(key), "true");
    ASSERT_EQ(session.gconf_set_bool(key, false), 0);
    EXPECT_EQ(session.gconf_get(key), "false");
    ASSERT_EQ(session.gconf_unset(key), 0);
    EXPECT_EQ(session.gconf_get(key), "");

    // The daemon was activated by this session's bus and keeps its files
    // under this session's HOME.
    bool found = false;
    for (pid_t pid : bus_activated_processes(session.session_bus_address())) {
        if (process_name(pid) == "gconfd-2") {
            found = true;
            EXPECT_EQ(environment_of(pid, "HOME"), session.home());
        }
    }
    EXPECT_TRUE(found);
}

TEST(DesktopSession, NotificationServerRecordsEveryCallAndAnswersItsCapabilities) {
    DesktopOptions options;
    options.tray_host = false;
    DesktopSession session(options);
    ASSERT_EQ(session.start(), 0);

    const RunResult caps = capabilities(session);
    ASSERT_EQ(caps.exit_code, 0) << caps.err;
    EXPECT_NE(caps.out.find("\"body\""), std::string::npos) << caps.out;
    EXPECT_NE(caps.out.find("\"actions\""), std::string::npos) << caps.out;
    EXPECT_EQ(caps.out.find("body-markup"), std::string::npos) << caps.out;

    RunResult sent = session_call(session, {"/usr/bin/notify-send", "-a", "kvtest", "-i", "important", "-t", "1234",
                                            "-h", "string:x-kv-note:a b", "-h", "int:x-kv-level:42", "-h",
                                            "boolean:transient:true", "Threat found", "A threat was found in a.out."});
    ASSERT_EQ(sent.exit_code, 0) << sent.err;
    sent = session_call(session, {"/usr/bin/notify-send", "Second", "<b>&</b>"});
    ASSERT_EQ(sent.exit_code, 0) << sent.err;
    ASSERT_TRUE(session.wait_notifications(2, 10s));
    const auto recorded = session.notifications();
    ASSERT_EQ(recorded.size(), 2u);
    const auto& first = recorded[0];
    EXPECT_EQ(first.app_name, "kvtest");
    EXPECT_EQ(first.app_icon, "important");
    EXPECT_EQ(first.summary, "Threat found");
    EXPECT_EQ(first.body, "A threat was found in a.out.");
    EXPECT_EQ(first.expire_timeout, 1234);
    EXPECT_EQ(first.id, 1u);
    EXPECT_EQ(first.replaces_id, 0u);
    EXPECT_EQ(first.hints.at("x-kv-note"), "a b");
    EXPECT_EQ(first.hints.at("x-kv-level"), "42");
    EXPECT_EQ(first.hints.at("transient"), "true");
    EXPECT_EQ(recorded[1].id, 2u);
    EXPECT_EQ(recorded[1].body, "<b>&</b>");
    EXPECT_EQ(recorded[1].expire_timeout, -1);

    // A server that announces markup says so.
    options.notification_capabilities = {"body", "body-markup"};
    DesktopSession markup(options);
    ASSERT_EQ(markup.start(), 0);
    const RunResult markup_caps = capabilities(markup);
    ASSERT_EQ(markup_caps.exit_code, 0) << markup_caps.err;
    EXPECT_NE(markup_caps.out.find("\"body-markup\""), std::string::npos) << markup_caps.out;
    EXPECT_EQ(markup_caps.out.find("\"actions\""), std::string::npos) << markup_caps.out;
    EXPECT_TRUE(markup.notifications().empty());
}

// Notify over libdbus; the id the server gives, 0 on failure.
std::uint32_t notify(DBusConnection* c, std::uint32_t replaces_id, std::int32_t timeout_ms) {
    DBusMessagePtr call(dbus_message_new_method_call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify"));
    const char* app = "kvtest";
    const char* empty = "";
    const char* summary = "summary";
    DBusMessageIter it, arr;
    dbus_message_iter_init_append(call.get(), &it);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &app);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_UINT32, &replaces_id);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &empty);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &summary);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &empty);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &arr);
    dbus_message_iter_close_container(&it, &arr);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &arr);
    dbus_message_iter_close_container(&it, &arr);
    dbus_message_iter_append_basic(&it, DBUS_TYPE_INT32, &timeout_ms);
    DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(c, call.get(), 5000, nullptr));
    dbus_uint32_t id = 0;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID))
        return 0;
    return id;
}

// The next NotificationClosed within the timeout: {id, reason}, {0, 0} if none.
std::pair<std::uint32_t, std::uint32_t> next_closed(DBusConnection* c, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        dbus_connection_read_write(c, 100);
        while (DBusMessagePtr m{dbus_connection_pop_message(c)}) {
            dbus_uint32_t id = 0, reason = 0;
            if (dbus_message_is_signal(m.get(), "org.freedesktop.Notifications", "NotificationClosed") &&
                dbus_message_get_args(m.get(), nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &reason,
                                      DBUS_TYPE_INVALID))
                return {id, reason};
        }
    }
    return {0, 0};
}

TEST(DesktopSession, NotificationServerClosesOnTimeoutAndOnRequest) {
    DesktopOptions options;
    options.tray_host = false;
    DesktopSession session(options);
    ASSERT_EQ(session.start(), 0);
    DBusConnection* c = dbus_connection_open_private(session.session_bus_address().c_str(), nullptr);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dbus_bus_register(c, nullptr));
    dbus_bus_add_match(c, "type='signal',interface='org.freedesktop.Notifications',member='NotificationClosed'",
                       nullptr);

    const std::uint32_t first = notify(c, 0, 200);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(next_closed(c, 5s), std::make_pair(first, 1u));  // expired

    const std::uint32_t kept = notify(c, 0, 0);  // never expires
    EXPECT_EQ(kept, 2u);
    EXPECT_EQ(notify(c, kept, 0), kept);    // replacing a shown one keeps its id
    EXPECT_EQ(notify(c, first, 0), 3u);     // the expired one is gone: a new id
    EXPECT_EQ(next_closed(c, 500ms), std::make_pair(0u, 0u));

    DBusMessagePtr close(dbus_message_new_method_call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                      "org.freedesktop.Notifications", "CloseNotification"));
    dbus_uint32_t id = kept;
    dbus_message_append_args(close.get(), DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
    DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(c, close.get(), 5000, nullptr));
    EXPECT_TRUE(reply);
    EXPECT_EQ(next_closed(c, 5s), std::make_pair(kept, 3u));  // closed by the call
    EXPECT_EQ(session.notifications().size(), 4u);
    close_private_connection(c);
}

TEST(DesktopSession, TwoSessionsRunSideBySideAndStopLeavesNothingRunning) {
    DesktopSession a, b;
    ASSERT_EQ(a.start(), 0);
    ASSERT_EQ(b.start(), 0);
    EXPECT_NE(a.display(), b.display());
    EXPECT_NE(a.home(), b.home());
    EXPECT_NE(a.session_bus_address(), b.session_bus_address());
    ASSERT_EQ(a.gconf_set_bool("/apps/kvtest/only_in_a", true), 0);
    EXPECT_EQ(a.gconf_get("/apps/kvtest/only_in_a"), "true");
    EXPECT_EQ(b.gconf_get("/apps/kvtest/only_in_a"), "");

    const auto in_a = session_processes(a);
    const auto in_b = session_processes(b);
    for (const char* name : {"Xvfb", "trayer", "dbus-daemon", "gconfd-2"})
        EXPECT_TRUE(names_of(in_a).count(name)) << name;
    EXPECT_TRUE(names_of(in_b).count("gconfd-2"));

    a.stop();
    a.stop();
    EXPECT_EQ(b.gconf_get("/apps/kvtest/only_in_a"), "");
    const auto b_now = session_processes(b);
    EXPECT_TRUE(names_of(b_now).count("gconfd-2")) << "stopping one session stopped the other's daemon";
    b.stop();
    std::this_thread::sleep_for(100ms);
    for (const auto* processes : {&in_a, &in_b}) {
        for (const auto& [pid, name] : *processes) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text;
            std::getline(stat, text);
            const bool gone = text.empty() || text.find(") Z") != std::string::npos;
            EXPECT_TRUE(gone) << name << " (" << pid << ") survived stop()";
        }
    }
}

}  // namespace
}  // namespace kv::test
