// UTF-8 repair: the same validity rules as the D-Bus wire format (shortest
// form, no surrogates, at most U+10FFFF, no NUL inside the text).
#include "utf8_text.hpp"

#include "utf8_sequence.hpp"

namespace kv::helper {

bool repair_utf8(char* text, std::size_t* length) noexcept {
    auto* s = reinterpret_cast<unsigned char*>(text);
    std::size_t n = *length;
    bool changed = false;
    for (std::size_t i = 0; i < n;) {
        const int len = utf8_sequence_length(s, i, n);
        if (len > 0) {
            i += static_cast<std::size_t>(len);
        } else if (len < 0) {
            n = i;                         // cut back to the last whole character
            changed = true;
        } else {
            s[i++] = '?';
            changed = true;
        }
    }
    text[n] = '\0';
    *length = n;
    return changed;
}

}  // namespace kv::helper
