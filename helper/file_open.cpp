// fopen with EINTR retries and the first-line reader.
#include "file_open.hpp"

#include <cerrno>

namespace kv::helper {

namespace {
constexpr int kOpenRetries = 10;
}

FILE* fopen_retrying(const char* path, const char* mode) noexcept {
    FILE* f = std::fopen(path, mode);
    for (int retry = 0; f == nullptr && errno == EINTR && retry < kOpenRetries; ++retry)
        f = std::fopen(path, mode);
    return f;
}

int read_first_line(const char* path, char* buffer, std::size_t capacity) noexcept {
    if (capacity == 0)
        return -EINVAL;
    buffer[0] = '\0';
    FilePtr f(fopen_retrying(path, "re"));
    if (!f)
        return -errno;
    const int cap = capacity > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity);
    if (std::fgets(buffer, cap, f.get()) == nullptr) {
        buffer[0] = '\0';
        return -ENODATA;
    }
    return 0;
}

}  // namespace kv::helper
