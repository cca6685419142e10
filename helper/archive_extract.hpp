// Unpacking archives with tar: the self-extractor (a command, then an
// optional tar into a destination) and the unpacking of an archive into its
// own directory. Written once for both helper libraries: what differs (log
// identity, how a command is run and judged, the gzip case) is an
// ExtractPolicy. Shared by both helper libraries.
#pragma once

#include <string>

namespace kv::helper {

// What running one command text reported.
struct CommandReport {
    bool started = false;      // false: it could not be started
    int status = -1;           // its wait status when started
    std::string first_line;    // its first output line as read (line feed kept), or the runner's failure text
};

// Runs a command text (already formed and quoted) to its end.
using CommandRunner = CommandReport (*)(const char* text);

// When a command that ran counts as successful.
enum class SuccessRule : unsigned char {
    status_zero,              // exit status 0, whatever it printed
    status_zero_and_silent,   // exit status 0 and no output at all
};

struct ExtractPolicy {
    const char* ident;        // log identity: "KvHelper" or "KvCEFHelper"
    CommandRunner run;
    SuccessRule success;
    bool gzip_for_tgz;        // "tgz" names select the gzip form; else always bzip2
};

// libkvhelper's runner: execute_command (logged, 4096-byte first line).
CommandReport run_through_execute_command(const char* text) noexcept;

// libkvhelper's policy: "KvHelper", execute_command, status 0, gzip for "tgz".
inline constexpr ExtractPolicy kHelperExtractPolicy{"KvHelper", &run_through_execute_command,
                                                    SuccessRule::status_zero, true};

// Whether `report` counts as success under `policy`.
bool command_succeeded(const ExtractPolicy& policy, const CommandReport& report) noexcept;

// Runs `command` (a text of the caller's, run as given); then, if `archive`
// is given, checks that it exists and, if `destination` is given too,
// extracts it there with "/bin/tar -xf ARCHIVE -C DESTINATION
// --no-same-owner" (values quoted). Logs each failure under the policy's
// identity. 0; -EINVAL without a command; -ENOENT for a missing archive;
// -E2BIG for a tar command over its bound (refused, not cut); -EIO when a
// command failed.
int self_extract(const ExtractPolicy& policy, const char* command, const char* archive,
                 const char* destination) noexcept;

// Extracts `archive` into its own directory (the path up to and including
// its last '/'): gzip form for a ".tgz" name when the policy has it, bzip2
// form otherwise. 0; -EINVAL for a null path or one without '/'; -E2BIG for
// a command over its bound; -EIO when tar failed.
int decompress_beside(const ExtractPolicy& policy, const char* archive) noexcept;

}  // namespace kv::helper
