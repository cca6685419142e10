// The tray's views end to end: the real tray (its test-only build that
// reports its windows over the session bus) in a headless desktop session
// with the recording notification server, driven by the simulated agent's
// broadcasts and HostCache files. Checks the notifications as the server
// recorded them, the rows of the details window's pages as shown, sorting,
// the icon colour, and the About window.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client_impl.hpp"
#include "dbus_handles.hpp"
#include "desktop_session.hpp"
#include "json_fields.hpp"
#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"

namespace {

using namespace std::chrono_literals;
namespace svc = kv::svc;
using kv::test::RecordedNotification;

[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

// The tray under the emulator starts and works far more slowly.
const auto kTimeout = kv::test::emulator_prefix().empty() ? 30s : 180s;

constexpr char kHostCache[] = "/opt/korvane/HostCache";
constexpr char kDesktopDir[] = "/opt/korvane/desktop";

// The catalogue the tray is given: a few entries, so a text is either one
// of these or its msgid.
constexpr const char* kCatalogue[][2] = {
    {"NotificationMessageChangeActionBlocked", "A change to %s was blocked"},
    {"NotificationMessageExecutionActionBlocked", "Running %s was blocked"},
    {"NotificationMessageUnsafesQuarantined", "%s threats found, quarantined"},
    {"NotificationMessageUnsafesDetected", "%s unsafe files found"},
    {"NotificationMessageUnsafeDetected", "Unsafe file %s found"},
    // A broken entry: two conversions where one is passed.
    {"NotificationMessageAbnormalDetected", "%s and %s"},
    {"Version", "Version"},
};

std::string file_text(const std::string& path) { return kv::test::read_text_file(path); }

void write_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    std::ofstream(tmp, std::ios::binary) << text;
    ASSERT_EQ(::rename(tmp.c_str(), path.c_str()), 0);
}

void hostcache_write(const char* name, const std::string& text) {
    write_file(std::string(kHostCache) + "/" + name, text);
}

// JSON helpers over json-c, for the widget report's answers.
struct Json {
    svc::JsonPtr root;
    json_object* get() const { return root.get(); }
};

json_object* member(json_object* o, const char* name) {
    json_object* v = nullptr;
    return o != nullptr && json_object_object_get_ex(o, name, &v) ? v : nullptr;
}

std::string text(json_object* o) { return o != nullptr ? json_object_get_string(o) : ""; }

using Rows = std::vector<std::vector<std::string>>;

Rows rows_of(json_object* list) {
    Rows out;
    json_object* rows = member(list, "rows");
    for (std::size_t i = 0; rows != nullptr && i < json_object_array_length(rows); ++i) {
        json_object* row = json_object_array_get_idx(rows, i);
        std::vector<std::string> cells;
        for (std::size_t c = 0; c < json_object_array_length(row); ++c)
            cells.push_back(text(json_object_array_get_idx(row, c)));
        out.push_back(cells);
    }
    return out;
}

class TrayViewsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kv::test::in_test_namespace()); }

    void TearDown() override {
        if (tray_.pid() > 0) {
            const int status = tray_.stop(kTimeout);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            // A sanitizer build reports what it found at exit.
            const std::string log = file_text(dir_.file("tray.log"));
            EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log.substr(log.find("Sanitizer") - 200);
            EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
        }
        sim_.stop();
        kv::close_private_connection(session_);
        session_ = nullptr;
        if (desktop_ != nullptr)
            desktop_->stop();
        svc::stopServiceClient();
    }

    // Desktop, simulated agent with `scenario` (none when empty), the tray.
    void start(const std::string& scenario, std::vector<std::string> capabilities = {"body", "actions"},
               bool agent_first = true, bool shipped_catalogue = false) {
        kv::test::DesktopOptions options;
        options.notification_capabilities = std::move(capabilities);
        desktop_ = std::make_unique<kv::test::DesktopSession>(options);
        ASSERT_EQ(desktop_->start(), 0);
        install_desktop_files(shipped_catalogue);
        ASSERT_EQ(::mkdir(kHostCache, 0755) == 0 || errno == EEXIST, true);
        if (agent_first)
            start_agent(scenario);
        start_tray();
        if (agent_first)
            wait_listening();
    }

    // The tray's service listener subscribes on a thread of its own: until
    // a broadcast that changes nothing is seen to arrive, others may be lost.
    void wait_listening() {
        ASSERT_TRUE(kv::test::wait_until(
            [&] {
                broadcast("com.korvane.logupload_idle");
                return file_text(dir_.file("tray.log")).find("received notification from service") !=
                       std::string::npos;
            },
            kTimeout, 200ms));
    }

    void install_desktop_files(bool shipped_catalogue) {
        ASSERT_EQ(::system(("mkdir -p " + std::string(kDesktopDir) + "/locales/en/LC_MESSAGES").c_str()), 0);
        // Images: the project's own when built, else solid colours.
        const std::string stage = KV_DESKTOP_STAGE;
        struct stat st {};
        if (!stage.empty() && ::stat((stage + "/icon_red.png").c_str(), &st) == 0) {
            ASSERT_EQ(::system(("cp " + stage + "/*.png " + kDesktopDir + "/").c_str()), 0);
        } else {
            const char* images[][2] = {{"icon_green.png", "#1a9c3a"}, {"icon_yellow.png", "#e8b400"},
                                       {"icon_red.png", "#d01f1f"},   {"korvaneui.png", "#2050a0"},
                                       {"guard.png", "#2050a0"},      {"help.png", "#606060"}};
            for (const auto& [name, colour] : images) {
                const std::string cmd = std::string("convert -size 22x22 xc:'") + colour + "' " + kDesktopDir + "/" +
                                        name;
                ASSERT_EQ(::system(cmd.c_str()), 0) << cmd;
            }
        }
        if (shipped_catalogue) {
            ASSERT_EQ(::system(("cp " + stage + "/locales/en/LC_MESSAGES/korvane.mo " + kDesktopDir +
                                "/locales/en/LC_MESSAGES/").c_str()),
                      0);
            return;
        }
        std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
        for (const auto& [id, str] : kCatalogue)
            po += std::string("\nmsgid \"") + id + "\"\nmsgstr \"" + str + "\"\n";
        write_file(dir_.file("korvane.po"), po);
        const std::string cmd = "msgfmt -o " + std::string(kDesktopDir) + "/locales/en/LC_MESSAGES/korvane.mo " +
                                dir_.file("korvane.po");
        ASSERT_EQ(::system(cmd.c_str()), 0);
    }

    void start_agent(const std::string& scenario) {
        std::vector<std::string> argv{KV_AGENT_SIM, "--state-dir", kHostCache};
        char self[PATH_MAX];
        ASSERT_NE(::realpath("/proc/self/exe", self), nullptr);
        argv.insert(argv.end(), {"--trust", self, "--trust", KV_TRAY});
        const auto emulator = kv::test::emulator_prefix();
        if (!emulator.empty())
            argv.insert(argv.end(), {"--trust", emulator.front()});
        if (!scenario.empty())
            argv.insert(argv.end(), {"--scenario", scenario});
        kv::test::RunOptions options;
        options.built_program = true;
        ASSERT_TRUE(sim_.start(argv, options));
        ASSERT_TRUE(kv::test::wait_until([] { return command(R"({ "CMD_":"SIMP" })"); }, kTimeout));
    }

    void start_tray() {
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" >" + dir_.file("tray.log") + " 2>&1", "sh"};
        for (const auto& e : kv::test::emulator_prefix())
            argv.push_back(e);
        argv.insert(argv.end(), {KV_TRAY, "--verbose"});
        kv::test::RunOptions options;
        options.extra_env = desktop_->child_env();
        options.extra_env.insert(options.extra_env.end(),
                                 {"LANG=C.UTF-8", "LANGUAGE=en", "LSAN_OPTIONS=suppressions=" KV_LSAN_SUPPRESSIONS});
        ASSERT_TRUE(tray_.start(argv, options));
        DBusError error;
        dbus_error_init(&error);
        session_ = dbus_connection_open_private(desktop_->session_bus_address().c_str(), &error);
        ASSERT_NE(session_, nullptr) << error.message;
        ASSERT_TRUE(dbus_bus_register(session_, &error)) << error.message;
        ASSERT_TRUE(kv::test::wait_until([this] { return dbus_bus_name_has_owner(session_, kWidgets, nullptr); },
                                         kTimeout, 50ms))
            << file_text(dir_.file("tray.log"));
    }

    static bool command(const std::string& text) {
        char reply[svc::kReplyBufferSize] = {};
        return svc::sendMessageToService(text.c_str(), reply) && svc::isReplyOk(reply);
    }
    static void broadcast(const char* name) {
        ASSERT_TRUE(command(std::string(R"({ "CMD_":"SIMB", "NAME":")") + name + "\" }")) << name;
    }

    // A method of the tray (its own interface) or of the widget report; the
    // reply's string, "" without one, "<error>" on an error reply.
    std::string call(const char* destination, const char* path, const char* interface, const char* method,
                     const std::vector<std::pair<int, std::string>>& args = {}) {
        kv::DBusMessagePtr m{dbus_message_new_method_call(destination, path, interface, method)};
        for (const auto& [type, value] : args) {
            if (type == DBUS_TYPE_STRING) {
                const char* s = value.c_str();
                dbus_message_append_args(m.get(), DBUS_TYPE_STRING, &s, DBUS_TYPE_INVALID);
            } else {
                const dbus_int32_t i = std::stoi(value);
                dbus_message_append_args(m.get(), DBUS_TYPE_INT32, &i, DBUS_TYPE_INVALID);
            }
        }
        DBusError error;
        dbus_error_init(&error);
        kv::DBusMessagePtr reply{dbus_connection_send_with_reply_and_block(
            session_, m.get(), static_cast<int>(std::chrono::milliseconds(kTimeout).count()), &error)};
        if (reply == nullptr) {
            dbus_error_free(&error);
            return "<error>";
        }
        DBusMessageIter it;
        if (!dbus_message_iter_init(reply.get(), &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING)
            return "";
        const char* s = nullptr;
        dbus_message_iter_get_basic(&it, &s);
        return s;
    }
    std::string tray(const char* method, const std::vector<std::pair<int, std::string>>& args = {}) {
        return call("com.korvane.guard", "/com/korvane/guard/ui", "com.korvane.guard.ui", method, args);
    }
    std::string widgets(const char* method, const std::vector<std::pair<int, std::string>>& args = {}) {
        return call(kWidgets, "/widgets", kWidgets, method, args);
    }

    // The toplevel window named `name` as the widget report describes it
    // (null when there is none), kept alive in `last_`.
    json_object* window(const char* name) {
        last_.root = svc::json_parse_text(widgets("describe").c_str());
        json_object* windows = member(last_.get(), "windows");
        for (std::size_t i = 0; windows != nullptr && i < json_object_array_length(windows); ++i) {
            json_object* w = json_object_array_get_idx(windows, i);
            if (text(member(w, "name")) == name)
                return w;
        }
        return nullptr;
    }
    Rows page_rows(int page) {
        json_object* lists = member(window("korvaneui_main"), "lists");
        if (lists == nullptr || static_cast<int>(json_object_array_length(lists)) <= page)
            return {};
        return rows_of(json_object_array_get_idx(lists, static_cast<std::size_t>(page)));
    }
    std::string analyzed_count() {
        // The label after "HPS_AnalyzedFiles" on the Threats page (or its
        // shipped translation).
        json_object* labels = member(window("korvaneui_main"), "labels");
        for (std::size_t i = 0; labels != nullptr && i + 1 < json_object_array_length(labels); ++i) {
            const std::string label = text(json_object_array_get_idx(labels, i));
            if (label == "HPS_AnalyzedFiles" || label == "Analyzed files:")
                return text(json_object_array_get_idx(labels, i + 1));
        }
        return "<none>";
    }
    bool has_label(const std::string& wanted) {
        json_object* labels = member(window("korvaneui_main"), "labels");
        for (std::size_t i = 0; labels != nullptr && i < json_object_array_length(labels); ++i) {
            if (text(json_object_array_get_idx(labels, i)) == wanted)
                return true;
        }
        return false;
    }
    bool wait_rows(int page, std::size_t count) {
        return kv::test::wait_until([&] { return page_rows(page).size() == count; }, kTimeout, 100ms);
    }
    // Every refresh queued before has been applied once a later one that
    // sets the analysed-file count to a new value shows (they run in order).
    // Its mask keeps the list bits, as the agent's would: an earlier refresh
    // may read this header instead of its own.
    void settle() {
        static int n = 90000;
        ++n;
        hostcache_write("analysis_count.log", "{ \"AnalyzedCount\": " + std::to_string(n) + " }");
        hostcache_write("header.log", R"({ "MessageMask": 1045 })");
        broadcast("com.korvane.timer.aggregated_messages");
        ASSERT_TRUE(kv::test::wait_until([&] { return analyzed_count() == std::to_string(n); }, kTimeout, 100ms));
    }
    void enable_notifications(bool on) {
        ASSERT_EQ(tray("setShowNotifications", {{DBUS_TYPE_STRING, on ? "true" : "false"}}), "");
        ASSERT_TRUE(kv::test::wait_until([&] { return tray("getShowNotifications") == (on ? "true" : "false"); },
                                         kTimeout));
    }
    // Waits for `count` notifications in all; gives them.
    std::vector<RecordedNotification> notifications(std::size_t count) {
        EXPECT_TRUE(desktop_->wait_notifications(count, kTimeout)) << count;
        return desktop_->notifications();
    }

    static constexpr char kWidgets[] = "com.korvane.guard.widgets";
    kv::test::TempDir dir_{"kvviews"};
    std::unique_ptr<kv::test::DesktopSession> desktop_;
    kv::test::ChildProcess sim_, tray_;
    DBusConnection* session_ = nullptr;
    Json last_;
};

