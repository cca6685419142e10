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
    if (svc::getPolicyInfo(policy, &size, &notify, &local) && policy[0] != '\0')
        std::printf("Policy: %s\n", policy);
}

void action_check_updates() {
    if (svc::requestUpdateCheck()) {
        (void)sleep(1);
        std::printf("Check update request: success\n");
    } else {
        std::fputs("error: Check update request: failed\n", stderr);
    }
}

void action_start_background_scan() {
    if (svc::startBackgroundScan())
        std::printf("request start background scan: success\n");
    else
        std::fputs("error: request start background scan: failed\n", stderr);
}

void action_stop_background_scan() {
    if (svc::stopBackgroundScan())
        std::printf("request stop background scan: success\n");
    else
        std::fputs("error: request stop background scan: failed\n", stderr);
}

void action_scan_directory(const char* directory) {
    struct stat st {};
    if (stat(directory, &st) != 0) {
        std::fprintf(stderr, "error: %s not found\n", directory);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "error: %s not a directory\n", directory);
        return;
    }
    char resolved[PATH_MAX];
    if (realpath(directory, resolved) == nullptr) {
        std::fputs("error: unable to resolve path\n", stderr);
        return;
    }
    if (svc::requestDirectoryScan(resolved))
        std::printf("request directory scan: %s : request queued\n", resolved);
    else
        std::fprintf(stderr, "error: request directory scan: %s : failed to queue request\n", resolved);
}

void action_get_log_level() {
    int level = 0;
    if (svc::getLogLevel(&level))
        std::printf("Log Level: %u\n", static_cast<unsigned>(level));
    else
        std::fputs("error: failed to request loglevel\n", stderr);
}

void action_set_log_level(std::uint32_t level) {
    if (!check_root())
        return;
    int now = 0;
    if (svc::setLogLevel(level) && svc::getLogLevel(&now))
        std::printf("Log Level: %u\n", static_cast<unsigned>(now));
    else
        std::fprintf(stderr, "error: failed to set loglevel to %u\n", level);
}

void action_get_policy_time() {
    std::string when;
    if (svc::getPolicyTime(&when))
        std::printf("Last policy update time: %s\n", when.c_str());
    else
        std::fputs("error: failed to get last policy update time\n", stderr);
}

void action_check_policy() {
    if (svc::requestPolicyCheck())
        std::printf("Check policy updates request: success\n");
    else
        std::fputs("error: Check policy updates request: failed\n", stderr);
}

void action_list_threats() {
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
            std::int64_t state = 0;
            if (svc::json_get_string(record, "ID", &id) != 0 || svc::json_get_int64(record, "State", &state) != 0)
                return true;   // a record without either is left out
            const char* word = translated_state_label(static_cast<std::uint32_t>(state));
            std::printf("%11.11s %s %s\n", word, for_terminal(id.c_str(), on_terminal).c_str(),
                        for_terminal(path, on_terminal).c_str());
            return true;
        },
        &terminal);
}

namespace {

// Quarantine and waive share their checks; `request` sends the command.
void threat_action(const char* id, bool (*request)(const char*), const char* done, const char* failed) {
    if (!check_root())
        return;
    if (id == nullptr || !is_file_id(id)) {
        std::fprintf(stderr, "error: Invalid file id: %s\n", id != nullptr ? id : "");
        return;
    }
    if (!threat_id_known(id)) {
        std::fprintf(stderr, "error: Unknown file id (%s), get threats list with '-t'\n", id);
        return;
    }
    if (request(id))
        std::fputs(done, stdout);
    else
        std::fputs(failed, stderr);
}

}  // namespace

void action_quarantine(const char* id) {
    threat_action(id, svc::quarantineThreat, "Quarantine file requested\n", "error: Quarantine file request failed\n");
}

void action_waive(const char* id) {
    threat_action(id, svc::waiveThreat, "Waive file requested\n", "error: Waive file request failed\n");
}

}  // namespace kv::ctl
