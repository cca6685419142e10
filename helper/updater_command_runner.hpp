// The updater library's command runner and its extraction policy: the text
// through the shared shell runner, its first output line kept (and logged
// as "KvCEFHelper"), the rest of the output drained, then the status
// collected. A command succeeds only when it printed nothing and exited
// with status 0.
#pragma once

#include <cstddef>

#include "archive_extract.hpp"

namespace kv::helper {

inline constexpr char kUpdaterLogIdent[] = "KvCEFHelper";
// The first output line is read with a buffer of this size (2047 characters).
inline constexpr std::size_t kUpdaterOutputSize = 2048;

// Runs `text` unchanged with the shell. A non-empty first line (output, or
// "popen failed for cmd %s." when the shell could not be started) is logged
// at error priority. The whole output is read before the status is
// collected, so a writer such as tar is never cut off by a closed pipe. A
// status lost because the process ignores SIGCHLD counts as 0, as in the
// shared runner; one lost otherwise is -1.
CommandReport run_updater_command(const char* text) noexcept;

// The updater's extraction: its identity and runner, success only for a
// silent status 0, always the bzip2 form.
inline constexpr ExtractPolicy kUpdaterExtractPolicy{kUpdaterLogIdent, &run_updater_command,
                                                     SuccessRule::status_zero_and_silent, false};

}  // namespace kv::helper