void expect_notification(const RecordedNotification& n, const std::string& summary, const std::string& body) {
    EXPECT_EQ(n.summary, summary);
    EXPECT_EQ(n.body, body);
    EXPECT_EQ(n.app_icon, "important");
    EXPECT_EQ(n.app_name, "KorvaneGUARDUI");
    EXPECT_EQ(n.expire_timeout, 5000);
}

TEST_F(TrayViewsTest, NotificationsOfEverySignalWithTheirRecordFiles) {
    start("details");
    enable_notifications(true);
    const struct {
        const char* signal;
        const char* summary;
        const char* body;   // null: nothing shown
        const char* file;   // written before the broadcast (name, text), or null
        const char* text;
    } cases[] = {
        {"com.korvane.exe.blocked", "NotificationSubtitleExecutionBlock", "/home/alice/Downloads/setup_crack.exe",
         nullptr, nullptr},
        {"com.korvane.process.terminated", "NotificationSubtitleProcessTerminated", "evince (PID 4242)", nullptr,
         nullptr},
        {"com.korvane.process.blocked", "NotificationSubtitleProcessActionBlocked", "/usr/bin/evince", nullptr,
         nullptr},
        {"com.korvane.appcontrol", "NotificationSubtitleActionBlocked", "A change to /etc/cron.d/updater was blocked",
         nullptr, nullptr},
        {"com.korvane.appcontrol", "NotificationSubtitleActionBlocked", "Running /bin/x was blocked",
         "app_control_block.log", R"({ "LockdownPath": "/bin/x", "LockdownPathReason": "2" })"},
        {"com.korvane.appcontrol", "NotificationSubtitleActionBlocked", "Running /bin/y was blocked",
         "app_control_block.log", R"({ "LockdownPath": "/bin/y", "LockdownPathReason": "1" })"},
        {"com.korvane.appcontrol", nullptr, nullptr, "app_control_block.log",
         R"({ "LockdownPath": "/bin/z", "LockdownPathReason": "3" })"},
        {"com.korvane.appcontrol", nullptr, nullptr, "app_control_block.log",
         R"({ "LockdownPath": "/bin/z", "LockdownPathReason": "-1" })"},
        {"com.korvane.appcontrol", nullptr, nullptr, "app_control_block.log",
         R"({ "LockdownPath": "/bin/z", "LockdownPathReason": 1 })"},
        {"com.korvane.exe.blocked", nullptr, nullptr, "exe_blocked.log", "{ \"BlockedExePath\": \"/x\""},
        {"com.korvane.exe.blocked", nullptr, nullptr, "exe_blocked.log", R"({ "Other": "/x" })"},
        {"com.korvane.policy.expired", "NotificationSubtitlePolicyExpired", "NotificationMessagePolicyExpired",
         nullptr, nullptr},
        {"com.korvane.policy.invalidcompanyid", "NotificationSubtitlePolicyInvalidCompanyId",
         "NotificationMessagePolicyInvalidCompanyId", nullptr, nullptr},
        {"com.korvane.policy.invalidsignature", "NotificationSubtitlePolicyInvalidSignature",
         "NotificationMessagePolicyInvalidSignature", nullptr, nullptr},
        {"com.korvane.btdscancomplete", "BTDFinishedScanningTitle", "BTDFinishedScanningMessage", nullptr, nullptr},
        {"com.korvane.logupload_idle", nullptr, nullptr, nullptr, nullptr},
    };
    std::size_t expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.signal) + " " + (c.text != nullptr ? c.text : ""));
        if (c.file != nullptr)
            hostcache_write(c.file, c.text);
        broadcast(c.signal);
        if (c.body == nullptr) {
            // Nothing shown: the next shown notification comes right after.
            broadcast("com.korvane.policy.expired");
            const auto all = notifications(expected + 1);
            ASSERT_EQ(all.size(), expected + 1);
            EXPECT_EQ(all.back().summary, "NotificationSubtitlePolicyExpired");
            ++expected;
            continue;
        }
        const auto all = notifications(expected + 1);
        ASSERT_EQ(all.size(), expected + 1);
        expect_notification(all.back(), c.summary, c.body);
        ++expected;
    }
}

