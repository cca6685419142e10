// pgrep's lines as process ids.
#include "pid_list.hpp"

#include <cerrno>
#include <cstdlib>

#include "command_lines.hpp"

namespace kv::helper {

int tray_pids(int* pids, unsigned int* count) noexcept {
    if (count == nullptr)
        return -EINVAL;
    const unsigned int capacity = pids != nullptr ? *count : 0;
    unsigned int found = 0;
    const int rc = for_each_command_line("/usr/bin/pgrep korvaneui", 4095, [&](const char* line) {
        if (found < capacity)
            pids[found] = std::atoi(line);
        ++found;
        return true;
    });
    if (rc != 0)
        return rc;
    *count = found;
    return found > capacity ? kPidsDidNotFit : 0;
}

}  // namespace kv::helper
