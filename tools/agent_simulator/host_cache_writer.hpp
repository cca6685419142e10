// The HostCache files the simulated agent writes for the front ends: sample
// scenarios, and the effect of a quarantine or waive command.
#pragma once

#include <string>

namespace kv::sim {

// Writes the HostCache files of scenario `name` ("sample", "empty", or
// "details": every case the tray's details window distinguishes) into
// `dir`. 0, -EINVAL for an unknown scenario, or -errno.
int write_scenario(const std::string& dir, const std::string& name);

enum class ThreatAction { quarantine, waive };

// Applies `action` to the file_states.log record whose "ID" equals `id`
// ignoring case: sets its state, rewrites file_states.log, writes the
// matching Threat event as the only record of file_process_events.log and
// MessageMask 0x1 to header.log, each file atomically. 0, -ENOENT when no
// record has that ID, or -errno.
int apply_threat_action(const std::string& dir, ThreatAction action, const std::string& id);

}  // namespace kv::sim
