// Service replies as the front ends read them: the 2048-byte reply buffer,
// judged and searched for every member a wrapper reads.
#include <cstdint>
#include <cstring>
#include <string>

#include "json_fields.hpp"
#include "protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    char reply[kv::svc::kReplyBufferSize] = {};
    const std::size_t n = size < sizeof reply - 1 ? size : sizeof reply - 1;
    std::memcpy(reply, data, n);
    (void)kv::svc::isReplyOk(reply);
    const kv::svc::JsonPtr parsed = kv::svc::json_parse_text(reply);
    std::string text;
    std::int64_t value = 0;
    for (const char* name : {"RESP", "VALU", "PNAME", "PMODE", "PNOTF"}) {
        (void)kv::svc::json_get_string(parsed.get(), name, &text);
        (void)kv::svc::json_get_int64(parsed.get(), name, &value);
    }
    return 0;
}
