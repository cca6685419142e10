// kvagent-sim: a stand-in for the agent service, built on libkvhelper's
// exports as the service uses them. It answers every command of the
// front ends' protocol from a small persistent state, quarantines and waives
// threats in its HostCache files, and broadcasts what happens. Extra
// commands of its own drive the front ends in tests and the demo:
//   SIMB {"NAME":…}      broadcast that name
//   SIMS {"SCENARIO":…}  write a HostCache scenario ("sample", "empty", "details")
//   SIMD {"VALU":0|1}    set the driver-connected flag
//   SIMP                 readiness ping
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <json-c/json.h>

#include "agent_state.hpp"
#include "client_impl.hpp"
#include "host_cache_writer.hpp"
#include "json_fields.hpp"
#include "kvhelper.h"
#include "protocol.hpp"

namespace {

using kv::sim::AgentState;
using kv::svc::JsonPtr;

constexpr char kDefaultStateDir[] = "/opt/korvane/HostCache";
constexpr char kStateFileName[] = "agent_simulator_state.json";
constexpr const char* kDefaultTrusted[] = {"/opt/korvane/desktop/korvanectl", "/opt/korvane/desktop/korvaneui"};

struct Simulator {
    std::mutex mutex;
    std::string dir = kDefaultStateDir;
    std::vector<std::string> trusted;   // resolved executable paths
    AgentState state;
    void save() {
        if (kv::sim::save_state(state, dir + "/" + kStateFileName) < 0)
            std::fprintf(stderr, "kvagent-sim: cannot save state in %s\n", dir.c_str());
    }
};

Simulator g_sim;

std::string resolve(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

bool verify_sender(const char* exe_link) {
    const std::string exe = resolve(exe_link);
    if (exe.empty())
        return false;
    for (const auto& t : g_sim.trusted) {
        if (t == exe)
            return true;
    }
    return false;
}

// Puts `text` in the handler buffer, or asks for the room it needs.
void reply(char* buffer, int capacity, int* length, const std::string& text) {
    *length = static_cast<int>(text.size());
    if (text.size() < static_cast<std::size_t>(capacity))
        std::memcpy(buffer, text.c_str(), text.size() + 1);
}

void reply_json(char* buffer, int capacity, int* length, json_object* o) {
    reply(buffer, capacity, length, json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
}

void reply_ok(char* buffer, int capacity, int* length) { reply(buffer, capacity, length, R"({"RESP":"OK"})"); }
void reply_fail(char* buffer, int capacity, int* length) { reply(buffer, capacity, length, R"({"RESP":"FAIL"})"); }

JsonPtr ok_object() {
    JsonPtr o{json_object_new_object()};
    json_object_object_add(o.get(), "RESP", json_object_new_string("OK"));
    return o;
}

void on_gdrv(char* buffer, int capacity, int* length) {
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    JsonPtr o = ok_object();
    json_object_object_add(o.get(), "VALU", json_object_new_int(g_sim.state.driver_connected ? 1 : 0));
    reply_json(buffer, capacity, length, o.get());
}

void on_glog(char* buffer, int capacity, int* length) {
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    JsonPtr o = ok_object();
    json_object_object_add(o.get(), "VALU", json_object_new_int64(g_sim.state.log_level));
    reply_json(buffer, capacity, length, o.get());
}

void on_slog(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::int64_t level = 0;
    if (kv::svc::json_get_int64(request.get(), "VALU", &level) != 0 || level < 0 || level > UINT32_MAX) {
        reply_fail(buffer, capacity, length);
        return;
    }
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    g_sim.state.log_level = static_cast<std::uint32_t>(level);
    g_sim.save();
    reply_ok(buffer, capacity, length);
}

void on_gput(char* buffer, int capacity, int* length) {
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    JsonPtr o = ok_object();
    json_object_object_add(o.get(), "VALU", json_object_new_string(g_sim.state.policy_time.c_str()));
    reply_json(buffer, capacity, length, o.get());
}

void on_plyu(char* buffer, int capacity, int* length) {
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    g_sim.state.policy_time = kv::sim::now_text();
    g_sim.save();
    reply_ok(buffer, capacity, length);
}

void on_poly(char* buffer, int capacity, int* length) {
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    JsonPtr o = ok_object();
    json_object_object_add(o.get(), "PNAME", json_object_new_string(g_sim.state.policy_name.c_str()));
    json_object_object_add(o.get(), "PMODE", json_object_new_string(g_sim.state.policy_mode.c_str()));
    json_object_object_add(o.get(), "PNOTF", json_object_new_string(g_sim.state.policy_notifications.c_str()));
    reply_json(buffer, capacity, length, o.get());
}

void on_chku(char* buffer, int capacity, int* length) { reply_ok(buffer, capacity, length); }

void on_scan(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::string start, stop;
    const bool has_start = kv::svc::json_get_string(request.get(), "START", &start) == 0;
    const bool has_stop = kv::svc::json_get_string(request.get(), "STOP", &stop) == 0;
    std::lock_guard<std::mutex> lock(g_sim.mutex);
    if (has_stop) {
        g_sim.state.background_scan = false;
    } else if (has_start && start == " ") {
        g_sim.state.background_scan = true;
    } else if (has_start) {
        struct stat st {};
        // The front end sends resolved absolute paths of existing directories.
        if (start.empty() || start[0] != '/' || stat(start.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            reply_fail(buffer, capacity, length);
            return;
        }
        g_sim.state.queued_scans.push_back(start);
    } else {
        reply_fail(buffer, capacity, length);
        return;
    }
    g_sim.save();
    reply_ok(buffer, capacity, length);
}

bool is_file_id(const std::string& id) {
    if (id.size() != 64)
        return false;
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

void on_thrt(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::string id;
    kv::sim::ThreatAction action = kv::sim::ThreatAction::quarantine;
    if (kv::svc::json_get_string(request.get(), "QUARANTINE", &id) != 0) {
        action = kv::sim::ThreatAction::waive;
        if (kv::svc::json_get_string(request.get(), "WAIVE", &id) != 0) {
            reply_fail(buffer, capacity, length);
            return;
        }
    }
    int r = -EINVAL;
    if (is_file_id(id)) {
        std::lock_guard<std::mutex> lock(g_sim.mutex);
        r = kv::sim::apply_threat_action(g_sim.dir, action, id);
    }
    if (r < 0) {
        reply_fail(buffer, capacity, length);
        return;
    }
    KvSignalUI("com.korvane.timer.aggregated_messages");
    reply_ok(buffer, capacity, length);
}

void on_simb(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::string name;
    if (kv::svc::json_get_string(request.get(), "NAME", &name) != 0) {
        reply_fail(buffer, capacity, length);
        return;
    }
    KvSignalUI(name.c_str());
    reply_ok(buffer, capacity, length);
}

void on_sims(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::string scenario;
    int r = -EINVAL;
    if (kv::svc::json_get_string(request.get(), "SCENARIO", &scenario) == 0) {
        std::lock_guard<std::mutex> lock(g_sim.mutex);
        r = kv::sim::write_scenario(g_sim.dir, scenario);
    }
    if (r < 0) {
        reply_fail(buffer, capacity, length);
        return;
    }
    KvSignalUI("com.korvane.timer.aggregated_messages");
    reply_ok(buffer, capacity, length);
}

void on_simd(char* buffer, int capacity, int* length) {
    const JsonPtr request = kv::svc::json_parse_text(buffer);
    std::int64_t value = 0;
    if (kv::svc::json_get_int64(request.get(), "VALU", &value) != 0) {
        reply_fail(buffer, capacity, length);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_sim.mutex);
        g_sim.state.driver_connected = value != 0;
        g_sim.save();
    }
    KvSignalUI(value != 0 ? "com.korvane.driver.connected" : "com.korvane.driver.notconnected");
    reply_ok(buffer, capacity, length);
}

void on_simp(char* buffer, int capacity, int* length) { reply_ok(buffer, capacity, length); }

void usage() {
    std::fputs("usage: kvagent-sim [--state-dir DIR] [--trust EXECUTABLE]... [--scenario NAME]\n"
               "                   [--broadcast NAME]...\n",
               stderr);
}

// Sends its own ping until the server answers (its name may not be owned yet).
bool wait_until_serving() {
    for (int i = 0; i < 100; ++i) {
        char reply_text[kv::svc::kReplyBufferSize] = {};
        if (kv::svc::sendMessageToService(R"({ "CMD_":"SIMP" })", reply_text) && kv::svc::isReplyOk(reply_text)) {
            kv::svc::stopServiceClient();
            return true;
        }
        (void)usleep(50 * 1000);
    }
    kv::svc::stopServiceClient();
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenario;
    std::vector<std::string> broadcasts;
    std::vector<std::string> trusted;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        if (a == "--state-dir")
            g_sim.dir = argv[++i];
        else if (a == "--trust")
            trusted.emplace_back(argv[++i]);
        else if (a == "--scenario")
            scenario = argv[++i];
        else if (a == "--broadcast")
            broadcasts.emplace_back(argv[++i]);
        else {
            usage();
            return 2;
        }
    }
    if (trusted.empty())
        trusted.assign(std::begin(kDefaultTrusted), std::end(kDefaultTrusted));
    trusted.emplace_back("/proc/self/exe");   // its own readiness ping
    for (const auto& t : trusted) {
        const std::string r = resolve(t.c_str());
        if (!r.empty())
            g_sim.trusted.push_back(r);
    }
    if (mkdir(g_sim.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "kvagent-sim: cannot create %s\n", g_sim.dir.c_str());
        return 1;
    }
    g_sim.state = kv::sim::load_state(g_sim.dir + "/" + kStateFileName);
    if (!scenario.empty() && kv::sim::write_scenario(g_sim.dir, scenario) < 0) {
        std::fprintf(stderr, "kvagent-sim: cannot write scenario '%s'\n", scenario.c_str());
        return 1;
    }

    // Signals are taken by sigwait on this thread; the library's threads
    // inherit the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const struct {
        const char* code;
        KvCommandHandler handler;
    } handlers[] = {
        {"GDRV", on_gdrv}, {"GLOG", on_glog}, {"SLOG", on_slog}, {"GPUT", on_gput}, {"PLYU", on_plyu},
        {"POLY", on_poly}, {"CHKU", on_chku}, {"SCAN", on_scan}, {"THRT", on_thrt}, {"SIMB", on_simb},
        {"SIMS", on_sims}, {"SIMD", on_simd}, {"SIMP", on_simp},
    };
    for (const auto& h : handlers) {
        if (KvSetServerCallbackForCommand(h.code, h.handler) != 0) {
            std::fprintf(stderr, "kvagent-sim: cannot register %s\n", h.code);
            return 1;
        }
    }
    if (KvStartServerLinux(verify_sender) != 0 || !wait_until_serving()) {
        std::fprintf(stderr, "kvagent-sim: the command server did not start\n");
        KvStopServer();
        return 1;
    }
    KvSignalUI("com.korvane.agent.started");
    KvSignalUI("com.korvane.agent.running");
    for (const auto& name : broadcasts)
        KvSignalUI(name.c_str());
    std::printf("kvagent-sim: serving, state in %s\n", g_sim.dir.c_str());
    std::fflush(stdout);

    int signal_number = 0;
    (void)sigwait(&stop_signals, &signal_number);
    KvSignalUI("com.korvane.agent.stopped");
    KvStopServer();
    std::printf("kvagent-sim: stopped\n");
    return 0;
}
