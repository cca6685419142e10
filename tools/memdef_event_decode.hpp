// Validation and JSON rendering of a decrypted memory-defence event file,
// shared by the event reader and its fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::tools {

// Checks magic, kind/flag, length, trailer, padding and the parameter list
// of the plain image `d`. Returns "" and the event as one JSON object, or
// the reason the image is invalid.
std::string decode_event(const std::vector<std::uint8_t>& d, std::string& ret_json);

}  // namespace kv::tools
