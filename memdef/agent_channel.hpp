// The temp directory through which events leave the process and kernel
// commands reach the driver: resolved once at start-up, read-only after.
#pragma once

#include <cstddef>

namespace kv::md {

inline constexpr std::size_t kPathCapacity = 4096;

// Resolves the temp directory into `buffer` (terminated, ending in "/"
// unless it would not fit). TMPDIR, TMP, TEMP, TEMPDIR are read with
// secure_getenv, and empty or relative values are passed over.
void get_temp_dir(char* buffer, std::size_t size) noexcept;

// Fills the library's temp directory on first use; always true.
bool agent_preinit() noexcept;

// The resolved temp directory, "" before start-up.
const char* agent_temp_dir() noexcept;

}  // namespace kv::md
