// The tray's console output.
#include "ui_log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kv::ui {
namespace {

constinit std::atomic<bool> g_verbose{false};

[[gnu::format(printf, 1, 0)]] void print_args(const char* format, va_list args) noexcept {
    (void)std::vfprintf(stdout, format, args);
    (void)std::fflush(stdout);
}

}  // namespace

void set_verbose(bool on) noexcept { g_verbose.store(on); }

bool verbose() noexcept { return g_verbose.load(); }

void verbose_print(const char* format, ...) noexcept {
    if (!g_verbose.load())
        return;
    va_list args;
    va_start(args, format);
    print_args(format, args);
    va_end(args);
}

void always_print(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    print_args(format, args);
    va_end(args);
}

}  // namespace kv::ui
