// Packages and driver modules through the system's tools: a package command
// judged by its status, dpkg with its whole output collected, a version
// query, the driver-module check and the program lookup.
#pragma once

#include <cstddef>

namespace kv::helper {

// Runs `text`; 0 on status 0; -EIO otherwise (logged with its first line).
int run_package_command(const char* text) noexcept;

// Kind 1: runs "dpkg ACTION -- PACKAGE 2>&1" (values quoted) and puts its
// output (at most size - 1 bytes, terminated; the rest is read and
// discarded) into `output`. 0 on status 0. Kind 0 runs nothing, leaves the
// output empty and returns -ENOSYS; any other kind writes "%d package
// manager is not supported\n" into the output and returns -ENOTSUP.
// -EINVAL for missing values or a command over its bound; -EIO when dpkg
// failed.
int run_package_manager(const char* action, const char* package, char* output, std::size_t size,
                        int kind) noexcept;

// Runs `text` and copies its first output line (line feed removed) into
// buffer[0..size), or "0.0.0.0" when the status is not 0 or it printed
// nothing.
void package_version_text(const char* text, char* buffer, std::size_t size) noexcept;

// Whether "lsmod | grep -w KvGuardDrvOpen" and "lsmod | grep -w
// KvGuardDrv" both end with status 0.
bool driver_modules_loaded() noexcept;

// Whether "which -- NAME" (quoted) ends with status 0; false for an unsafe name.
bool program_available(const char* name) noexcept;

}  // namespace kv::helper
