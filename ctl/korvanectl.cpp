// korvanectl: the administrator's command-line front end to the agent
// service. Runs the requested actions in a fixed order, whatever the order
// of the options, and exits 0 unless the command line itself is invalid.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli_actions.hpp"
#include "cli_options.hpp"
#include "cli_report.hpp"
#include "client_impl.hpp"

// The program's own "__version" section.
extern "C" const char version_number[];

namespace {

constexpr const char* kUsageLines[] = {
    "options:",
    "    -s, --status            : get status of KorvaneGUARD",
    "    -u, --checkupdates      : check for updates",
    "    -b, --start-bg-scan     : start background scan",
    "    -B, --stop-bg-scan      : stop background scan",
    "    -d, --scan-dir=dir      : scan directory",
    "    -l, --getloglevel       : get current log level",
    "    -L, --setloglevel=level : set log level",
    "    -P, --getpolicytime     : get the policy update time",
    "    -p, --checkpolicy       : check for policy updates",
    "    -t, --threats           : list threats",
    "    -q, --quarantine=id     : quarantine a file by id (hash)",
    "    -w, --waive=id          : waive a file by id (hash)",
    "    -v, --version           : print this tools version",
    "    -h, --help              : print this message",
};

const char* g_program = "korvanectl";

std::string usage_text() {
    std::string text = kv::ctl::format_text("usage: %s <options>\n", g_program);
    for (const char* line : kUsageLines)
        (text += line) += '\n';
    return text;
}

// With --json the usage text is the value of one object: standard output
// stays one JSON object per line even for an invalid command line.
[[noreturn]] void print_usage(int status) {
    kv::ctl::ActionResult result("help");
    result.add("usage", usage_text());
    if (status == 0)
        result.success(usage_text());
    else if (kv::ctl::output_mode() == kv::ctl::OutputMode::json)
        result.failure("invalid_option", "error: invalid option\n");
    else
        std::fputs(usage_text().c_str(), stdout);
    std::fflush(stdout);
    std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        g_program = slash != nullptr ? slash + 1 : argv[0];
    }
    kv::ctl::CliRequests r;
    if (argc == 1) {
        kv::ctl::action_status();
        kv::svc::stopServiceClient();
        return 0;
    }
    if (kv::ctl::wants_json(argc, argv))
        kv::ctl::set_output_mode(kv::ctl::OutputMode::json);
    if (kv::ctl::parse_options(argc, argv, &r) != kv::ctl::ParseResult::ok) {
        std::fputs("error: invalid option\n", stderr);
        print_usage(1);
    }
    if (r.json && argc == 2)
        r.status = true;   // --json alone: the status, as with no argument at all
    if (r.version) {
        kv::ctl::ActionResult result("version");
        result.add("version", version_number).success(kv::ctl::format_text("version: %s\n", version_number));
    }
    if (r.help)
        print_usage(0);
    if (r.status)
        kv::ctl::action_status();
    if (r.check_updates)
        kv::ctl::action_check_updates();
    if (r.start_background_scan)
        kv::ctl::action_start_background_scan();
    if (r.stop_background_scan)
        kv::ctl::action_stop_background_scan();
    if (r.scan_directory)
        kv::ctl::action_scan_directory(r.directory.c_str());
    if (r.get_log_level)
        kv::ctl::action_get_log_level();
    if (r.set_log_level)
        kv::ctl::action_set_log_level(r.log_level);
    if (r.get_policy_time)
        kv::ctl::action_get_policy_time();
    if (r.check_policy)
        kv::ctl::action_check_policy();
    if (r.list_threats)
        kv::ctl::action_list_threats();
    if (r.quarantine)
        kv::ctl::action_quarantine(r.quarantine_id.c_str());
    if (r.waive)
        kv::ctl::action_waive(r.waive_id.c_str());
    kv::svc::stopServiceClient();
    return 0;
}
