// The updater library's command runner: the text through the shared shell
// runner, its first output line kept (and logged as "KvCEFHelper"), the rest
// of the output drained, then the status collected. A command succeeds only
// when it printed nothing and exited with status 0.
#pragma once

#include <cstddef>

namespace kv::helper {

inline constexpr char kUpdaterLogIdent[] = "KvCEFHelper";
inline constexpr std::size_t kUpdaterOutputSize = 2048;

struct UpdaterCommandOutcome {
    bool started = false;      // the shell ran
    bool printed = false;      // anything arrived on its standard output
    int wait_status = -1;      // -1 when it was not started or the status was lost
    char first_line[kUpdaterOutputSize] = {};   // the first line (line feed kept), or the start failure
};

// Runs `text` unchanged with the shell. A non-empty first_line (output, or
// "popen failed for cmd %s." when the shell could not be started) is logged
// at error priority. The whole output is read before the status is
// collected, so a command is never cut off by a closed pipe. A status lost
// because the process ignores SIGCHLD counts as 0, as in the shared runner.
void run_updater_command(const char* text, UpdaterCommandOutcome& ret_outcome) noexcept;

// Started, printed nothing, and exited normally with status 0.
bool updater_command_succeeded(const UpdaterCommandOutcome& outcome) noexcept;

}  // namespace kv::helper
