// Driver control through loadmodule.sh, modprobe, uname and lsmod.
#include "driver_control.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "log.hpp"
#include "security_state.hpp"
#include "service_control.hpp"
#include "shell_text.hpp"

namespace kv::helper {
namespace {

constexpr char kStartDriver[] = "StartKvDriver";
constexpr int kLineLoaderFailed = 668;
constexpr int kLineFirstModuleFailed = 674;
constexpr int kLineSecondModuleFailed = 681;

// Logs the version of each loaded driver module's file.
void log_module_versions() {
    char release[kCommandOutputSize];
    if (execute_command("uname -r", release, sizeof release, nullptr) != 0)
        return;
    release[std::strcspn(release, "\n")] = '\0';
    (void)for_each_output_line("lsmod | egrep -i \"^kvguarddrv|^korvanedrv\" | awk '{ print $1}'", 512,
                               [&release](const char* line) {
                                   std::string module(line);
                                   module.erase(std::min(module.find('\n'), module.size()));
                                   // A name is one path component below the release.
                                   if (is_safe_name(module) && module.find('/') == std::string::npos) {
                                       const std::string path =
                                           std::string("/lib/modules/") + release + "/extra/" + module + ".ko";
                                       log_file_version(path.c_str());
                                   }
                                   return true;
                               });
}

}  // namespace

bool start_driver() noexcept {
    KV_LOG_INFO("KvHelper: StartKvDriver ...");
    char output[kCommandOutputSize];
    struct stat st {};
    if (::stat(kDriverSourceDir, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (execute_command("/usr/src/KvGuardDrv-1.2/loadmodule.sh &> /dev/null", output, sizeof output,
                            nullptr) == 0)
            return true;
        KV_LOG_ERROR("%s %d: error calling loadmodule.sh %s", kStartDriver, kLineLoaderFailed, output);
        return false;
    }
    if (execute_command("/sbin/modprobe kvguardopen 2>&1", output, sizeof output, nullptr) != 0) {
        KV_LOG_ERROR("KvHelper %s %d: %s", kStartDriver, kLineFirstModuleFailed, output);
        return false;
    }
    if (execute_command("/sbin/modprobe kvguard 2>&1", output, sizeof output, nullptr) != 0) {
        KV_LOG_ERROR("KvHelper %s %d: %s", kStartDriver, kLineSecondModuleFailed, output);
        return false;
    }
    return true;
}

bool driver_loaded() noexcept {
    // The module's own name field, compared whole: a module whose name is
    // only a prefix of the driver's is another module.
    const bool loaded = kernel_module_loaded(kDriverModule);
    KV_LOG_ERROR("KvHelper: Verification - driver '%s' is %s", kDriverModule, loaded ? "running" : "removed");
    return loaded;
}

bool stop_driver() noexcept {
    KV_LOG_INFO("KvHelper: StopKvDriver ...");
    log_module_versions();
    char output[kCommandOutputSize];
    if (execute_command("/sbin/modprobe -r kvguard 2>&1", output, sizeof output, nullptr) != 0) {
        KV_LOG_ERROR("KvHelper: StopKvDriver - failed to stop driver, msg = %s", output);
        return false;
    }
    return !driver_loaded();
}

}  // namespace kv::helper
