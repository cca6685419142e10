// Diagnostic lines of the service-interface modules meant for a person at
// the console ("received signal: …", HostCache read failures). The printer
// decides whether and where they go: the default writes to standard output;
// the tray installs one that prints only in verbose mode; null is silent.
#pragma once

namespace kv::svc {

using TracePrinter = void (*)(const char* line);

void setTracePrinter(TracePrinter printer) noexcept;

// Formats one line and hands it to the current printer.
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...) noexcept;

}  // namespace kv::svc
