// Package and driver-module commands run through the logged runner.
#include "package_manager.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "log.hpp"
#include "shell_text.hpp"

namespace kv::helper {
namespace {

constexpr int kLinePackageCommandFailed = 1011;
constexpr int kLinePackageManagerFailed = 1068;
constexpr std::size_t kPackageCommandBound = 2048;
constexpr char kNoVersion[] = "0.0.0.0";

}  // namespace

int run_package_command(const char* text) noexcept {
    if (text == nullptr)
        return -EINVAL;
    char output[kCommandOutputSize];
    const int status = execute_command(text, output, sizeof output, nullptr);
    if (status != 0) {
        KV_LOG_ERROR("KvHelper %s %d: %s ret=%d", "RunPackageCommand", kLinePackageCommandFailed, output, status);
        return -EIO;
    }
    return 0;
}

int run_package_manager(const char* action, const char* package, char* output, std::size_t size,
                        int kind) noexcept {
    if (output == nullptr || size == 0)
        return -EINVAL;
    output[0] = '\0';
    if (kind == 0)
        return -ENOSYS;
    if (kind != 1) {
        (void)std::snprintf(output, size, "%d package manager is not supported\n", kind);
        return -ENOTSUP;
    }
    if (action == nullptr || package == nullptr || *action == '\0' || *package == '\0') {
        KV_LOG_ERROR("KvHelper %s: invalid parameter", "RunPackageMgr");
        return -EINVAL;
    }
    // dpkg reads what follows "--" as packages, whatever their names.
    std::string command;
    if (format_command(&command, kPackageCommandBound, "dpkg %s -- %s 2>&1", {action, package}) != 0) {
        KV_LOG_ERROR("KvHelper %s: command refused, longer than %zu bytes", "RunPackageMgr", kPackageCommandBound);
        return -EINVAL;
    }
    // The whole output up to the buffer's size; dpkg is never cut off
    // while it writes (the rest is read and discarded), then reaped.
    const int status = execute_command_collecting(command.c_str(), output, size);
    if (status != 0) {
        KV_LOG_ERROR("KvHelper %s %d: ret=%d", "RunPackageMgr", kLinePackageManagerFailed, status);
        return -EIO;
    }
    return 0;
}

void package_version_text(const char* text, char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size == 0)
        return;
    char line[kCommandOutputSize] = "";
    const int status = text != nullptr ? execute_command(text, line, sizeof line, nullptr) : -1;
    line[std::strcspn(line, "\n")] = '\0';
    (void)std::snprintf(buffer, size, "%s", status == 0 && line[0] != '\0' ? line : kNoVersion);
}

bool driver_modules_loaded() noexcept {
    char output[kCommandOutputSize];
    return execute_command("lsmod | grep -w KvGuardDrvOpen", output, sizeof output, nullptr) == 0 &&
           execute_command("lsmod | grep -w KvGuardDrv", output, sizeof output, nullptr) == 0;
}

bool program_available(const char* name) noexcept {
    if (name == nullptr || !is_safe_name(name))
        return false;
    std::string command;
    if (format_command(&command, kCommandBound, "which -- %s", {name}) != 0)
        return false;
    char output[kCommandOutputSize];
    return execute_command(command.c_str(), output, sizeof output, nullptr) == 0;
}

}  // namespace kv::helper
