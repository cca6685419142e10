// The self-extractor and the unpacking beside the archive, over a runner
// policy. GNU tar's defaults are what keep an untrusted archive inside its
// destination: leading '/' stripped from member and link names, members
// whose names hold ".." skipped (tar then fails), and symbolic links whose
// target is absolute or holds ".." created only after every other member,
// in place of a placeholder, so no member is written through them. Those
// defaults are never turned off here (-P, -h, --keep-directory-symlink).
// "--force-local": a name with a colon is a file, never a remote archive.
#include "archive_extract.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "log.hpp"
#include "shell_text.hpp"

namespace kv::helper {
namespace {

constexpr int kLogError = LOG_DAEMON | LOG_ERR;

// The first line as the log shows it: up to its line feed.
std::string shown(const std::string& line) { return line.substr(0, line.find('\n')); }

}  // namespace

CommandReport run_through_execute_command(const char* text) noexcept {
    CommandReport report;
    char output[kCommandOutputSize] = "";
    const int status = execute_command(text, output, sizeof output, nullptr);
    // execute_command leaves its own text when the shell could not start.
    static constexpr char kNotStarted[] = "popen failed for cmd ";
    report.started = !(status == -1 && std::strncmp(output, kNotStarted, sizeof kNotStarted - 1) == 0);
    report.status = status;
    report.first_line = output;
    return report;
}

bool command_succeeded(const ExtractPolicy& policy, const CommandReport& report) noexcept {
    if (!report.started || report.status != 0)
        return false;
    return policy.success == SuccessRule::status_zero || report.first_line.empty();
}

int self_extract(const ExtractPolicy& policy, const char* command, const char* archive,
                 const char* destination) noexcept {
    if (command == nullptr) {
        log_as(policy.ident, kLogError, "invalid extractor parameter");
        return -EINVAL;
    }
    const CommandReport first = policy.run(command);
    if (!command_succeeded(policy, first)) {
        log_as(policy.ident, kLogError, "%s failed:%s", command, shown(first.first_line).c_str());
        return -EIO;
    }
    if (archive == nullptr)
        return 0;
    struct stat st {};
    if (::stat(archive, &st) != 0) {
        log_as(policy.ident, kLogError, "%s not found", archive);
        return -ENOENT;
    }
    if (destination == nullptr)
        return 0;
    std::string tar;
    if (format_command(&tar, kCommandBound, "/bin/tar -xf %s -C %s --no-same-owner --force-local",
                       {archive, destination}) != 0) {
        log_as(policy.ident, kLogError, "tar command for %s refused, longer than %u bytes", archive, kCommandBound);
        return -E2BIG;
    }
    const CommandReport unpacked = policy.run(tar.c_str());
    if (!command_succeeded(policy, unpacked)) {
        log_as(policy.ident, kLogError, "tar command (%s) failed: %s\n", tar.c_str(),
               shown(unpacked.first_line).c_str());
        return -EIO;
    }
    return 0;
}

int decompress_beside(const ExtractPolicy& policy, const char* archive) noexcept {
    if (archive == nullptr)
        return -EINVAL;
    const std::string path(archive);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return -EINVAL;
    const std::string directory = path.substr(0, slash + 1);
    const std::size_t dot = path.rfind('.');
    const bool gzip = policy.gzip_for_tgz && dot != std::string::npos && path.compare(dot + 1, std::string::npos, "tgz") == 0;
    const char* format = gzip ? "/bin/tar --no-same-owner --force-local -C %s -xzf %s 2>&1"
                              : "/bin/tar --no-same-owner --force-local -C %s -jxf %s 2>&1";
    std::string tar;
    if (format_command(&tar, kCommandBound, format, {directory, path}) != 0) {
        log_as(policy.ident, kLogError, "tar command for %s refused, longer than %u bytes", archive, kCommandBound);
        return -E2BIG;
    }
    return command_succeeded(policy, policy.run(tar.c_str())) ? 0 : -EIO;
}

}  // namespace kv::helper
