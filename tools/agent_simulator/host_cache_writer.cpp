// HostCache scenarios and threat actions, written with json-c (member order
// is kept as inserted, so the files list records in a stable order).
#include "host_cache_writer.hpp"

#include <json-c/json.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>

#include "agent_state.hpp"
#include "json_fields.hpp"

namespace kv::sim {
namespace {

constexpr std::int64_t kUnsafe = 1, kAbnormal = 2, kWaived = 4, kQuarantined = 8;
constexpr std::int64_t kEventQuarantined = 2, kEventWaived = 4, kEventStateChange = 16;

int write_json(const std::string& path, json_object* value) {
    return write_file_atomically(path, json_object_to_json_string_ext(value, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE));
}

json_object* file_record(const char* id, const char* score, std::int64_t state) {
    json_object* r = json_object_new_object();
    json_object_object_add(r, "ID", json_object_new_string(id));
    json_object_object_add(r, "Score", json_object_new_string(score));
    json_object_object_add(r, "State", json_object_new_int64(state));
    return r;
}

int write_header(const std::string& dir, std::int64_t mask) {
    const svc::JsonPtr header{json_object_new_object()};
    json_object_object_add(header.get(), "MessageMask", json_object_new_int64(mask));
    return write_json(dir + "/header.log", header.get());
}

json_object* exploit_record(const char* path, std::int64_t pid, std::int64_t state, std::int64_t count) {
    json_object* p = json_object_new_object();
    json_object_object_add(p, "Path", json_object_new_string(path));
    json_object_object_add(p, "PID", json_object_new_int64(pid));
    json_object_object_add(p, "State", json_object_new_int64(state));
    json_object_object_add(p, "Count", json_object_new_int64(count));
    return p;
}

json_object* event(const std::string& when, const char* category, std::int64_t value) {
    json_object* r = json_object_new_object();
    json_object_object_add(r, "When", json_object_new_string(when.c_str()));
    json_object_object_add(r, "Category", json_object_new_string(category));
    json_object_object_add(r, "Event", json_object_new_int64(value));
    return r;
}

json_object* threat_event(const std::string& when, std::int64_t value, std::int64_t state) {
    json_object* r = event(when, "Threat", value);
    json_object_object_add(r, "State", json_object_new_int64(state));
    return r;
}

json_object* exploit_event(const std::string& when, std::int64_t action, const char* path, std::int64_t item_type,
                           std::int64_t pid) {
    json_object* r = event(when, "Exploit", action);
    json_object_object_add(r, "Path", json_object_new_string(path));
    json_object_object_add(r, "ItemType", json_object_new_int64(item_type));
    json_object_object_add(r, "PID", json_object_new_int64(pid));
    return r;
}

int write_record(const std::string& path, const char* field, const char* value) {
    const svc::JsonPtr record{json_object_new_object()};
    json_object_object_add(record.get(), field, json_object_new_string(value));
    return write_json(path, record.get());
}

// The files the notification broadcasts name: a blocked execution, a
// terminated and a blocked process, an application-control block.
int write_notice_records(const std::string& dir) {
    if (const int r = write_record(dir + "/exe_blocked.log", "BlockedExePath", "/home/alice/Downloads/setup_crack.exe");
        r < 0)
        return r;
    if (const int r = write_record(dir + "/process_terminated.log", "ProcessTerminated", "evince (PID 4242)"); r < 0)
        return r;
    if (const int r = write_record(dir + "/process_blocked.log", "ProcessActionBlocked", "/usr/bin/evince"); r < 0)
        return r;
    const svc::JsonPtr app{json_object_new_object()};
    json_object_object_add(app.get(), "LockdownPath", json_object_new_string("/etc/cron.d/updater"));
    json_object_object_add(app.get(), "LockdownPathReason", json_object_new_string("0"));
    return write_json(dir + "/app_control_block.log", app.get());
}

int write_sample(const std::string& dir) {
    const std::string when = now_text();
    const svc::JsonPtr files{json_object_new_object()};
    json_object_object_add(files.get(), "/home/alice/Downloads/invoice_2026.pdf.exe",
                           file_record("3F2A9C1E5B7D4A60C8E1F2B3A4D5C6E7F8091A2B3C4D5E6F708192A3B4C5D6E7", "-0.92",
                                       kUnsafe));
    json_object_object_add(files.get(), "/tmp/.cache/dropper.bin",
                           file_record("A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F90", "-0.99",
                                       kUnsafe | kQuarantined));
    json_object_object_add(files.get(), "/opt/tools/license_keygen",
                           file_record("00FF11EE22DD33CC44BB55AA66997788001122334455667788990AABBCCDDEEF", "-0.51",
                                       kUnsafe | kWaived));
    json_object_object_add(files.get(), "/srv/share/quarterly report.docm",
                           file_record("9E8D7C6B5A4938271605F4E3D2C1B0A99E8D7C6B5A4938271605F4E3D2C1B0A9", "-0.73",
                                       kAbnormal));
    if (const int r = write_json(dir + "/file_states.log", files.get()); r < 0)
        return r;

    const svc::JsonPtr processes{json_object_new_object()};
    json_object_object_add(processes.get(), "1", exploit_record("/usr/bin/evince", 4242, 3, 1));
    if (const int r = write_json(dir + "/process_states.log", processes.get()); r < 0)
        return r;

    const svc::JsonPtr events{json_object_new_object()};
    json_object_object_add(events.get(), "/tmp/.cache/dropper.bin",
                           threat_event(when, kEventQuarantined, kUnsafe | kQuarantined));
    json_object_object_add(events.get(), "/usr/bin/evince", exploit_event(when, 3, "/usr/bin/evince", 2, 4242));
    if (const int r = write_json(dir + "/file_process_events.log", events.get()); r < 0)
        return r;

    const svc::JsonPtr scanner{json_object_new_object()};
    json_object_object_add(scanner.get(), "ScannerState", json_object_new_int64(0));
    if (const int r = write_json(dir + "/scanner_state.log", scanner.get()); r < 0)
        return r;
    const svc::JsonPtr count{json_object_new_object()};
    json_object_object_add(count.get(), "AnalyzedCount", json_object_new_int64(1234));
    if (const int r = write_json(dir + "/analysis_count.log", count.get()); r < 0)
        return r;
    if (const int r = write_notice_records(dir); r < 0)
        return r;
    return write_header(dir, 0x1 | 0x2 | 0x4 | 0x10);
}

// Every case the details window must tell apart: a file found twice, a
// running Unsafe file, Unsafe and Quarantined, Running alone and no state
// (not listed); an ignored exploit action and one seen twice; each event
// category, an event the window cannot name and one it does not list.
int write_details(const std::string& dir) {
    const std::string when = now_text();
    const svc::JsonPtr files{json_object_new_object()};
    const char* twice = "5D41402ABC4B2A76B9719D911017C5925D41402ABC4B2A76B9719D911017C592";
    json_object_object_add(files.get(), "/home/alice/Downloads/keygen.exe", file_record(twice, "-0.95", kUnsafe | 16));
    json_object_object_add(files.get(), "/media/usb/keygen.exe", file_record(twice, "-0.95", kUnsafe));
    json_object_object_add(files.get(), "/tmp/.cache/dropper.bin",
                           file_record("A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F90", "-0.99",
                                       kUnsafe | kQuarantined));
    json_object_object_add(files.get(), "/srv/share/quarterly report.docm",
                           file_record("9E8D7C6B5A4938271605F4E3D2C1B0A99E8D7C6B5A4938271605F4E3D2C1B0A9", "-0.73",
                                       kAbnormal));
    json_object_object_add(files.get(), "/opt/tools/license_keygen",
                           file_record("00FF11EE22DD33CC44BB55AA66997788001122334455667788990AABBCCDDEEF", "-0.51",
                                       kAbnormal | kWaived));
    json_object_object_add(files.get(), "/usr/bin/only_running",
                           file_record("1111111111111111111111111111111111111111111111111111111111111111", "0.1", 16));
    json_object_object_add(files.get(), "/usr/bin/no_state",
                           file_record("2222222222222222222222222222222222222222222222222222222222222222", "0.1", 0));
    if (const int r = write_json(dir + "/file_states.log", files.get()); r < 0)
        return r;

    const svc::JsonPtr processes{json_object_new_object()};
    json_object_object_add(processes.get(), "1", exploit_record("/usr/bin/evince", 4242, 3, 1));
    json_object_object_add(processes.get(), "2", exploit_record("/usr/lib/firefox/firefox", 3131, 2, 4));
    json_object_object_add(processes.get(), "3", exploit_record("/usr/lib/firefox/firefox", 3131, 2, 4));
    json_object_object_add(processes.get(), "4", exploit_record("/usr/bin/xterm", 77, 1, 9));
    json_object_object_add(processes.get(), "5", exploit_record("/usr/bin/python3", 5150, 0, 2));
    if (const int r = write_json(dir + "/process_states.log", processes.get()); r < 0)
        return r;

    const svc::JsonPtr events{json_object_new_object()};
    json_object_object_add(events.get(), "/home/alice/Downloads/keygen.exe", threat_event(when, 1, kUnsafe));
    json_object_object_add(events.get(), "/tmp/.cache/dropper.bin",
                           threat_event(when, kEventStateChange, kUnsafe | kQuarantined));
    json_object_object_add(events.get(), "/srv/share/quarterly report.docm", threat_event(when, 0, kAbnormal));
    json_object_object_add(events.get(), "firefox", exploit_event(when, 2, "/usr/lib/firefox/firefox", 1, 3131));
    json_object_object_add(events.get(), "/etc/cron.d/updater", event(when, "AppControl", 0));
    json_object_object_add(events.get(), "/usr/local/bin/miner", event(when, "AppControl", 1));
    json_object_object_add(events.get(), "/var/log/other", event(when, "Telemetry", 1));
    if (const int r = write_json(dir + "/file_process_events.log", events.get()); r < 0)
        return r;
    const svc::JsonPtr count{json_object_new_object()};
    json_object_object_add(count.get(), "AnalyzedCount", json_object_new_int64(48213));
    if (const int r = write_json(dir + "/analysis_count.log", count.get()); r < 0)
        return r;
    if (const int r = write_notice_records(dir); r < 0)
        return r;
    return write_header(dir, 0x1 | 0x4 | 0x10);
}

int write_empty(const std::string& dir) {
    const svc::JsonPtr empty{json_object_new_object()};
    for (const char* name : {"/file_states.log", "/process_states.log", "/file_process_events.log"}) {
        if (const int r = write_json(dir + name, empty.get()); r < 0)
            return r;
    }
    return write_header(dir, 0x1 | 0x10);
}

}  // namespace

int write_scenario(const std::string& dir, const std::string& name) {
    if (name == "sample")
        return write_sample(dir);
    if (name == "empty")
        return write_empty(dir);
    if (name == "details")
        return write_details(dir);
    return -EINVAL;
}

int apply_threat_action(const std::string& dir, ThreatAction action, const std::string& id) {
    const std::string states_path = dir + "/file_states.log";
    const svc::JsonPtr files{json_object_from_file(states_path.c_str())};
    if (files == nullptr || !json_object_is_type(files.get(), json_type_object))
        return -ENOENT;
    json_object_object_foreach(files.get(), path, record) {
        std::string record_id;
        if (!json_object_is_type(record, json_type_object) ||
            svc::json_get_string(record, "ID", &record_id) != 0 || strcasecmp(record_id.c_str(), id.c_str()) != 0)
            continue;
        std::int64_t state = 0;
        (void)svc::json_get_int64(record, "State", &state);
        state = action == ThreatAction::quarantine ? (state & ~kWaived) | kQuarantined
                                                   : (state & ~kQuarantined) | kWaived;
        json_object_object_add(record, "State", json_object_new_int64(state));
        if (const int r = write_json(states_path, files.get()); r < 0)
            return r;
        const svc::JsonPtr events{json_object_new_object()};
        const std::int64_t event = (action == ThreatAction::quarantine ? kEventQuarantined : kEventWaived) |
                                   kEventStateChange;
        json_object_object_add(events.get(), path, threat_event(now_text(), event, state));
        if (const int r = write_json(dir + "/file_process_events.log", events.get()); r < 0)
            return r;
        return write_header(dir, 0x1);
    }
    return -ENOENT;
}

}  // namespace kv::sim
