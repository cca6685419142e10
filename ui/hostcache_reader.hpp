// Reading what a MessageMask selects from the HostCache into plain records,
// with the change test of the three collection files. No GTK: this runs on
// the loader thread, and the main loop turns the records into rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json_fields.hpp"
#include "threat_event_text.hpp"

namespace kv::ui {

// Mask bits of the files the tray reads.
inline constexpr std::uint64_t kEventsMaskBits = 0x1 | 0x10 | 0x400;
// More records than this in one file make the file unusable (memory).
inline constexpr std::size_t kMaxRecordsPerFile = 400'000;

struct ThreatRecord {
    std::string path, id, score;
    std::int64_t state = 0;
};

struct ExploitRecord {
    std::string path;
    std::int64_t pid = 0, state = 0, count = 0;
};

// The remembered MD5 texts; the loader owns them while it reads.
struct HostCacheChecksums {
    std::string file_states, process_states, events;
};

struct HostCacheSnapshot {
    std::uint64_t mask = 0;
    bool header_failed = false;   // no mask to work with: nothing else was read

    bool threats_loaded = false;  // changed and parsed: replace the list
    std::vector<ThreatRecord> threats;
    bool has_scanner_state = false;
    std::int64_t scanner_state = 0;
    bool has_analyzed_count = false;
    std::int64_t analyzed_count = 0;
    bool exploits_loaded = false;
    std::vector<ExploitRecord> exploits;
    bool events_loaded = false;
    std::vector<EventRecord> events;
};

// A record file (a few fields) parsed whole; null, with the verbose
// "Unable to parse" line, when it cannot be read or does not parse.
svc::JsonPtr parse_record_file(const char* path) noexcept;

// Reads what `mask` selects (0: the mask of header.log) from `dir`, the
// verbose lines printed as it goes. Records that lack a field are left out.
void read_hostcache(const char* dir, std::uint64_t mask, HostCacheChecksums* sums, HostCacheSnapshot* ret_snapshot);

// The record readers over a collection text; false when the text does not
// parse to an object or has more than kMaxRecordsPerFile records.
bool read_threat_records(std::string_view text, std::vector<ThreatRecord>* ret_records);
bool read_exploit_records(std::string_view text, std::vector<ExploitRecord>* ret_records);
bool read_event_records(std::string_view text, std::vector<EventRecord>* ret_records);

}  // namespace kv::ui
