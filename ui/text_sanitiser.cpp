// Text sanitising, cutting and escaping.
#include "text_sanitiser.hpp"

#include <glib.h>

namespace kv::ui {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD

// Length of the valid UTF-8 sequence at `s`, or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are invalid).
std::size_t valid_sequence(const unsigned char* s, std::size_t n) noexcept {
    const unsigned char c = s[0];
    if (c >= 0x01 && c < 0x80)
        return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (std::size_t i = 2; i < len; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return len;
}

}  // namespace

std::string sanitise_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t len = valid_sequence(s + i, text.size() - i);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.data() + i, len);
            i += len;
        }
    }
    return out;
}

void utf8_cut(std::string* text, std::size_t max_bytes) noexcept {
    if (text->size() <= max_bytes)
        return;
    std::size_t end = max_bytes;
    // Back up over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80)
        --end;
    text->resize(end);
}

std::string markup_escape(std::string_view text) {
    gchar* escaped = g_markup_escape_text(text.data(), static_cast<gssize>(text.size()));
    std::string out = escaped != nullptr ? escaped : "";
    g_free(escaped);
    return out;
}

std::string_view last_path_component(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kv::ui
