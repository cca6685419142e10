// TLV messages as a server receives them from its queue, and the
// encode -> decode round trip: whatever the encoder accepts decodes to the
// same fields and is dispatchable.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tlv_codec.hpp"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

void decode_as_received(const std::uint8_t* data, std::size_t size) {
    // A heap copy of exactly the received length, so any read past it is caught.
    std::vector<std::uint8_t> message(data, data + size);
    kv::rpc::TlvMessage m;
    if (kv::rpc::tlv_decode(message.data(), message.size(), &m) != 0)
        return;
    if (kv::rpc::tlv_dispatchable(m)) {
        const std::size_t name_length = std::strlen(m.name);
        check(name_length < m.name_record_length);
        volatile std::uint8_t sink = 0;
        for (std::uint16_t i = 0; i < m.payload_record_length; ++i)
            sink = sink ^ m.payload[i];
    }
}

void round_trip(const std::uint8_t* data, std::size_t size) {
    if (size < 10)
        return;
    const std::uint32_t code = data[0] | data[1] << 8;
    const std::uint32_t id = data[2] | data[3] << 8 | static_cast<std::uint32_t>(data[4]) << 16;
    const bool large = (data[5] & 1) != 0;
    const std::size_t name_length = data[6] % (size - 7 + 1);
    std::vector<char> name(data + 7, data + 7 + name_length);
    for (char& c : name)
        c = c == '\0' ? 'x' : c;
    name.push_back('\0');
    const std::uint8_t* payload = data + 7 + name_length;
    const std::size_t payload_length = size - 7 - name_length;

    std::vector<std::uint8_t> buffer(kv::rpc::kMessageSize);
    std::uint64_t total = 0;
    const int r = kv::rpc::tlv_encode(buffer.data(), buffer.size(), code, id, name.data(), payload,
                                      payload_length, large, &total);
    const bool fits = payload_length != 0 &&
                      kv::rpc::kMessageOverhead + name_length + payload_length <= buffer.size();
    check((r == 0) == fits);
    if (r != 0)
        return;
    check(total == kv::rpc::kMessageOverhead + name_length + payload_length);
    buffer.resize(total);
    kv::rpc::TlvMessage m;
    check(kv::rpc::tlv_decode(buffer.data(), buffer.size(), &m) == 0);
    check(kv::rpc::tlv_dispatchable(m));
    check(m.code == code && m.message_id == id && m.large == large);
    check(m.payload_length == payload_length && m.payload_record_length == payload_length);
    check(std::strcmp(m.name, name.data()) == 0);
    check(std::memcmp(m.payload, payload, payload_length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_as_received(data, size);
    round_trip(data, size);
    return 0;
}
