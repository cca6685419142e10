// Result lines in text or JSON; json-c writes the JSON so that every value
// is escaped.
#include "cli_report.hpp"

#include <cstdarg>
#include <cstdio>

namespace kv::ctl {
namespace {

OutputMode g_mode = OutputMode::text;

constexpr std::string_view kErrorPrefix = "error: ";
constexpr char kReplacement[] = "\xef\xbf\xbd";   // U+FFFD

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_sequence_length(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80)
        return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xbf;   // the range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        n = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        n = 3;
        if (b0 == 0xe0) low = 0xa0;          // no overlong forms
        if (b0 == 0xed) high = 0x9f;         // no surrogates
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        n = 4;
        if (b0 == 0xf0) low = 0x90;
        if (b0 == 0xf4) high = 0x8f;         // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xbf))
            return 0;
    }
    return n;
}

}  // namespace

void set_output_mode(OutputMode mode) { g_mode = mode; }
OutputMode output_mode() { return g_mode; }

std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        (void)std::vsnprintf(out.data(), out.size(), format, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t n = utf8_sequence_length(text);
        if (n == 0) {
            out += kReplacement;
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

ActionResult::ActionResult(const char* action) : object_(json_object_new_object()) {
    add("action", action);
}

ActionResult& ActionResult::add(const char* key, std::string_view value) {
    const std::string text = valid_utf8(value);
    (void)json_object_object_add(object_.get(), key, json_object_new_string_len(text.data(), static_cast<int>(text.size())));
    return *this;
}

ActionResult& ActionResult::add(const char* key, std::int64_t value) {
    (void)json_object_object_add(object_.get(), key, json_object_new_int64(value));
    return *this;
}

ActionResult& ActionResult::add(const char* key, svc::JsonPtr value) {
    (void)json_object_object_add(object_.get(), key, value.release());
    return *this;
}

void ActionResult::print_json(const char* outcome, const std::string* error_line) {
    add("outcome", outcome);
    if (error_line != nullptr) {
        std::string_view e = *error_line;
        if (e.substr(0, kErrorPrefix.size()) == kErrorPrefix)
            e.remove_prefix(kErrorPrefix.size());
        if (!e.empty() && e.back() == '\n')
            e.remove_suffix(1);
        add("error", e);
    }
    std::printf("%s\n", json_object_to_json_string_ext(object_.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
}

void ActionResult::success(const std::string& line) {
    if (g_mode == OutputMode::json)
        print_json("success", nullptr);
    else
        std::fputs(line.c_str(), stdout);
}

void ActionResult::failure(const char* outcome, const std::string& line) {
    if (g_mode == OutputMode::json)
        print_json(outcome, &line);
    else
        std::fputs(line.c_str(), stderr);
}

void ActionResult::quiet(const char* outcome) {
    if (g_mode == OutputMode::json)
        print_json(outcome, nullptr);
}

}  // namespace kv::ctl
