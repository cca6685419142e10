// The texts of the details window's rows: a file state, a process action,
// the type of a Threat or AppControl event, and the type and details of
// every event row. Translated in the "korvane" domain; pure otherwise.
#pragma once

#include <cstdint>
#include <string>

namespace kv::ui {

// Translated name of a FileState by priority (Quarantined, Waived,
// Abnormal, Unsafe, else Unknown).
std::string threat_state_text(std::uint32_t state);
// Translated ProcessAction name; "" above 4.
std::string action_text(std::uint64_t action);

// The type text of a Threat or AppControl event from the low 32 bits of
// `event`; at most 63 bytes, cut on a character boundary.
std::string threat_event_text(std::uint64_t event, std::uint64_t state);

// One event as read from file_process_events.log ("AppControl" events
// already carry 32 or 64 in `event`).
struct EventRecord {
    std::string path;   // the member name, or "Path" of an Exploit
    std::string when, category;
    std::int64_t event = 0, state = 0, item_type = 0, pid = 0;
};

struct EventRowTexts {
    std::string type, details;
};

// The type and details columns of `record`; false for a category that gets
// no row. The caller sanitises what it shows.
bool event_row_texts(const EventRecord& record, EventRowTexts* ret_texts);

}  // namespace kv::ui
