// Security checks over /proc/modules, /sbin/iptables, /usr/sbin/sestatus,
// /etc/crypttab, /dev/mapper and /sbin/dmsetup.
#include "security_state.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_lines.hpp"

namespace kv::helper {
namespace {

// Characters of a device-mapper name that are safe in a shell command and
// a path below /dev/mapper.
bool safe_mapping_name(const std::string& name) noexcept {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '.' || c == '+' || c == ':' || c == '@';
        if (!ok)
            return false;
    }
    return true;
}

// The first field of the last /etc/crypttab line that has one ("" if none).
std::string crypttab_mapping_name() {
    std::string name;
    (void)for_each_file_line("/etc/crypttab", 4096, [&name](const char* text) {
        std::string line(text);
        line.erase(std::min(line.find('#'), line.size()));
        for (char& c : line) {
            if (c == '\t')
                c = ' ';
        }
        char field[255];
        if (std::sscanf(line.c_str(), "%254s", field) == 1)
            name = field;
        return true;
    });
    return name;
}

}  // namespace

bool kernel_module_loaded(const char* module) noexcept {
    bool found = false;
    (void)for_each_file_line("/proc/modules", 255, [&](const char* line) {
        const std::size_t n = std::strcspn(line, " \n");
        found = n == std::strlen(module) && std::strncmp(line, module, n) == 0;
        return !found;
    });
    return found;
}

bool firewall_on() noexcept { return kernel_module_loaded("ip_tables"); }

bool iptables_listing_line(IptablesListing& listing, const char* piece) noexcept {
    if (listing.firewall_on)
        return false;
    const std::size_t length = std::strlen(piece);
    const bool continues = listing.mid_line;
    listing.mid_line = length == 0 || piece[length - 1] != '\n';
    // The rest of a line longer than the buffer: its first field was judged
    // with the line's first piece, and text such as a rule's comment is no
    // field of a rule.
    if (continues)
        return true;
    if (!listing.heading_seen) {
        constexpr char kHeading[] = "Chain INPUT";
        if (std::strstr(piece, kHeading) == nullptr)
            return true;
        const char* policy = std::strstr(piece + (sizeof kHeading - 1), "policy");
        if (policy == nullptr)
            return true;
        if (std::strstr(policy + 6, "ACCEPT") == nullptr)
            listing.firewall_on = true;
        else
            listing.heading_seen = true;
        return !listing.firewall_on;
    }
    const char* field = piece + std::strspn(piece, " ");
    const std::size_t n = std::strcspn(field, " \n");
    const auto is = [&](const char* word) { return n == std::strlen(word) && std::strncmp(field, word, n) == 0; };
    if (n > 0 && !is("target") && !is("ACCEPT"))
        listing.firewall_on = true;
    return !listing.firewall_on;
}

bool firewall_rules_active() noexcept {
    IptablesListing listing;
    (void)for_each_command_line("/sbin/iptables -L INPUT", kIptablesLineSize,
                                [&listing](const char* piece) { return iptables_listing_line(listing, piece); });
    return listing.firewall_on;
}

bool selinux_enforcing() noexcept {
    bool enabled = false, enforcing = false;
    (void)for_each_command_line("/usr/sbin/sestatus", 256, [&](const char* line) {
        if (std::strstr(line, "SELinux status:") != nullptr && std::strstr(line, "enabled") != nullptr)
            enabled = true;
        if (std::strstr(line, "Current mode:") != nullptr && std::strstr(line, "enforcing") != nullptr)
            enforcing = true;
        return true;
    });
    return enabled && enforcing;
}

bool disk_encryption_enabled() noexcept {
    const std::string name = crypttab_mapping_name();
    // A name that is unsafe in the command or the path cannot be a mapping
    // this check looks at.
    if (!safe_mapping_name(name) || !kernel_module_loaded("dm_crypt"))
        return false;
    if (::access(("/dev/mapper/" + name).c_str(), F_OK) != 0)
        return false;
    char command[300];
    std::snprintf(command, sizeof command, "/sbin/dmsetup status %s", name.c_str());
    bool crypt = false;
    (void)for_each_command_line(command, 256, [&crypt](const char* line) {
        crypt = std::strstr(line, "crypt") != nullptr;
        return !crypt;
    });
    return crypt;
}

}  // namespace kv::helper
