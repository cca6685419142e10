// Turning one command request into a handler call and a reply text, apart
// from the bus: command-code extraction and the reply buffer rules (a fixed
// buffer for short requests, a heap buffer up to 5 MiB, one second call
// when the handler asks for more room).
#pragma once

#include <cstddef>

#include "kvhelper.h"

namespace kv::helper {

inline constexpr std::size_t kMaxCommandBytes = 0x500000;   // 5 MiB
inline constexpr std::size_t kFixedBufferSize = 2048;
inline constexpr std::size_t kCommandCodeSize = 16;

// The value of the first member named exactly "CMD_" that is a JSON string,
// copied with a bound of 16 bytes (no terminator at 16 characters).
// 0, or -EINVAL when the text is no JSON object or has no such member.
int extract_command_code(const char* text, char (&ret_code)[kCommandCodeSize]) noexcept;

// Where the reply lives after run_handler: the fixed buffer or the heap one.
class CommandBuffer {
public:
    CommandBuffer() noexcept = default;
    CommandBuffer(const CommandBuffer&) = delete;
    CommandBuffer& operator=(const CommandBuffer&) = delete;
    ~CommandBuffer();

    char* data() noexcept { return heap_ != nullptr ? heap_ : fixed_; }
    int capacity() const noexcept { return capacity_; }
    bool on_heap() const noexcept { return heap_ != nullptr; }

    // Holds the request (at most 5 MiB of it) terminated; 0 or -ENOMEM.
    int load(const char* request, std::size_t request_length) noexcept;
    // Replaces the buffer with one of `capacity` bytes holding the request
    // again; 0 or -ENOMEM (the old buffer is kept).
    int regrow(int capacity, const char* request, std::size_t request_length) noexcept;
    // Bytes of the request copied by the last load/regrow.
    int loaded_length() const noexcept { return loaded_; }

private:
    void fill(const char* request, std::size_t request_length) noexcept;

    char fixed_[kFixedBufferSize];
    char* heap_ = nullptr;
    int capacity_ = 0;
    int loaded_ = 0;
};

// Calls `handler` on the request that `buffer` was loaded with, and once
// more with a larger buffer (holding `request` again) when it asks for more
// than the capacity. The reply is then buffer.data()[0 .. *ret_length),
// terminated. Returns 0, or -ENOMEM when the larger buffer could not be had
// (the message is dropped).
int run_handler(KvCommandHandler handler, const char* request, std::size_t request_length,
                CommandBuffer& buffer, std::size_t* ret_length) noexcept;

}  // namespace kv::helper
