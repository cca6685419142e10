// Line readers shared by the checks: a command's output (through the
// shared runner, read to its end), and a text file, each read as fgets with
// a fixed line buffer (longer lines arrive in pieces).
#pragma once

#include <cstddef>
#include <functional>

namespace kv::helper {

// Calls `line(text)` for each line until it returns false. 0, or -errno
// when the command cannot be started or the file opened.
int for_each_command_line(const char* command, std::size_t line_size,
                          const std::function<bool(const char*)>& line) noexcept;
int for_each_file_line(const char* path, std::size_t line_size,
                       const std::function<bool(const char*)>& line) noexcept;

}  // namespace kv::helper
