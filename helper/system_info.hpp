// Facts about the machine: identity (machine id, DMI serial and UUID),
// kernel version, architecture, host name and the calling thread's id.
#pragma once

#include <cstddef>

namespace kv::helper {

// Zeroes buffer[0..size) and fills it with "MachineGuid",
// "SystemSerialNumber" or "SystemUUID"; unknown names leave it zeroed.
void platform_property(const char* name, char* buffer, std::size_t size) noexcept;

// Scans the kernel release as major.minor.patch-build; fields that do not
// match keep their values.
void os_version(int* major, int* minor, int* patch, int* build) noexcept;

// The machine name of uname, terminated, cut to size - 1 (size >= 4).
void system_architecture(char* buffer, std::size_t size) noexcept;

// The host name, cut at its first '.' unless `full` is 1, cut to size - 1.
// false with an empty buffer when there is none.
bool host_name(unsigned char full, char* buffer, std::size_t size) noexcept;

int current_thread_id() noexcept;

}  // namespace kv::helper
