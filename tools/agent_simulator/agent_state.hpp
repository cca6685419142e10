// The simulated agent's own state, kept as JSON in its state directory and
// rewritten atomically (temporary file, then rename) on every change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::sim {

struct AgentState {
    std::string policy_name = "Default Policy";
    std::string policy_mode = "Local Policy";
    std::string policy_notifications = "OK";
    std::string policy_time = "2026-12-01 08:00:00";
    std::uint32_t log_level = 3;
    bool driver_connected = true;
    bool background_scan = false;
    std::vector<std::string> queued_scans;
};

// Reads `path`; a missing or unreadable file leaves the defaults.
AgentState load_state(const std::string& path);
// Writes `state` to `path` atomically; 0 or -errno.
int save_state(const AgentState& state, const std::string& path);

// Writes `text` to `path` through a temporary file and a rename; 0 or -errno.
int write_file_atomically(const std::string& path, const std::string& text);

// The local time as "YYYY-MM-DD hh:mm:ss".
std::string now_text();

}  // namespace kv::sim
