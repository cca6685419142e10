// A desktop session's environment block (outside input) through the
// DISPLAY lookup and check, and the value quoted into a command: a value
// that passes holds only ':' digits '.', and every quoted text reads back
// as exactly the bytes that went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shell_text.hpp"
#include "tray_control.hpp"

namespace {

// What bash makes of a single-quoted word built by shell_quote.
std::string unquote(const std::string& quoted) {
    std::string out;
    bool inside = false;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        const char c = quoted[i];
        if (c == '\'') {
            inside = !inside;
        } else if (!inside && c == '\\' && i + 1 < quoted.size()) {
            out += quoted[++i];
        } else if (inside) {
            out += c;
        } else {
            std::abort();   // a character outside the quotes
        }
    }
    if (inside)
        std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    std::string value, display;
    if (kv::helper::display_in_environ(block, &value) == 0 &&
        kv::helper::local_display_value(value, &display) == 0) {
        if (display.empty() || display[0] != ':' ||
            display.find_first_not_of(":0123456789.") != std::string::npos || display.find(':', 1) != std::string::npos)
            std::abort();
    }
    const std::string text(block);
    if (unquote(kv::helper::shell_quote(text)) != text)
        std::abort();
    std::string command;
    if (kv::helper::format_command(&command, 256, "export DISPLAY=%s; x", {text}) == 0 && command.size() >= 256)
        std::abort();
    return 0;
}
