// Translations used as printf formats. A catalogue is outside input: its
// entry is used as a format only when its conversions are exactly the ones
// the caller passes, otherwise the untranslated msgid is shown as it is.
#pragma once

#include <string>

namespace kv::ui {

// The conversions of a printf format in order, each as its specifier
// without flags, width or precision ("%s%llu" gives "s,llu"); "%%" is not
// one. False when the format has one the checks do not allow: positional
// arguments, '*' widths, %n, or a '%' at the end.
bool format_conversions(const char* format, std::string* ret_conversions);

// The text of `msgid` in the "korvane" domain formatted with one string
// argument, when the translation has exactly one "%s"-type conversion;
// otherwise `msgid` itself, unformatted.
std::string translated_format_s(const char* msgid, const char* argument);

// The same check against `expected` (as format_conversions gives it); the
// translation when it passes, else null. For callers that format themselves.
const char* checked_translation(const char* msgid, const char* expected);

}  // namespace kv::ui
