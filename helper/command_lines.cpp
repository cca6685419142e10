// popen and fopen line loops.
#include "command_lines.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

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
    PipePtr p(::popen(command, "re"));
    if (!p)
        return errno != 0 ? -errno : -ENOMEM;
    read_lines(p.get(), line_size, line);
    return 0;
}

int for_each_file_line(const char* path, std::size_t line_size,
                       const std::function<bool(const char*)>& line) noexcept {
    FilePtr f(fopen_retrying(path, "r"));
    if (!f)
        return -errno;
    read_lines(f.get(), line_size, line);
    return 0;
}

}  // namespace kv::helper
