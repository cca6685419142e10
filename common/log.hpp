// Syslog output of the libraries and front ends: one printf-checked entry
// point per priority; the component word is the first "%s" of each text.
#pragma once

#include <syslog.h>

namespace kv {

[[gnu::format(printf, 2, 3)]] void log_at(int priority, const char* format, ...) noexcept;

#define KV_LOG_ERROR(...) ::kv::log_at(LOG_ERR, __VA_ARGS__)
#define KV_LOG_INFO(...) ::kv::log_at(LOG_INFO, __VA_ARGS__)

}  // namespace kv
