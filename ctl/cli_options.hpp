// korvanectl's command line: the requested actions and their arguments.
#pragma once

#include <cstdint>
#include <string>

namespace kv::ctl {

struct CliRequests {
    bool status = false;
    bool version = false;
    bool help = false;
    bool check_updates = false;
    bool start_background_scan = false;
    bool stop_background_scan = false;
    bool scan_directory = false;
    bool get_log_level = false;
    bool set_log_level = false;
    bool get_policy_time = false;
    bool check_policy = false;
    bool list_threats = false;
    bool quarantine = false;
    bool waive = false;
    bool json = false;           // --json: results as JSON objects
    std::string directory;       // of the last -d
    std::string quarantine_id;   // of the last -q
    std::string waive_id;        // of the last -w
    std::uint32_t log_level = 0;
};

enum class ParseResult { ok, invalid_option };

// True when the command line holds --json (or a prefix of it) as an option,
// not as another option's argument. Writes no diagnostic.
bool wants_json(int argc, char** argv);

// Reads every option of argv into `requests` (GNU long options with unique
// prefixes; words that are no options are ignored). The option scanner's own
// diagnostic is written to standard error for an unknown option or a
// missing argument, and the result is then invalid_option.
ParseResult parse_options(int argc, char** argv, CliRequests* requests);

// Reads a log level as sscanf's "%u" does (leading blanks and a sign
// accepted, a minus wraps modulo 2^32, trailing text ignored); false when no
// number can be read.
bool parse_log_level(const char* text, std::uint32_t* ret_level);

}  // namespace kv::ctl
