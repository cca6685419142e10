// Whether a firewall, SELinux enforcement or disk encryption is active,
// from /proc/modules or the iptables listing, sestatus, /etc/crypttab and
// dmsetup.
#pragma once

#include <cstddef>

namespace kv::helper {

// Progress through the listing of "/sbin/iptables -L INPUT", fed line by
// line as fgets reads it with a buffer of kIptablesLineSize.
struct IptablesListing {
    bool heading_seen = false;   // "Chain INPUT" with a policy that accepts
    bool firewall_on = false;    // final once set
    bool mid_line = false;       // the last piece read did not end its line
};

inline constexpr std::size_t kIptablesLineSize = 256;

// Takes one piece of the listing (at most kIptablesLineSize - 1 bytes, its
// line feed kept when the line ended in it). Before the heading: a line
// containing "Chain INPUT" whose text after its first 11 characters holds
// "policy"; a policy without "ACCEPT" after it means on, one with it marks
// the heading seen. After the heading: a line whose first field is neither
// "target" nor "ACCEPT" is a rule that does not simply accept: on. Only
// the first piece of a longer line is judged (its rest is not a line of its
// own). Returns false once the answer is on.
bool iptables_listing_line(IptablesListing& listing, const char* piece) noexcept;

// Whether a line of /proc/modules has `module` as its first field.
bool kernel_module_loaded(const char* module) noexcept;

// The service's check: the ip_tables module is loaded.
bool firewall_on() noexcept;
// The updater's check: the INPUT chain filters (its policy or one of its
// rules does not accept); off when iptables cannot be run.
bool firewall_rules_active() noexcept;
bool selinux_enforcing() noexcept;
bool disk_encryption_enabled() noexcept;

}  // namespace kv::helper
