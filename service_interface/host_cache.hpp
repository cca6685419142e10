// The agent's state files under /opt/korvane/HostCache: their paths, the
// codes inside them with their names, reading a file whole, and walking the
// records of a collection file in file order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_fields.hpp"

namespace kv::svc {

inline constexpr char kHostCacheDir[] = "/opt/korvane/HostCache";
inline constexpr char kFileStatesPath[] = "/opt/korvane/HostCache/file_states.log";
inline constexpr char kHeaderPath[] = "/opt/korvane/HostCache/header.log";
inline constexpr char kProcessStatesPath[] = "/opt/korvane/HostCache/process_states.log";
inline constexpr char kFileProcessEventsPath[] = "/opt/korvane/HostCache/file_process_events.log";
inline constexpr char kScannerStatePath[] = "/opt/korvane/HostCache/scanner_state.log";
inline constexpr char kAnalysisCountPath[] = "/opt/korvane/HostCache/analysis_count.log";
inline constexpr char kExeBlockedPath[] = "/opt/korvane/HostCache/exe_blocked.log";
inline constexpr char kAppControlBlockPath[] = "/opt/korvane/HostCache/app_control_block.log";
inline constexpr char kProcessTerminatedPath[] = "/opt/korvane/HostCache/process_terminated.log";
inline constexpr char kProcessBlockedPath[] = "/opt/korvane/HostCache/process_blocked.log";
inline constexpr char kAnalyzerStatusBPath[] = "/opt/korvane/HostCache/analyzer_statusB.log";
inline constexpr char kAnalyzerStatusPath[] = "/opt/korvane/HostCache/analyzer_status.log";

// FileState: bit set, field "State" of file_states.log and of Threat events.
enum FileState : std::uint32_t {
    kFileUnsafe = 1,
    kFileAbnormal = 2,
    kFileWaived = 4,
    kFileQuarantined = 8,
    kFileRunning = 16,
};

// ProcessAction: field "State" of process_states.log, "Event" of Exploits.
enum ProcessAction : std::uint32_t {
    kActionAlert = 0,
    kActionIgnored = 1,
    kActionBlocked = 2,
    kActionTerminated = 3,
    kActionUnknown = 4,
};

// EventFlags: bit set, field "Event" of Threat events.
enum EventFlags : std::uint32_t {
    kEventDetected = 1,
    kEventQuarantined = 2,
    kEventWaived = 4,
    kEventRemoved = 8,
    kEventStateChange = 16,
    kEventChangeDenied = 32,
    kEventExecutionDenied = 64,
};

// MessageMask: the only field of header.log.
enum MessageMask : std::uint64_t {
    kMaskFileStates = 0x1,      // file_states.log and file_process_events.log
    kMaskScannerState = 0x2,    // scanner_state.log
    kMaskAnalysisCount = 0x4,   // analysis_count.log
    kMaskProcessStates = 0x10,  // process_states.log and file_process_events.log
    kMaskEvents = 0x400,        // file_process_events.log
};

// One name for a FileState, by priority Quarantined, Waived, Abnormal,
// Unsafe; "Unknown" without any of those bits (untranslated msgids).
const char* state_label(std::uint32_t state) noexcept;
// "Alert" … "Unknown" for 0..4, null above.
const char* process_action_name(std::uint32_t action) noexcept;
// "Unknown", "StackPivot" … "DYLDInjection" for 0..23, null above.
const char* violation_type_name(std::uint32_t type) noexcept;

// Record files hold a few fields; the tray refuses larger ones rather than
// stall its main loop on them. Collection files are read off the main loop.
inline constexpr std::size_t kMaxRecordFileBytes = 1u << 20;
inline constexpr std::size_t kMaxCollectionFileBytes = 64u << 20;

// Reads the whole file at `path` into `ret_bytes` in one read. 0, -errno,
// -EIO on a short read, -EFBIG when it is larger than `max_bytes`.
int read_whole_file(const char* path, std::string* ret_bytes, std::size_t max_bytes = SIZE_MAX) noexcept;

// Reads the file whole (at most kMaxRecordFileBytes) and parses it with
// json-c's one-shot parser; null when it cannot be read or does not parse.
JsonPtr korvaneui_json_parse_file(const char* path) noexcept;

// Parses a text already read (it need not be NUL-terminated); null when it
// does not parse completely.
JsonPtr parse_json_bytes(std::string_view bytes) noexcept;

// Calls visit(name, record) for each member of a collection file's top
// object whose value is a JSON object, in file order; false from `visit`
// stops the walk. Nothing happens when `collection` is not an object.
template <class Visit>
void for_each_record(const json_object* collection, Visit&& visit) {
    if (collection == nullptr || !json_object_is_type(collection, json_type_object))
        return;
    json_object_object_foreach(const_cast<json_object*>(collection), name, record) {
        if (!json_object_is_type(record, json_type_object))
            continue;
        if (!visit(static_cast<const char*>(name), static_cast<const json_object*>(record)))
            return;
    }
}

}  // namespace kv::svc