TEST_F(TrayViewsTest, TextsFromFilesAreSanitisedAndEscapedForMarkupServers) {
    start("", {"body", "body-markup", "actions"});
    enable_notifications(true);
    hostcache_write("exe_blocked.log", "{ \"BlockedExePath\": \"/tmp/<b>a&b</b>/\xFF\xFEx.exe\" }");
    broadcast("com.korvane.exe.blocked");
    auto all = notifications(1);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].body, "/tmp/&lt;b&gt;a&amp;b&lt;/b&gt;/\xEF\xBF\xBD\xEF\xBF\xBDx.exe");
    // The translation with two conversions is not used as a format.
    hostcache_write("file_process_events.log",
                    "{ \"/srv/\xC3\x28odd.doc\": { \"When\": \"now\", \"Category\": \"Threat\", \"Event\": 1, "
                    "\"State\": 2 } }");
    hostcache_write("header.log", R"({ "MessageMask": 1024 })");
    broadcast("com.korvane.timer.aggregated_messages");
    all = notifications(2);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].summary, "NotificationSubtitleAbnormalDetected");
    EXPECT_EQ(all[1].body, "NotificationMessageAbnormalDetected");
    ASSERT_TRUE(wait_rows(2, 1));
    EXPECT_EQ(page_rows(2)[0][3], "/srv/\xEF\xBF\xBD(odd.doc");
    EXPECT_EQ(tray_.wait_exit(0ms), false);   // still running
}

