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

#include "cryptor.hpp"
#include "memdef_event_decode.hpp"

namespace {

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
    const std::string error = kv::tools::decode_event(data, json);
    if (!error.empty()) {
        std::fprintf(stderr, "kvmemdef-event: %s: %s\n", file, error.c_str());
        return 1;
    }
    std::printf("%s\n", json.c_str());
    return 0;
}
