// Makes a text valid UTF-8 before it is handed to libdbus, which aborts the
// process on invalid strings.
#pragma once

#include <cstddef>

namespace kv::helper {

// Repairs text[0..*length) in place: an incomplete sequence at the end is
// cut off (a cut at a buffer's capacity may split a character), any other
// byte that does not belong to a valid sequence becomes '?'. The text is
// terminated at the new *length. Returns true when anything changed.
bool repair_utf8(char* text, std::size_t* length) noexcept;

}  // namespace kv::helper
