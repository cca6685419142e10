// Launching the updater in the background from its own directory.
#pragma once

namespace kv::helper {

// Checks the four texts and the updater file, then starts
// "/opt/korvane/desktop/updater_tmp/kvupdate first second" in the
// background with that directory as its working directory and library
// path; afterwards changes the process's directory to `return_dir`.
// 0 when the launch command exited with status 0; -EINVAL for an empty
// text; -EPERM for an updater that is not an executable regular file in a
// directory only its owner may write; -ECHILD / the failed status as a
// negative value otherwise.
int start_updater(const char* marker, const char* return_dir, const char* first, const char* second) noexcept;

}  // namespace kv::helper
