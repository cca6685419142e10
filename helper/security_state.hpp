// Whether a firewall, SELinux enforcement or disk encryption is active,
// from /proc/modules, sestatus, /etc/crypttab and dmsetup.
#pragma once

namespace kv::helper {

// Whether a line of /proc/modules has `module` as its first field.
bool kernel_module_loaded(const char* module) noexcept;

bool firewall_on() noexcept;
bool selinux_enforcing() noexcept;
bool disk_encryption_enabled() noexcept;

}  // namespace kv::helper
