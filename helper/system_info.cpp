// Machine identity and kernel facts from /etc, /var/lib/dbus, /sys and
// uname.
#include "system_info.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "file_open.hpp"

namespace kv::helper {
namespace {

constexpr std::size_t kMachineIdDigits = 32;
constexpr std::size_t kMachineGuidLength = 36;   // 8-4-4-4-12

bool all_hex(const char* s, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// Copies `text` into buffer[0..size), cut to size - 1 and terminated.
void copy_bounded(char* buffer, std::size_t size, const char* text) noexcept {
    const std::size_t n = strnlen(text, size - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

void machine_guid(char* buffer, std::size_t size) noexcept {
    if (size <= kMachineGuidLength)
        return;
    const char* path = ::access("/var/lib/dbus/machine-id", F_OK) == 0 ? "/var/lib/dbus/machine-id"
                                                                         : "/etc/machine-id";
    if (read_first_line(path, buffer, kMachineGuidLength + 1) != 0)
        return;
    buffer[kMachineIdDigits] = '\0';
    if (std::strlen(buffer) != kMachineIdDigits || !all_hex(buffer, kMachineIdDigits))
        return;
    // Regroup in place from the back: 8-4-4-4-12.
    static constexpr std::size_t kGroupEnds[] = {8, 12, 16, 20, 32};
    char digits[kMachineIdDigits];
    std::memcpy(digits, buffer, sizeof digits);
    std::size_t out = 0, from = 0;
    for (std::size_t g = 0; g < sizeof kGroupEnds / sizeof kGroupEnds[0]; ++g) {
        if (g > 0)
            buffer[out++] = '-';
        std::memcpy(buffer + out, digits + from, kGroupEnds[g] - from);
        out += kGroupEnds[g] - from;
        from = kGroupEnds[g];
    }
    buffer[out] = '\0';
}

void dmi_value(const char* file, char* buffer, std::size_t size) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/class/dmi/id/%s", file);
    if (read_first_line(path, buffer, size) != 0)
        return;
    buffer[std::strcspn(buffer, "\n")] = '\0';
}

}  // namespace

void platform_property(const char* name, char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size == 0)
        return;
    std::memset(buffer, 0, size);
    if (name == nullptr)
        return;
    if (std::strcmp(name, "MachineGuid") == 0)
        machine_guid(buffer, size);
    else if (std::strcmp(name, "SystemSerialNumber") == 0)
        dmi_value("product_serial", buffer, size);
    else if (std::strcmp(name, "SystemUUID") == 0)
        dmi_value("product_uuid", buffer, size);
}

void os_version(int* major, int* minor, int* patch, int* build) noexcept {
    if (major == nullptr || minor == nullptr || patch == nullptr || build == nullptr)
        return;
    char line[32];
    if (read_first_line("/proc/sys/kernel/osrelease", line, sizeof line) != 0)
        return;
    (void)std::sscanf(line, "%d.%d.%d-%d.%*s", major, minor, patch, build);
}

void system_architecture(char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size < 4)
        return;
    std::memset(buffer, 0, size);
    utsname u{};
    if (::uname(&u) == 0)
        copy_bounded(buffer, size, u.machine);
}

bool host_name(unsigned char full, char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size == 0)
        return false;
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        buffer[0] = '\0';
        return false;
    }
    if (full != 1)
        name[std::strcspn(name, ".")] = '\0';
    copy_bounded(buffer, size, name);
    return true;
}

int current_thread_id() noexcept { return static_cast<int>(::gettid()); }

}  // namespace kv::helper
