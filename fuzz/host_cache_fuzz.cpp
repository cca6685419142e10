// HostCache collection files from the agent: the record-by-record scan must
// never crash and must visit exactly what json-c's whole-text parse holds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host_cache.hpp"
#include "record_scan.hpp"

namespace {

void append(std::string* out, const char* name, const json_object* record) {
    *out += name;
    *out += '=';
    *out += json_object_to_json_string_ext(const_cast<json_object*>(record), JSON_C_TO_STRING_PLAIN);
    *out += ';';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string fast;
    const kv::svc::ScanResult r = kv::svc::scan_collection_text(
        text,
        [](void* context, const char* name, const json_object* record) {
            append(static_cast<std::string*>(context), name, record);
            return true;
        },
        &fast);
    const kv::svc::JsonPtr root = kv::svc::parse_json_bytes(text);
    std::string whole;
    kv::svc::for_each_record(root.get(), [&](const char* name, const json_object* record) {
        append(&whole, name, record);
        return true;
    });
    const bool parsed_object = root != nullptr && json_object_is_type(root.get(), json_type_object);
    if ((r == kv::svc::ScanResult::visited) != parsed_object || fast != whole)
        std::abort();
    return 0;
}
