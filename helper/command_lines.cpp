// Line loops over a command's output (the shared runner) and over a file.
#include "command_lines.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "command_runner.hpp"
#include "file_open.hpp"

namespace kv::helper {
namespace {

void read_lines(FILE* f, std::size_t line_size, const std::function<bool(const char*)>& line) {
    std::vector<char> buffer(line_size);
    const int cap = line_size > INT_MAX ? INT_MAX : static_cast<int>(line_size);
    while (std::fgets(buffer.data(), cap, f) != nullptr) {
        if (!line(buffer.data()))
            break;
    }
}

}  // namespace

int for_each_command_line(const char* command, std::size_t line_size,
                          const std::function<bool(const char*)>& line) noexcept {
    // The command's status is not part of the answer; a lost one is not an error.
    const int rc = for_each_output_line(command, line_size, line);
    return rc == -ECHILD ? 0 : rc;
}

int for_each_file_line(const char* path, std::size_t line_size,
                       const std::function<bool(const char*)>& line) noexcept {
    FilePtr f(fopen_retrying(path, "re"));
    if (!f)
        return -errno;
    read_lines(f.get(), line_size, line);
    return 0;
}

}  // namespace kv::helper
