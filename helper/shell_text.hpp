// Shell command texts formed from fixed formats and outside values: every
// inserted value single-quoted for bash, names checked before they become
// operands, and texts that would exceed their bound refused, never cut.
// Shared by both helper libraries.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kv::helper {

// `value` as one bash word: in single quotes, each embedded ' as '\''.
std::string shell_quote(std::string_view value);

// Whether `name` (a user, group or module name) may become an operand: not
// empty, not starting with '-' (it would be read as an option), no control
// characters.
bool is_safe_name(std::string_view name) noexcept;

// One value for format_command: a text (inserted quoted) or a number.
class ShellArg {
public:
    ShellArg(const char* text) noexcept : text_(text != nullptr ? text : ""), is_number_(false) {}
    ShellArg(std::string_view text) noexcept : text_(text), is_number_(false) {}
    ShellArg(const std::string& text) noexcept : text_(text), is_number_(false) {}
    ShellArg(int number) noexcept : number_(number) {}
    ShellArg(long number) noexcept : number_(number) {}
    ShellArg(long long number) noexcept : number_(number) {}
    ShellArg(unsigned number) noexcept : number_(number) {}

    bool is_number() const noexcept { return is_number_; }
    std::string_view text() const noexcept { return text_; }
    long long number() const noexcept { return number_; }

private:
    std::string_view text_;
    long long number_ = 0;
    bool is_number_ = true;
};

// Forms `format` with each "%s" replaced by the next text argument quoted
// (shell_quote) and each "%d" / "%i" by the next number; "%%" is '%'.
// 0; -E2BIG when the text and its terminator would not fit in `bound`
// bytes; -EINVAL when the arguments do not match the format. *ret is
// written only on success.
int format_command(std::string* ret, std::size_t bound, const char* format,
                   std::initializer_list<ShellArg> args);

}  // namespace kv::helper
