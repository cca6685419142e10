// Event-file validation and JSON rendering (see memdef_event_decode.hpp).
#include "memdef_event_decode.hpp"

#include <cstdio>

#include "comm_params.hpp"
#include "event_file.hpp"

namespace kv::tools {
namespace {

using kv::md::load_le32;

std::string json_string(const std::uint8_t* p, std::size_t n) {
    std::string out = "\"";
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string decode_event(const std::vector<std::uint8_t>& d, std::string& ret_json) {
    if (d.size() < kv::md::kEventFileHeader + 12 + 4 || d.size() % 8 != 0)
        return "size is not a multiple of 8 or too small";
    if (load_le32(&d[0]) != kv::md::kEventMagic)
        return "bad magic (wrong key path?)";
    const std::uint32_t flag = load_le32(&d[4]);
    const std::uint32_t kind = load_le32(&d[8]);
    const std::uint32_t pid = load_le32(&d[12]);
    const std::uint32_t length = load_le32(&d[16]);
    if (kind != kv::md::kEventKind || flag != 1)
        return "not an event (kind/flag)";
    if (length < kv::md::kEventFileHeader + 12 + 4 || length > d.size() || ((length + 7) & ~7u) != d.size())
        return "length field disagrees with the file size";
    if (load_le32(&d[length - 4]) != kv::md::kEventMagic)
        return "bad trailer";
    for (std::size_t p = length; p < d.size(); ++p)
        if (d[p] != static_cast<std::uint8_t>(p - 52))
            return "bad padding";
    const std::uint8_t* h = &d[kv::md::kEventFileHeader];
    const std::uint32_t type = load_le32(h);
    const std::uint32_t action = load_le32(h + 4);
    const std::uint32_t count = load_le32(h + 8);
    std::size_t pos = kv::md::kEventFileHeader + 12;
    const std::size_t end = length - 4;
    std::string params;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (end - pos < 4)
            return "parameter list truncated";
        const std::uint32_t word = load_le32(&d[pos]);
        const std::uint32_t ptype = word >> 24;
        const std::size_t plen = word & 0xFFFFFF;
        pos += 4;
        if (end - pos < plen)
            return "parameter value truncated";
        const std::uint8_t* v = &d[pos];
        pos += plen;
        std::string value;
        if (ptype == COMM_PARAMETER_UNICODE) {
            value = json_string(v, plen);
        } else if (ptype == COMM_PARAMETER_INTEGER && plen <= 8) {
            std::uint64_t x = 0;
            for (std::size_t k = plen; k > 0; --k)
                x = x << 8 | v[k - 1];
            value = std::to_string(x);
        } else if (ptype == COMM_PARAMETER_NONE && plen == 0) {
            value = "null";
        } else {
            std::string hex;
            char b[3];
            for (std::size_t k = 0; k < plen; ++k) {
                std::snprintf(b, sizeof b, "%02x", v[k]);
                hex += b;
            }
            value = "\"" + hex + "\"";
        }
        params += (i == 0 ? "" : ",") + value;
    }
    if (pos != end)
        return "bytes after the parameter list";
    ret_json = "{\"violation_type\":" + std::to_string(static_cast<std::int32_t>(type)) +
               ",\"action\":" + std::to_string(static_cast<std::int32_t>(action)) +
               ",\"pid\":" + std::to_string(pid) + ",\"length\":" + std::to_string(length) +
               ",\"parameters\":[" + params + "]}";
    return "";
}

}  // namespace kv::tools
