// Quoting and bounded formation of shell command texts.
#include "shell_text.hpp"

#include <cerrno>

namespace kv::helper {

std::string shell_quote(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (const char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

bool is_safe_name(std::string_view name) noexcept {
    if (name.empty() || name.front() == '-')
        return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

int format_command(std::string* ret, std::size_t bound, const char* format,
                   std::initializer_list<ShellArg> args) {
    if (ret == nullptr || format == nullptr)
        return -EINVAL;
    std::string out;
    auto next = args.begin();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '\0')
            return -EINVAL;
        if (*p == '%') {
            out += '%';
            continue;
        }
        if (next == args.end())
            return -EINVAL;
        if (*p == 's' && !next->is_number())
            out += shell_quote(next->text());
        else if ((*p == 'd' || *p == 'i') && next->is_number())
            out += std::to_string(next->number());
        else
            return -EINVAL;
        ++next;
    }
    if (next != args.end())
        return -EINVAL;
    if (out.size() + 1 > bound)
        return -E2BIG;
    *ret = std::move(out);
    return 0;
}

}  // namespace kv::helper
