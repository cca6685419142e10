// Large-data files: payloads too big for one queue message travel through a
// file under kLargeDataDir that the client writes and the server reads and
// deletes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::rpc {

inline constexpr char kLargeDataDir[] = "/opt/korvane/desktop/ld";
// Smallest path buffer a sender must supply.
inline constexpr std::size_t kMinPathSize = 256;
// How many fresh names a sender tries when a name is already taken.
inline constexpr int kNameAttempts = 16;
// large_data_read: the caller's buffer is smaller than the file.
inline constexpr int kBufferTooSmall = 1;

// Writes payload[0..length) to a new file (0600) in kLargeDataDir, creating
// the directory (0700) when missing, and copies its path to path. A file
// that cannot be written completely is removed. 0 or -errno.
int send_large_data(const void* payload, std::uint32_t length, char* path,
                    std::size_t path_size) noexcept;

// The size of the regular file at path; a symbolic link is -ELOOP, any
// other kind of file -EINVAL, a size beyond 32 bits -EFBIG. 0 or -errno.
int large_data_size(const char* path, std::uint32_t* ret_size) noexcept;

// Reads the regular file at path (not through a symbolic link) into
// buffer[0..capacity) and unlinks it, even after a short read; *ret_size
// receives the file size once the file is open. 0, kBufferTooSmall (the
// file stays), or -errno.
int large_data_read(const char* path, void* buffer, std::uint32_t capacity,
                    std::uint32_t* ret_size) noexcept;

}  // namespace kv::rpc
