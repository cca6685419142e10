// Owner changes through sudo/chown and who, and the plain chown(2).
#include "file_owner.hpp"

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

int change_owner_group(const char* path, const char* user, const char* group) noexcept {
    // A user or group read as an option, or with control characters, is as
    // invalid as an empty one.
    if (path == nullptr || user == nullptr || group == nullptr || *path == '\0' || !is_safe_name(user) ||
        !is_safe_name(group)) {
        KV_LOG_ERROR("ChangeFileOwnerGroup: invalid parameter.");
        return -EINVAL;
    }
    struct stat st {};
    if (::stat(path, &st) != 0) {
        const int error = errno;
        KV_LOG_ERROR("ChangeFileOwnerGroup: stat failed.");
        return -error;
    }
    const bool is_dir = S_ISDIR(st.st_mode);
    KV_LOG_INFO("ChangeFileOwnerGroup: file(%s), isDir(%i).", path, is_dir ? 1 : 0);
    std::string command;
    if (format_command(&command, kCommandBound,
                       is_dir ? "/usr/bin/sudo /bin/chown -R -- %s:%s %s" : "/usr/bin/sudo /bin/chown -- %s:%s %s",
                       {user, group, path}) != 0) {
        KV_LOG_ERROR("ChangeFileOwnerGroup: command refused, longer than %u bytes", kCommandBound);
        return -EINVAL;
    }
    char output[kCommandOutputSize];
    const int status = execute_command(command.c_str(), output, sizeof output, nullptr);
    KV_LOG_INFO("ChangeFileOwnerGroup: return (%i), cmd(%s).", status, command.c_str());
    return status == 0 ? 0 : -EIO;
}

int change_owner_to_login_user(const char* path) noexcept {
    if (path == nullptr || *path == '\0')
        return -EINVAL;
    char line[kCommandOutputSize];
    const int who = execute_command("/usr/bin/who -m", line, sizeof line, nullptr);
    if (who == -1)
        return -EIO;
    line[std::strcspn(line, " \t\n")] = '\0';
    if (!is_safe_name(line)) {
        KV_LOG_ERROR("ChangeFileOwnerToCurrentUser: no user found for %s", path);
        return -EINVAL;
    }
    std::string command;
    if (format_command(&command, kCommandBound, "/bin/chown -- %s %s", {line, path}) != 0) {
        KV_LOG_ERROR("ChangeFileOwnerToCurrentUser: command refused, longer than %u bytes", kCommandBound);
        return -EINVAL;
    }
    char output[kCommandOutputSize];
    return execute_command(command.c_str(), output, sizeof output, nullptr) == 0 ? 0 : -EIO;
}

int change_owner_ids(const char* path, uid_t uid, gid_t gid) noexcept {
    return ::chown(path, uid, gid) == 0 ? 0 : -errno;
}

}  // namespace kv::helper
