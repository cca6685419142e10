// kvmemdef-event: reads one event file of the memory-defence library for
// the service side and for tests. Decrypts it with the key derived from
// its full path, validates magic, kind, length, trailer, padding and the
// parameter list, and prints the event as one JSON object.
// Usage: kvmemdef-event [--key-path PATH] FILE
// Exit: 0 valid, 1 invalid or unreadable, 2 usage.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm_params.hpp"
#include "cryptor.hpp"
#include "event_file.hpp"

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

bool read_file(const char* path, std::vector<std::uint8_t>& ret_data) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    std::vector<std::uint8_t> data;
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > (1u << 24)) {
            close(fd);
            return false;
        }
    }
    close(fd);
    ret_data.swap(data);
    return true;
}

// Returns "" and the JSON text, or the reason the file is invalid.
std::string decode(std::vector<std::uint8_t>& d, std::string& ret_json) {
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

}  // namespace

int main(int argc, char** argv) {
    const char* key_path = nullptr;
    int i = 1;
    if (argc == 4 && std::strcmp(argv[1], "--key-path") == 0) {
        key_path = argv[2];
        i = 3;
    }
    if (i != argc - 1) {
        std::fprintf(stderr, "usage: kvmemdef-event [--key-path PATH] FILE\n");
        return 2;
    }
    const char* file = argv[i];
    char resolved[PATH_MAX];
    if (key_path == nullptr) {
        // The key is bound to the path the file was written under, which the
        // library resolved with realpath; resolve the argument the same way.
        if (realpath(file, resolved) == nullptr) {
            std::fprintf(stderr, "kvmemdef-event: %s: %s\n", file, std::strerror(errno));
            return 1;
        }
        key_path = resolved;
    }
    std::vector<std::uint8_t> data;
    if (!read_file(file, data)) {
        std::fprintf(stderr, "kvmemdef-event: %s: %s\n", file, std::strerror(errno));
        return 1;
    }
    kv::md::crypt_with_path(key_path, std::strlen(key_path), data.data(), data.size(), false);
    std::string json;
    const std::string error = decode(data, json);
    if (!error.empty()) {
        std::fprintf(stderr, "kvmemdef-event: %s: %s\n", file, error.c_str());
        return 1;
    }
    std::printf("%s\n", json.c_str());
    return 0;
}
