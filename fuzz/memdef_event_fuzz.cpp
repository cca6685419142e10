// Fuzzes the event-file validator of the event reader with plain
// (decrypted) images: any input must be rejected with a reason or render
// as one JSON object, never read outside the image.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "memdef_event_decode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> image(data, data + size);
    std::string json;
    const std::string error = kv::tools::decode_event(image, json);
    if (error.empty() && (json.empty() || json.front() != '{' || json.back() != '}'))
        __builtin_trap();
    if (!error.empty() && !json.empty())
        __builtin_trap();
    return 0;
}
