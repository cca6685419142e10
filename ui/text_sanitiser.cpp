// Text sanitising, cutting and escaping.
#include "text_sanitiser.hpp"

#include <glib.h>

#include "utf8_sequence.hpp"

namespace kv::ui {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD

}  // namespace

std::string sanitise_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const int len = utf8_sequence_length(s, i, text.size());
        if (len <= 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.data() + i, static_cast<std::size_t>(len));
            i += static_cast<std::size_t>(len);
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
