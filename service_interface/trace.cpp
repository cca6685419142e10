// The service interface's console diagnostics.
#include "trace.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kv::svc {
namespace {

void print_to_stdout(const char* line) noexcept {
    (void)std::fputs(line, stdout);
    (void)std::fflush(stdout);
}

constinit std::atomic<TracePrinter> g_printer{print_to_stdout};

}  // namespace

void setTracePrinter(TracePrinter printer) noexcept { g_printer.store(printer); }

void trace(const char* format, ...) noexcept {
    const TracePrinter print = g_printer.load();
    if (print == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    print(line);
}

}  // namespace kv::svc
