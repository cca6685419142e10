// HostCache reading for the details window.
#include "hostcache_reader.hpp"

#include <string_view>

#include "host_cache.hpp"
#include "host_cache_change.hpp"
#include "json_fields.hpp"
#include "record_scan.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

template <class Record>
struct Collector {
    std::vector<Record>* records;
    bool too_many = false;
};

bool visit_threat(void* context, const char* name, const json_object* record) {
    auto* c = static_cast<Collector<ThreatRecord>*>(context);
    ThreatRecord r;
    if (svc::json_get_string(record, "ID", &r.id) != 0 || svc::json_get_string(record, "Score", &r.score) != 0 ||
        svc::json_get_int64(record, "State", &r.state) != 0)
        return true;
    if (c->records->size() >= kMaxRecordsPerFile) {
        c->too_many = true;
        return false;
    }
    r.path = name;
    c->records->push_back(std::move(r));
    return true;
}

bool visit_exploit(void* context, const char* name, const json_object* record) {
    auto* c = static_cast<Collector<ExploitRecord>*>(context);
    ExploitRecord r;
    if (svc::json_get_string(record, "Path", &r.path) != 0 || svc::json_get_int64(record, "PID", &r.pid) != 0 ||
        svc::json_get_int64(record, "State", &r.state) != 0 || svc::json_get_int64(record, "Count", &r.count) != 0) {
        verbose_print("error: failed to read values for: %s\n", name);
        return true;
    }
    if (c->records->size() >= kMaxRecordsPerFile) {
        c->too_many = true;
        return false;
    }
    c->records->push_back(std::move(r));
    return true;
}

bool visit_event(void* context, const char* name, const json_object* record) {
    auto* c = static_cast<Collector<EventRecord>*>(context);
    EventRecord r;
    if (svc::json_get_string(record, "When", &r.when) != 0 ||
        svc::json_get_string(record, "Category", &r.category) != 0 ||
        svc::json_get_int64(record, "Event", &r.event) != 0)
        return true;
    if (c->records->size() >= kMaxRecordsPerFile) {
        c->too_many = true;
        return false;
    }
    r.path = name;
    if (r.category == "Threat") {
        (void)svc::json_get_int64(record, "State", &r.state);
    } else if (r.category == "Exploit") {
        std::string path;
        if (svc::json_get_string(record, "Path", &path) == 0)
            r.path = std::move(path);
        (void)svc::json_get_int64(record, "ItemType", &r.item_type);
        (void)svc::json_get_int64(record, "PID", &r.pid);
    } else if (r.category == "AppControl") {
        r.event = r.event != 0 ? svc::kEventExecutionDenied : svc::kEventChangeDenied;
    }
    c->records->push_back(std::move(r));
    return true;
}

template <class Record>
bool read_records(std::string_view text, svc::RecordVisitor visit, std::vector<Record>* ret_records) {
    std::vector<Record> records;
    Collector<Record> collector{&records};
    if (svc::scan_collection_text(text, visit, &collector) != svc::ScanResult::visited || collector.too_many)
        return false;
    *ret_records = std::move(records);
    return true;
}

// The change test, then the records of a changed file; false when the file
// is unchanged or unusable (the list then stays as it is).
template <class Record>
bool read_changed(const std::string& path, std::string* sum, svc::RecordVisitor visit,
                  std::vector<Record>* ret_records) {
    std::string bytes;
    bool read_failed = false;
    if (svc::hostcache_file_changed_bytes(path.c_str(), sum, svc::kMaxCollectionFileBytes, &bytes, &read_failed) ==
        svc::FileChange::unchanged)
        return false;
    if (read_failed)
        return false;
    if (bytes.empty() || !read_records(bytes, visit, ret_records)) {
        verbose_print("Unable to parse '%s'\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

svc::JsonPtr parse_record_file(const char* path) noexcept {
    svc::JsonPtr parsed = svc::korvaneui_json_parse_file(path);
    if (parsed == nullptr)
        verbose_print("Unable to parse '%s'\n", path);
    return parsed;
}

bool read_threat_records(std::string_view text, std::vector<ThreatRecord>* ret_records) {
    return read_records(text, visit_threat, ret_records);
}
bool read_exploit_records(std::string_view text, std::vector<ExploitRecord>* ret_records) {
    return read_records(text, visit_exploit, ret_records);
}
bool read_event_records(std::string_view text, std::vector<EventRecord>* ret_records) {
    return read_records(text, visit_event, ret_records);
}

void read_hostcache(const char* dir, std::uint64_t mask, HostCacheChecksums* sums, HostCacheSnapshot* ret) {
    const std::string d = dir;
    *ret = HostCacheSnapshot{};
    if (mask == 0) {
        const svc::JsonPtr header = parse_record_file((d + "/header.log").c_str());
        std::int64_t value = 0;
        if (header == nullptr || svc::json_get_int64(header.get(), "MessageMask", &value) != 0) {
            ret->header_failed = true;
            return;
        }
        mask = static_cast<std::uint64_t>(value);
    }
    ret->mask = mask;
    verbose_print("mask = 0x%llX\n", static_cast<unsigned long long>(mask));
    if (mask & svc::kMaskFileStates)
        ret->threats_loaded = read_changed(d + "/file_states.log", &sums->file_states, visit_threat, &ret->threats);
    if (mask & svc::kMaskScannerState) {
        if (const svc::JsonPtr scanner = parse_record_file((d + "/scanner_state.log").c_str()))
            ret->has_scanner_state = svc::json_get_int64(scanner.get(), "ScannerState", &ret->scanner_state) == 0;
    }
    if (mask & svc::kMaskAnalysisCount) {
        if (const svc::JsonPtr count = parse_record_file((d + "/analysis_count.log").c_str())) {
            ret->has_analyzed_count = svc::json_get_int64(count.get(), "AnalyzedCount", &ret->analyzed_count) == 0;
            if (ret->has_analyzed_count)
                verbose_print("AnalyzedCount = %lld\n", static_cast<long long>(ret->analyzed_count));
        }
    }
    if (mask & svc::kMaskProcessStates)
        ret->exploits_loaded =
            read_changed(d + "/process_states.log", &sums->process_states, visit_exploit, &ret->exploits);
    if (mask & kEventsMaskBits)
        ret->events_loaded = read_changed(d + "/file_process_events.log", &sums->events, visit_event, &ret->events);
}

}  // namespace kv::ui
