// Collection files record by record: a strict JSON validator splits the top
// object into member spans; json-c parses each record span. Anything the
// validator does not take goes to the whole-text parse, which decides.
#include "record_scan.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "host_cache.hpp"
#include "unique_handle.hpp"

namespace kv::svc {
namespace {

// json-c refuses nesting deeper than its default depth (32); stay clear of
// the exact boundary and let the whole-text parse judge deep texts.
constexpr int kMaxFastDepth = 30;

struct Member {
    std::size_t key_begin, key_end;       // the name's bytes, without quotes
    std::size_t value_begin, value_end;   // the value's text
    bool is_object;
};

class Validator {
public:
    explicit Validator(std::string_view text) : s_(text) {}

    // Splits the top object into members; false when the fast path does not
    // apply (invalid, unusual or repeated names: decided by the slow path).
    bool split(std::vector<Member>* members) {
        skip_ws();
        if (!eat('{'))
            return false;
        std::unordered_set<std::string_view> names;
        skip_ws();
        if (!eat('}')) {
            for (;;) {
                Member m{};
                if (!name(&m.key_begin, &m.key_end))
                    return false;
                if (!names.insert(s_.substr(m.key_begin, m.key_end - m.key_begin)).second)
                    return false;   // a repeated name: json-c's replacement rule applies
                skip_ws();
                if (!eat(':'))
                    return false;
                skip_ws();
                m.value_begin = i_;
                m.is_object = i_ < s_.size() && s_[i_] == '{';
                if (!value(2))
                    return false;
                m.value_end = i_;
                members->push_back(m);
                skip_ws();
                if (eat('}'))
                    break;
                if (!eat(','))
                    return false;
                skip_ws();
            }
        }
        skip_ws();
        return i_ == s_.size();   // trailing text: left to the slow path
    }

private:
    bool eat(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void skip_ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    // A member name without escapes (its bytes are its text).
    bool name(std::size_t* begin, std::size_t* end) {
        if (!eat('"'))
            return false;
        *begin = i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                *end = i_++;
                return true;
            }
            if (c == '\\' || c < 0x20 || c == 0x7f)
                return false;
            ++i_;
        }
        return false;
    }
    bool hex4() {
        for (int k = 0; k < 4; ++k, ++i_) {
            if (i_ >= s_.size())
                return false;
            const char c = s_[i_];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                return false;
        }
        return true;
    }
    bool string() {
        if (!eat('"'))
            return false;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (i_ >= s_.size())
                    return false;
                const char e = s_[i_++];
                if (e == 'u') {
                    if (!hex4())
                        return false;
                } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' &&
                           e != 't') {
                    return false;
                }
            }
        }
        return false;
    }
    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
            ++i_;
        return i_ > start;
    }
    bool number() {
        (void)eat('-');
        if (eat('0')) {
            if (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
                return false;
        } else if (!digits()) {
            return false;
        }
        if (eat('.') && !digits())
            return false;
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (!eat('+'))
                (void)eat('-');
            if (!digits())
                return false;
        }
        return true;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word)
            return false;
        i_ += word.size();
        return true;
    }
    bool value(int depth) {
        if (depth > kMaxFastDepth || i_ >= s_.size())
            return false;
        switch (s_[i_]) {
        case '{': {
            ++i_;
            skip_ws();
            if (eat('}'))
                return true;
            for (;;) {
                if (!string())
                    return false;
                skip_ws();
                if (!eat(':'))
                    return false;
                skip_ws();
                if (!value(depth + 1))
                    return false;
                skip_ws();
                if (eat('}'))
                    return true;
                if (!eat(','))
                    return false;
                skip_ws();
            }
        }
        case '[': {
            ++i_;
            skip_ws();
            if (eat(']'))
                return true;
            for (;;) {
                if (!value(depth + 1))
                    return false;
                skip_ws();
                if (eat(']'))
                    return true;
                if (!eat(','))
                    return false;
                skip_ws();
            }
        }
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

ScanResult scan_whole_text(std::string_view text, RecordVisitor visit, void* context) {
    const JsonPtr root = parse_json_bytes(text);
    if (root == nullptr)
        return ScanResult::unreadable;
    if (!json_object_is_type(root.get(), json_type_object))
        return ScanResult::not_an_object;
    for_each_record(root.get(), [&](const char* name, const json_object* record) {
        return visit(context, name, record);
    });
    return ScanResult::visited;
}

}  // namespace

ScanResult scan_collection_text(std::string_view text, RecordVisitor visit, void* context) {
    std::vector<Member> members;
    Validator validator(text);
    if (!validator.split(&members))
        return scan_whole_text(text, visit, context);
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr)
        return ScanResult::unreadable;
    std::string name;
    for (const Member& m : members) {
        if (!m.is_object)
            continue;
        json_tokener_reset(tok);
        const JsonPtr record{json_tokener_parse_ex(tok, text.data() + m.value_begin,
                                                   static_cast<int>(m.value_end - m.value_begin))};
        if (record == nullptr)
            break;   // cannot happen for a validated object; stop rather than guess
        name.assign(text.substr(m.key_begin, m.key_end - m.key_begin));
        if (!visit(context, name.c_str(), record.get()))
            break;
    }
    json_tokener_free(tok);
    return ScanResult::visited;
}

ScanResult scan_collection_file(const char* path, RecordVisitor visit, void* context) {
    // Mapped, not copied: the text is read once, in place.
    UniqueFd fd{open(path, O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ScanResult::unreadable;
    if (st.st_size == 0)
        return ScanResult::unreadable;   // empty: not JSON
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map == MAP_FAILED)
        return ScanResult::unreadable;
    (void)madvise(map, size, MADV_SEQUENTIAL);
    const ScanResult r = scan_collection_text(std::string_view(static_cast<const char*>(map), size), visit, context);
    (void)munmap(map, size);
    return r;
}

}  // namespace kv::svc
