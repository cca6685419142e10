// Checked use of translations as formats.
#include "translated_format.hpp"

#include <glib/gi18n.h>

#include <cstdio>
#include <cstring>

namespace kv::ui {

bool format_conversions(const char* format, std::string* ret_conversions) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == '%')
            continue;
        // Flags, then width and precision (digits only; '$' and '*' refused).
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr)
            ++p;
        while (*p >= '0' && *p <= '9')
            ++p;
        if (*p == '$' || *p == '*')
            return false;
        if (*p == '.') {
            ++p;
            if (*p == '*')
                return false;
            while (*p >= '0' && *p <= '9')
                ++p;
        }
        std::string spec;
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr)
            spec += *p++;
        if (*p == '\0' || *p == 'n' || std::strchr("diouxXeEfFgGaAcsp", *p) == nullptr)
            return false;
        spec += *p;
        if (!out.empty())
            out += ',';
        out += spec;
    }
    *ret_conversions = out;
    return true;
}

const char* checked_translation(const char* msgid, const char* expected) {
    const char* translation = _(msgid);
    std::string conversions;
    if (translation == nullptr || !format_conversions(translation, &conversions) || conversions != expected)
        return nullptr;
    return translation;
}

std::string translated_format_s(const char* msgid, const char* argument) {
    const char* format = checked_translation(msgid, "s");
    if (format == nullptr)
        return msgid;
    // The format's only conversion was checked to take one string.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int needed = std::snprintf(nullptr, 0, format, argument);
    if (needed < 0)
        return msgid;
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    (void)std::snprintf(out.data(), out.size(), format, argument);
#pragma GCC diagnostic pop
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

}  // namespace kv::ui