TEST_F(TrayViewsTest, DetailsPagesRowsSortingSummaryAndRedIcon) {
    // Start-up reads only the scanner state and the count: lists empty.
    ASSERT_EQ(::mkdir(kHostCache, 0755) == 0 || errno == EEXIST, true);
    hostcache_write("analysis_count.log", R"({ "AnalyzedCount": 5 })");
    hostcache_write("file_states.log", R"({ "/a": { "ID": "AA", "Score": "1", "State": 1 } })");
    start("", {"body", "actions"});
    enable_notifications(true);
    ASSERT_TRUE(kv::test::wait_until([&] { return analyzed_count() == "5"; }, kTimeout));
    EXPECT_EQ(page_rows(0).size(), 0u);
    EXPECT_EQ(page_rows(1).size(), 0u);
    EXPECT_EQ(page_rows(2).size(), 0u);
    EXPECT_EQ(tray("getIconColor"), "yellow");
    ASSERT_TRUE(command(R"({ "CMD_":"SIMS", "SCENARIO":"details" })"));   // writes, then broadcasts
    ASSERT_TRUE(wait_rows(2, 6)) << file_text(dir_.file("tray.log"));
    settle();

    const std::string twice = "5D41402ABC4B2A76B9719D911017C5925D41402ABC4B2A76B9719D911017C592";
    const Rows threats = page_rows(0);
    const Rows want_threats = {
        {"keygen.exe", "Unsafe", "2", twice, "1"},
        {"dropper.bin", "Quarantined", "1", "A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F90", "9"},
        {"quarterly report.docm", "Abnormal", "1", "9E8D7C6B5A4938271605F4E3D2C1B0A99E8D7C6B5A4938271605F4E3D2C1B0A9",
         "2"},
        {"license_keygen", "Waived", "1", "00FF11EE22DD33CC44BB55AA66997788001122334455667788990AABBCCDDEEF", "6"},
    };
    EXPECT_EQ(threats, want_threats);
    const Rows want_exploits = {{"evince", "Terminated", "1", "4242"},
                                {"firefox", "Blocked", "4", "3131"},
                                {"python3", "Alert", "2", "5150"}};
    EXPECT_EQ(page_rows(1), want_exploits);
    const Rows events = page_rows(2);
    ASSERT_EQ(events.size(), 6u);
    const std::vector<std::vector<std::string>> want_events = {
        {"Threat", "EventStrThreat (EventThreatStringFromValueDetected)", "/home/alice/Downloads/keygen.exe"},
        {"Threat", "EventStrThreat (Quarantined)", "/tmp/.cache/dropper.bin"},
        {"Threat", "EventStrThreat (State Change (0))", "/srv/share/quarterly report.docm"},
        {"Exploit", "Blocked",
         "EventStrExploitViolation StackPivot; PID: 3131; EventStrExploitApplication /usr/lib/firefox/firefox"},
        {"AppControl", "Deny Change", "/etc/cron.d/updater"},
        {"AppControl", "Deny Execute", "/usr/local/bin/miner"},
    };
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_FALSE(events[i][0].empty());
        EXPECT_EQ(std::vector<std::string>(events[i].begin() + 1, events[i].end()), want_events[i]) << i;
    }
    // Two Unsafe threat events (one also quarantined) and one Abnormal.
    const auto all = notifications(1);
    ASSERT_EQ(all.size(), 1u);
    expect_notification(all[0], "NotificationSubtitleUnsafesQuarantined", "3 threats found, quarantined");
    EXPECT_EQ(tray("getIconColor"), "red");
    json_object* w = window("korvaneui_main");
    json_object* notebook = json_object_array_get_idx(member(w, "notebooks"), 0);
    ASSERT_NE(notebook, nullptr);
    EXPECT_EQ(text(member(notebook, "tabs")), R"([ "HPS_Threats", "HPS_Exploits", "HPS_Events" ])");

    // Sorting by a column's header: Found ascending, then descending.
    ASSERT_EQ(widgets("clickColumn", {{DBUS_TYPE_STRING, "korvaneui_main"}, {DBUS_TYPE_INT32, "0"},
                                      {DBUS_TYPE_INT32, "2"}}),
              "");
    Rows sorted = page_rows(0);
    ASSERT_EQ(sorted.size(), 4u);
    EXPECT_EQ(sorted.back()[0], "keygen.exe");
    ASSERT_EQ(widgets("clickColumn", {{DBUS_TYPE_STRING, "korvaneui_main"}, {DBUS_TYPE_INT32, "0"},
                                      {DBUS_TYPE_INT32, "2"}}),
              "");
    sorted = page_rows(0);
    EXPECT_EQ(sorted.front()[0], "keygen.exe");
    ASSERT_EQ(widgets("clickColumn", {{DBUS_TYPE_STRING, "korvaneui_main"}, {DBUS_TYPE_INT32, "1"},
                                      {DBUS_TYPE_INT32, "0"}}),
              "");
    EXPECT_EQ(page_rows(1)[0][0], "evince");
    ASSERT_EQ(widgets("clickColumn", {{DBUS_TYPE_STRING, "korvaneui_main"}, {DBUS_TYPE_INT32, "1"},
                                      {DBUS_TYPE_INT32, "3"}}),
              "");
    EXPECT_EQ(page_rows(1)[0][3], "3131");

    // The same bytes again: nothing is reloaded, nothing raised again.
    const std::string events_text = file_text(std::string(kHostCache) + "/file_process_events.log");
    const std::string states_text = file_text(std::string(kHostCache) + "/file_states.log");
    hostcache_write("file_process_events.log", events_text);
    hostcache_write("file_states.log", states_text);
    hostcache_write("header.log", R"({ "MessageMask": 17 })");
    broadcast("com.korvane.timer.aggregated_messages");
    settle();
    EXPECT_EQ(page_rows(2).size(), 6u);
    EXPECT_EQ(desktop_->notifications().size(), 1u);
    // A bad file leaves the lists as they were.
    hostcache_write("file_states.log", states_text.substr(0, states_text.size() / 2));
    hostcache_write("file_process_events.log", "not json");
    hostcache_write("header.log", R"({ "MessageMask": 1 })");
    broadcast("com.korvane.timer.aggregated_messages");
    settle();
    EXPECT_EQ(page_rows(0).size(), 4u);
    EXPECT_EQ(page_rows(2).size(), 6u);
    const std::string log = file_text(dir_.file("tray.log"));
    std::string brief;
    {
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            if (line.find("mask") != std::string::npos || line.find("Unable") != std::string::npos ||
                line.find("Analyzed") != std::string::npos || line.find("error") != std::string::npos)
                brief += line + "\n";
    }
    EXPECT_NE(log.find("Unable to parse '/opt/korvane/HostCache/file_states.log'"), std::string::npos) << brief;
    EXPECT_NE(log.find("Unable to parse '/opt/korvane/HostCache/file_process_events.log'"), std::string::npos);
    // One byte changed: the events are read again and appended.
    hostcache_write("file_process_events.log", events_text + " ");
    hostcache_write("file_states.log", states_text);
    hostcache_write("header.log", R"({ "MessageMask": 1 })");
    broadcast("com.korvane.timer.aggregated_messages");
    ASSERT_TRUE(wait_rows(2, 12));
    // The threat list is rebuilt, not appended to (sorted by Found, descending).
    EXPECT_EQ(page_rows(0).size(), 4u);
    EXPECT_EQ(notifications(2).size(), 2u);
    // The Unsafe threat that held the icon red is gone, but the counter stays.
    hostcache_write("file_states.log", R"({ "/x/waived": { "ID": "AB", "Score": "0", "State": 4 } })");
    hostcache_write("header.log", R"({ "MessageMask": 1 })");
    broadcast("com.korvane.timer.aggregated_messages");
    ASSERT_TRUE(wait_rows(0, 1));
    // Idle takes the red away (green, or yellow while the policy's mode is
    // not known); the next refresh makes it red again.
    broadcast("com.korvane.agent.started");
    ASSERT_TRUE(kv::test::wait_until([&] { return tray("getIconColor") != "red"; }, kTimeout));
    settle();
    EXPECT_EQ(tray("getIconColor"), "red");

    // ScannerState 1 ends Inspecting.
    hostcache_write("analyzer_statusB.log", R"({ "CurrentFile": "/home/alice/big.iso" })");
    broadcast("com.korvane.analyerstatus_messages");
    // ("Running" when the status line's last refresh was 5 s or more ago.)
    ASSERT_TRUE(kv::test::wait_until(
        [&] { return has_label("Inspecting /home/alice/big.iso") || has_label("Running"); }, kTimeout));
    hostcache_write("scanner_state.log", R"({ "ScannerState": 1 })");
    hostcache_write("header.log", R"({ "MessageMask": 2 })");
    broadcast("com.korvane.timer.aggregated_messages");
    EXPECT_TRUE(kv::test::wait_until([&] { return has_label("Idle"); }, kTimeout));
}

