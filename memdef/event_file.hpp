// Event files: the byte image (file header, event header, parameter list,
// trailer, padding), its name in the temp directory, and the crash-safe
// write (exclusive temporary file, then rename to the ".kor" name).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kv::md {

inline constexpr std::uint32_t kEventMagic = 0x4B764D1A;
inline constexpr std::uint32_t kEventKind = 2;
inline constexpr std::size_t kEventFileHeader = 20;
inline constexpr std::size_t kEventListCapacity = 2048;
// Largest image: file header, a 12-byte event header, a full list, the
// trailer and at most 7 padding bytes.
inline constexpr std::size_t kEventImageCapacity = kEventFileHeader + 12 + kEventListCapacity + 4 + 8;
inline constexpr int kEventNameTries = 4;

// Lays out the plain image into `out`; returns its padded size, 0 when it
// does not fit `capacity`.
std::size_t event_image(std::uint8_t* out, std::size_t capacity, std::uint32_t pid, const void* header,
                        std::size_t header_length, const void* parameters, std::size_t parameters_length) noexcept;

// "<dir>KorvaneMemDef.<pid>.<time>.<counter>.kor" into `out`; returns its
// length, 0 when it does not fit `size`.
std::size_t event_file_name(char* out, std::size_t size, const char* dir, std::uint32_t pid, std::uint64_t time,
                            std::uint32_t counter) noexcept;

// Writes one encrypted event file into the temp directory; 0 or -errno.
int send_event(const void* header, std::size_t header_length, const void* parameters,
               std::size_t parameters_length) noexcept;

// Number of event files named so far by this process (the next counter).
std::uint32_t event_counter() noexcept;

}  // namespace kv::md
