// korvanectl's actions: each sends its command through the service client
// (or reads file_states.log) and prints one result line, or one error line
// on standard error.
#pragma once

#include <cstdint>

namespace kv::ctl {

// True for the effective user root; otherwise prints the error line.
bool check_root();

// True when file_states.log holds a record whose "ID" equals `id` ignoring
// ASCII case.
bool threat_id_known(const char* id);

void action_status();
void action_check_updates();
void action_start_background_scan();
void action_stop_background_scan();
void action_scan_directory(const char* directory);
void action_get_log_level();
void action_set_log_level(std::uint32_t level);
// The result of a set-log-level option whose argument holds no number.
void report_invalid_log_level(const char* text);
void action_get_policy_time();
void action_check_policy();
void action_list_threats();
void action_quarantine(const char* id);
void action_waive(const char* id);

}  // namespace kv::ctl
