// Syslog output shared by the project's C++ code (memdef logs nothing and
// does not link this).
#include "log.hpp"

#include <cstdarg>

namespace kv {

void log_at(int priority, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

}  // namespace kv
