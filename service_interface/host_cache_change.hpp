// Change detection for the HostCache files the tray re-reads: the file is
// read once, its MD5 compared with the one remembered for it, and the same
// bytes parsed, so what is remembered is exactly what is shown.
#pragma once

#include <string>

#include "json_fields.hpp"

namespace kv::svc {

enum class FileChange { unchanged, changed };

// `remembered` is the caller's lower-case hexadecimal MD5 of the last
// version seen ("" at first). A file that cannot be read or is empty counts
// as changed (and `ret_parsed` gets null). A changed file's text is parsed
// into `ret_parsed` (null when it does not parse); an unchanged one is not
// parsed and `ret_parsed` is left alone. Failures are traced.
FileChange hostcache_file_changed(const char* path, std::string* remembered, JsonPtr* ret_parsed) noexcept;

// The same test, leaving the parse to the caller: a changed file's bytes go
// to `ret_bytes` ("" when it is empty or cannot be read; a file larger than
// `max_bytes` cannot be read). `ret_read_failed` tells a failed read (already
// traced) from an empty file.
FileChange hostcache_file_changed_bytes(const char* path, std::string* remembered, std::size_t max_bytes,
                                        std::string* ret_bytes, bool* ret_read_failed) noexcept;

}  // namespace kv::svc
