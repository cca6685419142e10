// Updater launch: the working-directory change happens inside the command,
// never in this (threaded) process; only the return directory is entered
// afterwards, as the caller asks.
#include "updater_launch.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "log.hpp"
#include "shell_text.hpp"

namespace kv::helper {
namespace {

bool present(const char* text) noexcept { return text != nullptr && text[0] != '\0'; }

// The updater runs as root from its directory: it must be an executable
// regular file (not a link) in a real directory that neither group nor
// others may write, else anyone could put a program there.
bool updater_is_trusted(const std::string& updater) noexcept {
    struct stat dir {}, file {};
    if (::lstat(kUpdaterDir, &dir) != 0 || !S_ISDIR(dir.st_mode) || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    return ::lstat(updater.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
           (file.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

}  // namespace

int start_updater(const char* marker, const char* return_dir, const char* first, const char* second) noexcept {
    KV_LOG_INFO("Starting StartKvUpdater...");
    if (!present(marker) || !present(return_dir) || !present(first) || !present(second)) {
        KV_LOG_INFO("StartKvUpdater invalid arguments");
        return -EINVAL;
    }
    const std::string updater = std::string(kUpdaterDir) + "/" + kUpdaterName;
    if (!updater_is_trusted(updater)) {
        KV_LOG_ERROR("StartKvUpdater: %s is not an executable file in a protected directory", updater.c_str());
        return -EPERM;
    }
    // The updater's output goes away from the runner's pipe: it runs on in
    // the background.
    std::string command;
    if (format_command(&command, kCommandBound,
                       "cd %s || exit 1; export LD_LIBRARY_PATH=%s; %s/%s %s %s >/dev/null 2>&1 &",
                       {kUpdaterDir, kUpdaterDir, kUpdaterDir, kUpdaterName, first, second}) != 0) {
        KV_LOG_ERROR("StartKvUpdater: command refused, longer than %u bytes", kCommandBound);
        return -E2BIG;
    }
    KV_LOG_ERROR("Executing start updater command: %s", command.c_str());
    char output[kCommandOutputSize];
    const int status = execute_command(command.c_str(), output, sizeof output, nullptr);
    if (::chdir(return_dir) != 0)
        KV_LOG_ERROR("StartKvUpdater: failed to change directory to %s: %s", return_dir, std::strerror(errno));
    if (status == 0)
        return 0;
    return status < 0 ? -ECHILD : -status;
}

}  // namespace kv::helper
