// The agent service's upstart job: start, stop, the running check, and the
// version log of a file.
#pragma once

namespace kv::helper {

// Whether a process of `pidof korvanesvc` runs the agent service's
// executable (logged either way).
bool agent_service_running() noexcept;

// Logs the "__version" text of `path`, or why it could not be read.
void log_file_version(const char* path) noexcept;

// "/sbin/initctl start korvanesvc": true when the service runs afterwards.
bool start_agent_service() noexcept;
// "/sbin/initctl stop korvanesvc": true when it is stopped (or was not
// running).
bool stop_agent_service() noexcept;

}  // namespace kv::helper
