// Option parsing with getopt_long.
#include "cli_options.hpp"

#include <getopt.h>

#include <cstdio>

#include "cli_actions.hpp"

namespace kv::ctl {
namespace {

// --json has no short form: the usage text and the short options stay as
// they are.
constexpr int kJsonOption = 0x100;

constexpr char kShortOptions[] = "subBd:lL:Pptq:w:vh";

constexpr option kLongOptions[] = {
    {"status", no_argument, nullptr, 's'},
    {"checkupdates", no_argument, nullptr, 'u'},
    {"start-bg-scan", no_argument, nullptr, 'b'},
    {"stop-bg-scan", no_argument, nullptr, 'B'},
    {"scan-dir", required_argument, nullptr, 'd'},
    {"getloglevel", no_argument, nullptr, 'l'},
    {"setloglevel", required_argument, nullptr, 'L'},
    {"getpolicytime", no_argument, nullptr, 'P'},
    {"checkpolicy", no_argument, nullptr, 'p'},
    {"threats", no_argument, nullptr, 't'},
    {"quarantine", required_argument, nullptr, 'q'},
    {"waive", required_argument, nullptr, 'w'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"json", no_argument, nullptr, kJsonOption},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

bool parse_log_level(const char* text, std::uint32_t* ret_level) {
    unsigned value = 0;
    if (std::sscanf(text, "%u", &value) != 1)
        return false;
    *ret_level = value;
    return true;
}

bool wants_json(int argc, char** argv) {
    const int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    bool json = false;
    for (int c; (c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;) {
        if (c == kJsonOption)
            json = true;
    }
    opterr = saved_opterr;
    return json;
}

ParseResult parse_options(int argc, char** argv, CliRequests* r) {
    optind = 0;   // a full reset of the scanner
    for (;;) {
        const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1)
            return ParseResult::ok;
        switch (c) {
        case 's': r->status = true; break;
        case 'u': r->check_updates = true; break;
        case 'b': r->start_background_scan = true; break;
        case 'B': r->stop_background_scan = true; break;
        case 'd':
            r->scan_directory = true;
            r->directory = optarg;
            break;
        case 'l': r->get_log_level = true; break;
        case 'L':
            if (parse_log_level(optarg, &r->log_level))
                r->set_log_level = true;
            else
                report_invalid_log_level(optarg);
            break;
        case 'P': r->get_policy_time = true; break;
        case 'p': r->check_policy = true; break;
        case 't': r->list_threats = true; break;
        case 'q':
            r->quarantine = true;
            r->quarantine_id = optarg;
            break;
        case 'w':
            r->waive = true;
            r->waive_id = optarg;
            break;
        case 'v': r->version = true; break;
        case 'h': r->help = true; break;
        case kJsonOption: r->json = true; break;
        default: return ParseResult::invalid_option;   // getopt_long has said why
        }
    }
}

}  // namespace kv::ctl
