// Persistence of the simulated agent's state.
#include "agent_state.hpp"

#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "json_fields.hpp"

namespace kv::sim {

AgentState load_state(const std::string& path) {
    AgentState state;
    const svc::JsonPtr root{json_object_from_file(path.c_str())};
    if (root == nullptr)
        return state;
    std::string text;
    std::int64_t number = 0;
    if (svc::json_get_string(root.get(), "policy_name", &text) == 0)
        state.policy_name = text;
    if (svc::json_get_string(root.get(), "policy_mode", &text) == 0)
        state.policy_mode = text;
    if (svc::json_get_string(root.get(), "policy_notifications", &text) == 0)
        state.policy_notifications = text;
    if (svc::json_get_string(root.get(), "policy_time", &text) == 0)
        state.policy_time = text;
    if (svc::json_get_int64(root.get(), "log_level", &number) == 0)
        state.log_level = static_cast<std::uint32_t>(number);
    if (svc::json_get_int64(root.get(), "driver_connected", &number) == 0)
        state.driver_connected = number != 0;
    if (svc::json_get_int64(root.get(), "background_scan", &number) == 0)
        state.background_scan = number != 0;
    json_object* scans = nullptr;
    if (json_object_object_get_ex(root.get(), "queued_scans", &scans) && json_object_is_type(scans, json_type_array)) {
        for (std::size_t i = 0; i < json_object_array_length(scans); ++i) {
            json_object* item = json_object_array_get_idx(scans, i);
            if (json_object_is_type(item, json_type_string))
                state.queued_scans.emplace_back(json_object_get_string(item));
        }
    }
    return state;
}

int save_state(const AgentState& state, const std::string& path) {
    const svc::JsonPtr root{json_object_new_object()};
    json_object_object_add(root.get(), "policy_name", json_object_new_string(state.policy_name.c_str()));
    json_object_object_add(root.get(), "policy_mode", json_object_new_string(state.policy_mode.c_str()));
    json_object_object_add(root.get(), "policy_notifications",
                           json_object_new_string(state.policy_notifications.c_str()));
    json_object_object_add(root.get(), "policy_time", json_object_new_string(state.policy_time.c_str()));
    json_object_object_add(root.get(), "log_level", json_object_new_int64(state.log_level));
    json_object_object_add(root.get(), "driver_connected", json_object_new_int(state.driver_connected ? 1 : 0));
    json_object_object_add(root.get(), "background_scan", json_object_new_int(state.background_scan ? 1 : 0));
    json_object* scans = json_object_new_array();
    for (const auto& s : state.queued_scans)
        json_object_array_add(scans, json_object_new_string(s.c_str()));
    json_object_object_add(root.get(), "queued_scans", scans);
    return write_file_atomically(path, json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE));
}

int write_file_atomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -errno;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = errno;
            (void)close(fd);
            (void)unlink(temporary.c_str());
            return -e;
        }
        written += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int e = errno;
        (void)unlink(temporary.c_str());
        return -e;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = errno;
        (void)unlink(temporary.c_str());
        return -e;
    }
    return 0;
}

std::string now_text() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace kv::sim