TEST_F(TrayViewsTest, NoNotificationsWhenOffWhileListsAndIconChange) {
    start("", {"body", "actions"});
    enable_notifications(false);
    hostcache_write("exe_blocked.log", R"({ "BlockedExePath": "/bin/blocked" })");
    broadcast("com.korvane.exe.blocked");
    ASSERT_TRUE(command(R"({ "CMD_":"SIMS", "SCENARIO":"details" })"));
    ASSERT_TRUE(wait_rows(2, 6));
    settle();
    EXPECT_EQ(tray("getIconColor"), "red");
    enable_notifications(true);
    broadcast("com.korvane.btdscancomplete");
    const auto all = notifications(1);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].summary, "BTDFinishedScanningTitle");
}

TEST_F(TrayViewsTest, AboutWindowIsASnapshotPresentedUntilClosed) {
    start("", {"body", "actions"}, /*agent_first=*/false);   // no policy known yet
    ASSERT_EQ(tray("showAboutWindow"), "");
    json_object* about = nullptr;
    ASSERT_TRUE(kv::test::wait_until([&] { return (about = window("AboutWindowName")) != nullptr; }, kTimeout));
    EXPECT_EQ(text(member(about, "title")), "AboutWindowTitle");
    EXPECT_TRUE(json_object_get_boolean(member(about, "has_icon")));
    const std::string first_id = text(member(about, "id"));
    EXPECT_EQ(text(member(about, "labels")), R"([ "Version 3.1.1000.340" ])");

    // The agent starts: Idle asks it for the policy. The open window is
    // presented again, unchanged.
    start_agent("");
    wait_listening();
    broadcast("com.korvane.agent.started");
    settle();
    ASSERT_EQ(tray("showAboutWindow"), "");
    about = window("AboutWindowName");
    EXPECT_EQ(text(member(about, "id")), first_id);
    EXPECT_EQ(text(member(about, "labels")), R"([ "Version 3.1.1000.340" ])");

    // Closed and opened again: a new window, with the policy lines once the
    // answer is in.
    const std::string want =
        R"x([ "Version 3.1.1000.340", "AboutPolicy Default Policy (Local Policy)", "AboutPolicyLastUpdated 2026-12-01 08:00:00" ])x";
    std::string id;
    ASSERT_TRUE(kv::test::wait_until(
        [&] {
            EXPECT_EQ(widgets("closeWindow", {{DBUS_TYPE_STRING, "AboutWindowName"}}), "");
            EXPECT_TRUE(kv::test::wait_until([&] { return window("AboutWindowName") == nullptr; }, kTimeout));
            EXPECT_EQ(tray("showAboutWindow"), "");
            EXPECT_TRUE(kv::test::wait_until([&] { return (about = window("AboutWindowName")) != nullptr; }, kTimeout));
            id = text(member(about, "id"));
            return text(member(about, "labels")) == want;
        },
        kTimeout, 500ms));
    ASSERT_EQ(tray("showAboutWindow"), "");
    settle();
    EXPECT_EQ(text(member(window("AboutWindowName"), "id")), id);
}

