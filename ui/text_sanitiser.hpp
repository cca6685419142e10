// Texts from files and the service are arbitrary bytes: everything shown in a
// widget or a notification goes through here first. Also the UTF-8-aware cut
// of a text to a byte limit, markup escaping and the last path component.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv::ui {

// `text` as valid UTF-8: every byte that does not start or continue a valid
// sequence (and every NUL, which would end a C string early) becomes U+FFFD.
std::string sanitise_text(std::string_view text);

// Cuts `text` to at most `max_bytes`, never inside a UTF-8 sequence.
void utf8_cut(std::string* text, std::size_t max_bytes) noexcept;

// '<', '>', '&', '\'' and '"' as entities, for servers that read bodies as markup.
std::string markup_escape(std::string_view text);

// The text after the last '/' (the whole text when there is none).
std::string_view last_path_component(std::string_view path) noexcept;

}  // namespace kv::ui
