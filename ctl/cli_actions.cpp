// korvanectl's actions and their exact output lines.
#include "cli_actions.hpp"

#include <libintl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "cli_report.hpp"
#include "client_impl.hpp"
#include "host_cache.hpp"
#include "json_fields.hpp"
#include "record_scan.hpp"

namespace kv::ctl {
namespace {

constexpr std::size_t kPolicyBufferSize = 256;
constexpr std::size_t kFileIdLength = 64;

bool is_file_id(const char* id) {
    if (std::strlen(id) != kFileIdLength)
        return false;
    for (const char* p = id; *p != '\0'; ++p) {
        const char c = *p;
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// File paths and IDs come from a state file: on a terminal, control bytes
// must not move the cursor or forge lines. Redirected output stays exact.
std::string for_terminal(const char* text, bool terminal) {
    std::string out(text);
    if (terminal) {
        for (char& c : out) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f)
                c = '?';
        }
    }
    return out;
}

// The state word through the message catalogue, looked up once per word.
const char* translated_state_label(std::uint32_t state) {
    struct Entry {
        const char* label;
        const char* translated;
    };
    static Entry cache[5] = {};
    const char* label = svc::state_label(state);
    for (Entry& e : cache) {
        if (e.label == label)
            return e.translated;
        if (e.label == nullptr) {
            e = {label, gettext(label)};
            return e.translated;
        }
    }
    return gettext(label);
}

}  // namespace

bool check_root() {
    if (geteuid() == 0)
        return true;
    std::fputs("error: root privileges required\n", stderr);
    return false;
}

namespace {

// The root check of one action: in JSON its refusal is that action's result.
bool check_root_for(ActionResult& result) {
    if (output_mode() == OutputMode::text)
        return check_root();
    if (geteuid() == 0)
        return true;
    result.failure("not_root", "error: root privileges required\n");
    return false;
}

// The result of an action that sends one request and reports success or failure.
void report_request(const char* action, bool ok, const char* done, const char* failed) {
    ActionResult result(action);
    if (ok)
        result.success(done);
    else
        result.failure("failure", failed);
}

}  // namespace

bool threat_id_known(const char* id) {
    struct Search {
        const char* id;
        bool known;
    } search{id, false};
    (void)svc::scan_collection_file(
        svc::kFileStatesPath,
        [](void* context, const char*, const json_object* record) {
            auto* s = static_cast<Search*>(context);
            std::string record_id;
            s->known = svc::json_get_string(record, "ID", &record_id) == 0 && strcasecmp(record_id.c_str(), s->id) == 0;
            return !s->known;
        },
        &search);
    return search.known;
}

void action_status() {
    char policy[kPolicyBufferSize] = {};
    std::size_t size = sizeof policy;
    bool notify = false, local = false;
    ActionResult result("status");
    if (svc::getPolicyInfo(policy, &size, &notify, &local) && policy[0] != '\0')
        result.add("policy", policy).success(format_text("Policy: %s\n", policy));
    else
        result.quiet("failure");   // the text line is no line at all
}

void action_check_updates() {
    const bool ok = svc::requestUpdateCheck();
    if (ok)
        (void)sleep(1);
    report_request("check_updates", ok, "Check update request: success\n", "error: Check update request: failed\n");
}

void action_start_background_scan() {
    report_request("start_background_scan", svc::startBackgroundScan(), "request start background scan: success\n",
                   "error: request start background scan: failed\n");
}

void action_stop_background_scan() {
    report_request("stop_background_scan", svc::stopBackgroundScan(), "request stop background scan: success\n",
                   "error: request stop background scan: failed\n");
}

void action_scan_directory(const char* directory) {
    ActionResult result("scan_directory");
    result.add("argument", directory);
    struct stat st {};
    if (stat(directory, &st) != 0) {
        result.failure("not_found", format_text("error: %s not found\n", directory));
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        result.failure("not_a_directory", format_text("error: %s not a directory\n", directory));
        return;
    }
    char resolved[PATH_MAX];
    if (realpath(directory, resolved) == nullptr) {
        result.failure("unresolved_path", "error: unable to resolve path\n");
        return;
    }
    result.add("directory", resolved);
    if (svc::requestDirectoryScan(resolved))
        result.success(format_text("request directory scan: %s : request queued\n", resolved));
    else
        result.failure("failure", format_text("error: request directory scan: %s : failed to queue request\n", resolved));
}

void action_get_log_level() {
    ActionResult result("get_log_level");
    int level = 0;
    if (svc::getLogLevel(&level)) {
        const auto shown = static_cast<unsigned>(level);
        result.add("level", std::int64_t{shown}).success(format_text("Log Level: %u\n", shown));
    } else {
        result.failure("failure", "error: failed to request loglevel\n");
    }
}

void action_set_log_level(std::uint32_t level) {
    ActionResult result("set_log_level");
    result.add("requested_level", std::int64_t{level});
    if (!check_root_for(result))
        return;
    int now = 0;
    if (svc::setLogLevel(level) && svc::getLogLevel(&now)) {
        const auto shown = static_cast<unsigned>(now);
        result.add("level", std::int64_t{shown}).success(format_text("Log Level: %u\n", shown));
    } else {
        result.failure("failure", format_text("error: failed to set loglevel to %u\n", level));
    }
}

void report_invalid_log_level(const char* text) {
    ActionResult result("set_log_level");
    result.add("argument", text).failure("invalid_level", format_text("error: invalid log level value: %s\n", text));
}

void action_get_policy_time() {
    ActionResult result("get_policy_time");
    std::string when;
    if (svc::getPolicyTime(&when))
        result.add("time", when).success(format_text("Last policy update time: %s\n", when.c_str()));
    else
        result.failure("failure", "error: failed to get last policy update time\n");
}

void action_check_policy() {
    report_request("check_policy", svc::requestPolicyCheck(), "Check policy updates request: success\n",
                   "error: Check policy updates request: failed\n");
}

namespace {

bool read_threat(const json_object* record, std::string* ret_id, const char** ret_word) {
    std::string id;
    std::int64_t state = 0;
    if (svc::json_get_string(record, "ID", &id) != 0 || svc::json_get_int64(record, "State", &state) != 0)
        return false;   // a record without either is left out
    *ret_id = std::move(id);
    *ret_word = translated_state_label(static_cast<std::uint32_t>(state));
    return true;
}

void list_threats_text() {
    struct stat st {};
    if (stat(svc::kFileStatesPath, &st) != 0) {
        std::printf("No threats found\n");
        return;
    }
    bool terminal = isatty(STDOUT_FILENO) == 1;
    (void)svc::scan_collection_file(
        svc::kFileStatesPath,
        [](void* context, const char* path, const json_object* record) {
            const bool on_terminal = *static_cast<bool*>(context);
            std::string id;
            const char* word = nullptr;
            if (read_threat(record, &id, &word))
                std::printf("%11.11s %s %s\n", word, for_terminal(id.c_str(), on_terminal).c_str(),
                            for_terminal(path, on_terminal).c_str());
            return true;
        },
        &terminal);
}

// The same records as one array; JSON escaping makes the terminal masking
// unnecessary, and the state word is untranslated for scripts.
void list_threats_json() {
    ActionResult result("list_threats");
    svc::JsonPtr threats{json_object_new_array()};
    struct stat st {};
    const char* outcome = "no_state_file";
    if (stat(svc::kFileStatesPath, &st) == 0) {
        const svc::ScanResult scanned = svc::scan_collection_file(
            svc::kFileStatesPath,
            [](void* context, const char* path, const json_object* record) {
                std::string id;
                const char* word = nullptr;
                if (!read_threat(record, &id, &word))
                    return true;
                std::int64_t state = 0;
                (void)svc::json_get_int64(record, "State", &state);
                svc::JsonPtr threat{json_object_new_object()};
                const std::string id_text = valid_utf8(id), path_text = valid_utf8(path);
                (void)json_object_object_add(threat.get(), "state",
                                             json_object_new_string(svc::state_label(static_cast<std::uint32_t>(state))));
                (void)json_object_object_add(threat.get(), "id", json_object_new_string(id_text.c_str()));
                (void)json_object_object_add(threat.get(), "path", json_object_new_string(path_text.c_str()));
                (void)json_object_array_add(static_cast<json_object*>(context), threat.release());
                return true;
            },
            threats.get());
        outcome = scanned == svc::ScanResult::visited ? "success" : "unreadable_state_file";
    }
    result.add("threats", std::move(threats));
    if (std::string_view(outcome) == "success")
        result.success("");
    else
        result.quiet(outcome);
}

}  // namespace

void action_list_threats() {
    if (output_mode() == OutputMode::json)
        list_threats_json();
    else
        list_threats_text();
}

namespace {

// Quarantine and waive share their checks; `request` sends the command.
void threat_action(const char* action, const char* id, bool (*request)(const char*), const char* done,
                   const char* failed) {
    ActionResult result(action);
    result.add("id", id != nullptr ? id : "");
    if (!check_root_for(result))
        return;
    if (id == nullptr || !is_file_id(id)) {
        result.failure("invalid_id", format_text("error: Invalid file id: %s\n", id != nullptr ? id : ""));
        return;
    }
    if (!threat_id_known(id)) {
        result.failure("unknown_id", format_text("error: Unknown file id (%s), get threats list with '-t'\n", id));
        return;
    }
    if (request(id))
        result.success(done);
    else
        result.failure("failure", failed);
}

}  // namespace

void action_quarantine(const char* id) {
    threat_action("quarantine", id, svc::quarantineThreat, "Quarantine file requested\n",
                  "error: Quarantine file request failed\n");
}

void action_waive(const char* id) {
    threat_action("waive", id, svc::waiveThreat, "Waive file requested\n", "error: Waive file request failed\n");
}

}  // namespace kv::ctl
