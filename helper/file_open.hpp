// Opening files and reading short text files, shared by both helper
// libraries: fopen retried on EINTR, owners for streams and directories.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "unique_handle.hpp"

namespace kv::helper {

// Offsets and sizes of files beyond 2 GiB must work in the 32-bit build too.
static_assert(sizeof(off_t) == 8, "compile with _FILE_OFFSET_BITS=64");

inline void file_close(FILE* f) noexcept { (void)std::fclose(f); }
inline void dir_close(DIR* d) noexcept { (void)::closedir(d); }
using FilePtr = kv::UniquePtr<FILE, file_close>;
using DirPtr = kv::UniquePtr<DIR, dir_close>;

// fopen, tried again while it fails with EINTR, at most 10 more times.
FILE* fopen_retrying(const char* path, const char* mode) noexcept;

// Reads the first line of `path` into buffer[0..capacity) with fgets
// (line feed kept, always terminated). 0, or -errno when the file cannot be
// opened or holds nothing; the buffer is then empty.
int read_first_line(const char* path, char* buffer, std::size_t capacity) noexcept;

}  // namespace kv::helper
