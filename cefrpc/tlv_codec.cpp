// Byte-level encoder and decoder of the TLV message, compiled into both
// RPC libraries. Fields are little-endian whatever the host.
#include "tlv_codec.hpp"

#include <cerrno>
#include <cstring>

namespace kv::rpc {
namespace {

void put_le(std::uint8_t* out, std::uint64_t value, std::size_t bytes) noexcept {
    for (std::size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* in, std::size_t bytes) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = bytes; i > 0; --i)
        value = (value << 8) | in[i - 1];
    return value;
}

// Writes one record head and value; returns the position after it.
std::uint8_t* put_record(std::uint8_t* out, std::uint16_t tag, const void* value,
                         std::uint16_t length) noexcept {
    put_le(out, tag, 2);
    put_le(out + 2, length, 2);
    if (length != 0)
        std::memcpy(out + kRecordHeadSize, value, length);
    return out + kRecordHeadSize + length;
}

}  // namespace

int tlv_encode(std::uint8_t* buffer, std::uint64_t capacity, std::uint32_t code,
               std::uint32_t message_id, const char* name, const void* payload,
               std::uint64_t payload_length, bool large, std::uint64_t* ret_total) noexcept {
    if (buffer == nullptr || name == nullptr || payload == nullptr || ret_total == nullptr ||
        payload_length == 0)
        return -EINVAL;
    const std::size_t name_length = strnlen(name, kMaxNameLength + 1);
    if (name_length > kMaxNameLength || payload_length > kMaxPayloadLength)
        return -EMSGSIZE;
    // Every term is bounded above, so the 64-bit sum cannot wrap.
    const std::uint64_t total = kMessageOverhead + name_length + payload_length;
    if (total > capacity)
        return -ENOBUFS;

    std::uint8_t id[4], code_bytes[4], length_bytes[8];
    put_le(id, message_id, sizeof id);
    put_le(code_bytes, code, sizeof code_bytes);
    put_le(length_bytes, payload_length, sizeof length_bytes);
    std::uint8_t* out = buffer;
    out = put_record(out, large ? kTagLargeMessageId : kTagMessageId, id, sizeof id);
    out = put_record(out, kTagName, name, static_cast<std::uint16_t>(name_length + 1));
    out = put_record(out, kTagCode, code_bytes, sizeof code_bytes);
    out = put_record(out, kTagPayload, payload, static_cast<std::uint16_t>(payload_length));
    (void)put_record(out, kTagPayloadLength, length_bytes, sizeof length_bytes);
    *ret_total = total;
    return 0;
}

int tlv_decode(const std::uint8_t* buffer, std::uint64_t length, TlvMessage* ret) noexcept {
    if (buffer == nullptr || ret == nullptr)
        return -EINVAL;
    TlvMessage m;
    std::uint64_t pos = 0;
    for (std::size_t records = 0; records < kRecordCount && pos < length; ++records) {
        if (length - pos < kRecordHeadSize)
            return -EBADMSG;
        const auto tag = static_cast<std::uint16_t>(get_le(buffer + pos, 2));
        const auto value_length = static_cast<std::uint16_t>(get_le(buffer + pos + 2, 2));
        const std::uint8_t* value = buffer + pos + kRecordHeadSize;
        if (length - pos - kRecordHeadSize < value_length)
            return -EBADMSG;
        switch (tag) {
        case kTagLargeMessageId:
            m.large = true;
            [[fallthrough]];
        case kTagMessageId:
            if (value_length != 4)
                return -EBADMSG;
            m.message_id = static_cast<std::uint32_t>(get_le(value, 4));
            break;
        case kTagName:
            m.name = reinterpret_cast<const char*>(value);
            m.name_record_length = value_length;
            break;
        case kTagCode:
            if (value_length != 4)
                return -EBADMSG;
            m.code = static_cast<std::uint32_t>(get_le(value, 4));
            break;
        case kTagPayload:
            m.payload = value;
            m.payload_record_length = value_length;
            break;
        case kTagPayloadLength:
            if (value_length != 8)
                return -EBADMSG;
            m.payload_length = get_le(value, 8);
            m.has_payload_length = true;
            break;
        default:
            return -EBADMSG;
        }
        pos += kRecordHeadSize + value_length;
    }
    *ret = m;
    return 0;
}

bool tlv_dispatchable(const TlvMessage& message) noexcept {
    if (message.name == nullptr || message.name_record_length == 0 ||
        std::memchr(message.name, '\0', message.name_record_length) == nullptr)
        return false;
    return message.payload != nullptr && message.has_payload_length &&
           message.payload_length == message.payload_record_length;
}

}  // namespace kv::rpc
