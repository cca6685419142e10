// korvanectl's result reporting: each action's outcome as its exact text
// line (results on standard output, errors on standard error), or, with
// --json, as one JSON object per action on standard output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_fields.hpp"

namespace kv::ctl {

enum class OutputMode { text, json };

void set_output_mode(OutputMode mode);
OutputMode output_mode();

// The text a printf format gives.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD: JSON texts are UTF-8, file paths need not be.
std::string valid_utf8(std::string_view text);

// One action's result. Members added are shown only in JSON; the text
// line given to the reporting call is what text mode prints.
class ActionResult {
public:
    explicit ActionResult(const char* action);

    ActionResult& add(const char* key, std::string_view value);
    ActionResult& add(const char* key, std::int64_t value);
    ActionResult& add(const char* key, svc::JsonPtr value);   // an object or array

    // Text: `line` on standard output. JSON: outcome "success".
    void success(const std::string& line);
    // Text: `line` on standard error. JSON: `outcome` and "error", the line
    // without its "error: " and newline.
    void failure(const char* outcome, const std::string& line);
    // Text: nothing. JSON: `outcome` alone.
    void quiet(const char* outcome);

private:
    void print_json(const char* outcome, const std::string* error_line);

    svc::JsonPtr object_;
};

}  // namespace kv::ctl
