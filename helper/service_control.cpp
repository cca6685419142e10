// Service start and stop through upstart's initctl, judged by its first
// output line and by the running check over pidof and /proc/<pid>/cmdline.
#include "service_control.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_runner.hpp"
#include "control_paths.hpp"
#include "elf_version.hpp"
#include "file_open.hpp"
#include "log.hpp"

namespace kv::helper {

bool agent_service_running() noexcept {
    char output[1024];
    if (execute_command("pidof korvanesvc", output, sizeof output, nullptr) == 0) {
        char* save = nullptr;
        for (char* field = ::strtok_r(output, " \n", &save); field != nullptr;
             field = ::strtok_r(nullptr, " \n", &save)) {
            const int pid = std::atoi(field);
            if (pid < 1)
                continue;
            char path[64], first_argument[kCommandOutputSize];
            std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
            // The first line of cmdline is its first NUL-terminated argument.
            if (read_first_line(path, first_argument, sizeof first_argument) == 0 &&
                std::strstr(first_argument, kAgentServicePath) != nullptr) {
                KV_LOG_ERROR("KvHelper: Verification - korvanesvc (PID=%d) is running.", pid);
                return true;
            }
        }
    }
    KV_LOG_ERROR("KvHelper: Verification - korvanesvc is stopped.");
    return false;
}

void log_file_version(const char* path) noexcept {
    char version[64];
    const int status = elf_version_string(path, version, sizeof version, ElfMessages::logged);
    if (status == 0)
        KV_LOG_ERROR("KvHelper: File '%s', version=%s", path, version);
    else
        KV_LOG_ERROR("KvHelper: File '%s'. Failed to get file version, status=%d", path, status);
}

bool start_agent_service() noexcept {
    KV_LOG_INFO("KvHelper: StartKvService ...");
    log_file_version(kAgentServicePath);
    char output[kCommandOutputSize];
    if (execute_command("/sbin/initctl start korvanesvc 2>&1", output, sizeof output, nullptr) != 0) {
        KV_LOG_ERROR("KvHelper: Failed StartKvService");
        return false;
    }
    if (std::strstr(output, "korvanesvc start/running") == nullptr &&
        std::strstr(output, "Job is already running: korvanesvc") == nullptr)
        KV_LOG_ERROR("KvHelper: Failed StartKvService - msg = %s", output);
    return agent_service_running();
}

bool stop_agent_service() noexcept {
    KV_LOG_INFO("KvHelper: StopKvService ...");
    log_file_version(kAgentServicePath);
    if (!agent_service_running()) {
        KV_LOG_ERROR("KvHelper: StopKvService - korvane service is not running. Nothing to stop.");
        return true;
    }
    char output[kCommandOutputSize];
    if (execute_command("/sbin/initctl stop korvanesvc 2>&1", output, sizeof output, nullptr) == 0 &&
        std::strstr(output, "korvanesvc stop/waiting") != nullptr)
        return !agent_service_running();
    KV_LOG_ERROR("KvHelper: Failed StopKvService - msg = %s", output);
    return false;
}

}  // namespace kv::helper
