// Command-code extraction and handler invocation with bounded buffers.
// Whatever length a handler reports, nothing is read or written outside the
// buffer it was given.
#include "command_dispatch.hpp"

#include <json-c/json.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv::helper {

int extract_command_code(const char* text, char (&ret_code)[kCommandCodeSize]) noexcept {
    json_object* parsed = json_tokener_parse(text);
    if (parsed == nullptr)
        return -EINVAL;
    int result = -EINVAL;
    if (json_object_is_type(parsed, json_type_object)) {
        json_object_object_foreach(parsed, key, value) {
            if (std::strcmp(key, "CMD_") != 0 || !json_object_is_type(value, json_type_string))
                continue;
            const char* code = json_object_get_string(value);
            std::memset(ret_code, 0, kCommandCodeSize);
            std::memcpy(ret_code, code, strnlen(code, kCommandCodeSize));
            result = 0;
            break;
        }
    }
    (void)json_object_put(parsed);
    return result;
}

CommandBuffer::~CommandBuffer() { std::free(heap_); }

void CommandBuffer::fill(const char* request, std::size_t request_length) noexcept {
    std::size_t n = request_length < kMaxCommandBytes ? request_length : kMaxCommandBytes;
    if (n > static_cast<std::size_t>(capacity_) - 1)
        n = static_cast<std::size_t>(capacity_) - 1;
    std::memcpy(data(), request, n);
    data()[n] = '\0';
    loaded_ = static_cast<int>(n);
}

int CommandBuffer::load(const char* request, std::size_t request_length) noexcept {
    std::free(heap_);   // a buffer may be loaded again
    heap_ = nullptr;
    const std::size_t kept = request_length < kMaxCommandBytes ? request_length : kMaxCommandBytes;
    if (kept + 1 <= kFixedBufferSize) {
        capacity_ = static_cast<int>(kFixedBufferSize);
    } else {
        heap_ = static_cast<char*>(std::malloc(kept + 1));
        if (heap_ == nullptr)
            return -ENOMEM;
        capacity_ = static_cast<int>(kept + 1);
    }
    fill(request, request_length);
    return 0;
}

int CommandBuffer::regrow(int capacity, const char* request, std::size_t request_length) noexcept {
    char* bigger = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
    if (bigger == nullptr)
        return -ENOMEM;
    std::free(heap_);
    heap_ = bigger;
    capacity_ = capacity;
    // From the message, not from the buffer the handler may have scribbled on.
    fill(request, request_length);
    return 0;
}

int run_handler(KvCommandHandler handler, const char* request, std::size_t request_length,
                CommandBuffer& buffer, std::size_t* ret_length) noexcept {
    int length = buffer.loaded_length();
    handler(buffer.data(), buffer.capacity(), &length);
    if (length > buffer.capacity()) {
        const std::size_t wanted = static_cast<std::size_t>(length) + 1;
        const int capacity = static_cast<int>(wanted < kMaxCommandBytes ? wanted : kMaxCommandBytes);
        if (const int r = buffer.regrow(capacity, request, request_length); r < 0)
            return r;
        length = buffer.loaded_length();
        handler(buffer.data(), buffer.capacity(), &length);
    }
    if (length < 0)
        length = 0;
    if (length > buffer.capacity() - 1)
        length = buffer.capacity() - 1;
    buffer.data()[length] = '\0';
    *ret_length = static_cast<std::size_t>(length);
    return 0;
}

}  // namespace kv::helper
