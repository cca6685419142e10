// Whole-buffer reads and writes on a file descriptor, retried after EINTR
// and short transfers. Header-only and free of the C++ runtime, so the
// in-process memory-defence library uses it as well.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kv {

namespace fd_io_detail {

template <class Byte, class Transfer>
int transfer_all(int fd, Byte* data, std::size_t length, Transfer transfer) noexcept {
    while (length > 0) {
        const ssize_t n = transfer(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (n == 0)
            return -EIO;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace fd_io_detail

// 0 once all `length` bytes are read; -errno, or -EIO when a read returns
// nothing (the file is shorter than expected, it shrank under the reader).
inline int read_all(int fd, void* data, std::size_t length) noexcept {
    return fd_io_detail::transfer_all(fd, static_cast<std::uint8_t*>(data), length,
                                      [](int f, std::uint8_t* p, std::size_t n) noexcept { return read(f, p, n); });
}

// 0 once all `length` bytes are written; -errno, or -EIO when a write
// moves nothing.
inline int write_all(int fd, const void* data, std::size_t length) noexcept {
    return fd_io_detail::transfer_all(fd, static_cast<const std::uint8_t*>(data), length,
                                      [](int f, const std::uint8_t* p, std::size_t n) noexcept {
                                          return write(f, p, n);
                                      });
}

}  // namespace kv
