// JSON member lookups shared by the service client and the state-file readers.
#include "json_fields.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol.hpp"

namespace kv::svc {
namespace {

// The first member named exactly `name`, or null.
json_object* find_member(const json_object* object, const char* name) noexcept {
    if (object == nullptr || name == nullptr || !json_object_is_type(object, json_type_object))
        return nullptr;
    json_object_object_foreach(const_cast<json_object*>(object), key, value) {
        if (std::strcmp(key, name) == 0)
            return value;
    }
    return nullptr;
}

bool has_member(const json_object* object, const char* name) noexcept {
    if (object == nullptr || !json_object_is_type(object, json_type_object))
        return false;
    json_object_object_foreach(const_cast<json_object*>(object), key, value) {
        (void)value;
        if (std::strcmp(key, name) == 0)
            return true;
    }
    return false;
}

}  // namespace

JsonPtr json_parse_text(const char* text) noexcept {
    if (text == nullptr)
        return nullptr;
    return JsonPtr{json_tokener_parse(text)};
}

int json_get_string(const json_object* object, const char* name, std::string* ret_text) noexcept {
    json_object* member = find_member(object, name);
    if (member == nullptr)   // a JSON null member is stored as a null value
        return has_member(object, name) ? -EINVAL : -ENOENT;
    if (!json_object_is_type(member, json_type_string))
        return -EINVAL;
    const char* text = json_object_get_string(member);
    const int length = json_object_get_string_len(member);
    if (text == nullptr || length < 0)
        return -EINVAL;
    // json-c keeps strings with embedded NULs; the copy ends at the first one.
    const std::size_t n = strnlen(text, static_cast<std::size_t>(length));
    ret_text->assign(text, n);
    return 0;
}

int json_get_int64(const json_object* object, const char* name, std::int64_t* ret_value) noexcept {
    json_object* member = find_member(object, name);
    if (member == nullptr)
        return has_member(object, name) ? -EINVAL : -ENOENT;
    if (json_object_is_type(member, json_type_int)) {
        errno = 0;
        const std::int64_t v = json_object_get_int64(member);
        if (v == 0 && errno != 0)
            return -EINVAL;
        *ret_value = v;
        return 0;
    }
    if (json_object_is_type(member, json_type_string)) {
        const char* text = json_object_get_string(member);
        *ret_value = text != nullptr ? std::strtoll(text, nullptr, 10) : 0;
        return 0;
    }
    return -EINVAL;
}

std::string json_escape_value(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool isReplyOk(const char* reply) noexcept {
    const JsonPtr parsed = json_parse_text(reply);
    std::string resp;
    return json_get_string(parsed.get(), kReplyResult, &resp) == 0 && resp == kReplyOk;
}

}  // namespace kv::svc
