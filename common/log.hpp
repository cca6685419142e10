// Syslog output of the libraries and front ends: one printf-checked entry
// point per priority; the component word is the first "%s" of each text.
// log_as() sends under an identity of its own (the helper libraries' runner
// logs as "KvHelper") without openlog(), so the host process's identity,
// facility and options stay as it set them.
#pragma once

#include <syslog.h>

namespace kv {

[[gnu::format(printf, 2, 3)]] void log_at(int priority, const char* format, ...) noexcept;

// One message with `ident`, the process id and `facility_priority` (a
// facility or'ed with a priority), written straight to /dev/log. The
// process's log mask is honoured; nothing is written when no logger listens.
[[gnu::format(printf, 3, 4)]] void log_as(const char* ident, int facility_priority, const char* format,
                                          ...) noexcept;

#define KV_LOG_ERROR(...) ::kv::log_at(LOG_ERR, __VA_ARGS__)
#define KV_LOG_INFO(...) ::kv::log_at(LOG_INFO, __VA_ARGS__)

}  // namespace kv
