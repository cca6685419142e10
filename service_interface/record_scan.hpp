// Reading a large collection file (file_states.log can hold 100,000 records)
// record by record: the text is validated and split into its top-level
// members first, then each record is parsed on its own, so memory stays near
// the file's size instead of a whole parsed tree.
#pragma once

#include <json-c/json.h>

#include <string_view>

namespace kv::svc {

// Called with a member's name and its record (a JSON object); return false
// to stop.
using RecordVisitor = bool (*)(void* context, const char* name, const json_object* record);

enum class ScanResult {
    visited,       // the text is a JSON object; its object members were visited
    not_an_object, // it parses, but not to an object: nothing visited
    unreadable,    // missing, unreadable or not JSON: nothing visited
};

// Visits the object-valued members of the collection file at `path` in file
// order, with the same outcome as parsing the whole file with json-c and
// walking the result (the later of two members with one name wins, at the
// earlier's place). Texts the fast scanner does not handle (escaped or
// repeated names, nesting beyond json-c's depth, json-c's extensions) are
// parsed whole instead. Nothing is visited unless the whole text parses.
ScanResult scan_collection_file(const char* path, RecordVisitor visit, void* context);

// The same over a text already in memory.
ScanResult scan_collection_text(std::string_view text, RecordVisitor visit, void* context);

}  // namespace kv::svc
