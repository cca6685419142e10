// Member lookups used for every JSON text the front ends read: service
// replies and the HostCache state files follow the same two rules.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>

#include "unique_handle.hpp"

namespace kv::svc {

inline void json_put(json_object* o) noexcept { (void)json_object_put(o); }
using JsonPtr = kv::UniquePtr<json_object, json_put>;

// Parses a NUL-terminated text with json-c's one-shot parser; null when it
// does not parse.
JsonPtr json_parse_text(const char* text) noexcept;

// The member `name` of `object` as a copy of its text. Fails with -EINVAL when
// `object` is not a JSON object or the member is not a string, -ENOENT when
// it is missing.
int json_get_string(const json_object* object, const char* name, std::string* ret_text) noexcept;

// The member `name` as a signed 64-bit number: a JSON integer as it is, a
// JSON string as base-10 text (text that is no number gives 0). Any other
// type fails with -EINVAL, a missing member with -ENOENT.
int json_get_int64(const json_object* object, const char* name, std::int64_t* ret_value) noexcept;

// `text` made safe to stand between the quotes of a JSON string: '"' and
// '\\' get a backslash, bytes below 0x20 become \u00XX; every other byte is
// kept, so a text that needs no escaping is returned unchanged.
std::string json_escape_value(const char* text);

// True when `reply` parses to a JSON object whose "RESP" is the string "OK".
bool isReplyOk(const char* reply) noexcept;

}  // namespace kv::svc
