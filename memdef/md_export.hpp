// Shared internals of the export layer: the visibility marker for the
// documented entry points and the errno keeper every export uses, so the
// host never sees errno change across a call into the library.
#pragma once

#include <cerrno>
#include <cstddef>

#define MD_EXPORT __attribute__((visibility("default")))

namespace kv::md {

struct ErrnoKeeper {
    int saved = errno;
    ErrnoKeeper() = default;
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;
    ~ErrnoKeeper() { errno = saved; }
};

// Length of a terminated text; the library's own so the event path has no
// dependency beyond system calls.
inline std::size_t text_length(const char* text) noexcept {
    std::size_t n = 0;
    if (text != nullptr)
        while (text[n] != '\0')
            ++n;
    return n;
}

}  // namespace kv::md
