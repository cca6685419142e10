// Command requests as the server receives them: the JSON text from any
// local client, turned into a 16-byte command code, then run through the
// UTF-8 repair the server applies to replies.
#include <cstdint>
#include <cstring>
#include <vector>

#include "command_dispatch.hpp"
#include "utf8_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    char code[kv::helper::kCommandCodeSize];
    (void)kv::helper::extract_command_code(text.data(), code);
    std::size_t length = size;
    (void)kv::helper::repair_utf8(text.data(), &length);
    return 0;
}