// What a user sees at 1024x768, with the shipped images and catalogue: the
// details window on each page and the About window, saved for a look.
TEST_F(TrayViewsTest, ScreenshotsOfTheDetailsWindowAndAboutWindow) {
    start("details", {"body", "actions"}, true, /*shipped_catalogue=*/true);
    ASSERT_TRUE(command(R"({ "CMD_":"SIMS", "SCENARIO":"details" })"));
    ASSERT_EQ(tray("showDetailsWindow"), "");
    ASSERT_TRUE(kv::test::wait_until(
        [&] { return json_object_get_boolean(member(window("korvaneui_main"), "visible")); }, kTimeout));
    ASSERT_TRUE(wait_rows(2, 6));
    broadcast("com.korvane.agent.started");
    settle();
    ASSERT_EQ(::system(("mkdir -p " + std::string(KV_SCREENSHOT_DIR)).c_str()), 0);
    const char* pages[] = {"threats", "exploits", "events"};
    for (int page = 0; page < 3; ++page) {
        ASSERT_EQ(widgets("showPage", {{DBUS_TYPE_STRING, "korvaneui_main"}, {DBUS_TYPE_INT32, std::to_string(page)}}),
                  "");
        settle();
        const std::string png = std::string(KV_SCREENSHOT_DIR) + "/details_" + pages[page] + ".png";
        ASSERT_EQ(desktop_->screenshot(png), 0) << png;
        std::cout << "screenshot: " << png << "\n";
    }
    ASSERT_EQ(tray("showAboutWindow"), "");
    // The shipped catalogue names the window.
    const std::string about = "korvaneui_about";
    ASSERT_TRUE(kv::test::wait_until([&] { return window(about.c_str()) != nullptr; }, kTimeout));
    ASSERT_EQ(widgets("moveWindow", {{DBUS_TYPE_STRING, about}, {DBUS_TYPE_INT32, "300"}, {DBUS_TYPE_INT32, "550"},
                                     {DBUS_TYPE_INT32, "0"}, {DBUS_TYPE_INT32, "0"}}),
              "");
    settle();
    const std::string png = std::string(KV_SCREENSHOT_DIR) + "/about.png";
    ASSERT_EQ(desktop_->screenshot(png), 0);
    std::cout << "screenshot: " << png << "\n";
}

}  // namespace
