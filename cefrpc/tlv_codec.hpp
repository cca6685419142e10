// The five-record TLV message that carries one request from client to
// server: byte layout, encoder, decoder, and what a server may dispatch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::rpc {

// Largest message: the client's encoding buffer and the queue's message size.
inline constexpr std::size_t kMessageSize = 7168;

// Record tags. Record 1 carries kTagLargeMessageId instead of kTagMessageId
// when the payload is the path of a large-data file.
inline constexpr std::uint16_t kTagMessageId = 0;
inline constexpr std::uint16_t kTagLargeMessageId = 0x1000;
inline constexpr std::uint16_t kTagName = 1;
inline constexpr std::uint16_t kTagCode = 2;
inline constexpr std::uint16_t kTagPayload = 3;
inline constexpr std::uint16_t kTagPayloadLength = 4;

inline constexpr std::size_t kRecordHeadSize = 4;   // tag u16, length u16
inline constexpr std::size_t kRecordCount = 5;
// Five heads, id (4), code (4), payload length (8) and the name's terminator.
inline constexpr std::uint64_t kMessageOverhead = 37;
// Record 4's 16-bit length field bounds the payload; record 2 also holds the
// name's terminator.
inline constexpr std::uint64_t kMaxPayloadLength = 0xFFFF;
inline constexpr std::uint64_t kMaxNameLength = 0xFFFE;

// A decoded message: views into the decoded buffer, zero where a record was
// absent.
struct TlvMessage {
    std::uint32_t message_id = 0;
    std::uint32_t code = 0;
    const char* name = nullptr;             // record 2's value, not necessarily terminated
    std::uint16_t name_record_length = 0;
    const std::uint8_t* payload = nullptr;  // record 4's value
    std::uint16_t payload_record_length = 0;
    std::uint64_t payload_length = 0;       // record 5's value
    bool has_payload_length = false;
    bool large = false;
};

// Encodes one message into buffer[0..capacity) and stores its total size in
// *ret_total. 0, or -EINVAL (missing argument, empty payload), -EMSGSIZE (a
// field too long for its record), -ENOBUFS (the message exceeds capacity).
int tlv_encode(std::uint8_t* buffer, std::uint64_t capacity, std::uint32_t code,
               std::uint32_t message_id, const char* name, const void* payload,
               std::uint64_t payload_length, bool large, std::uint64_t* ret_total) noexcept;

// Decodes the first five records of buffer[0..length) in any order (a
// repeated tag keeps its last value). 0, or -EINVAL for a missing argument,
// -EBADMSG for an unknown tag, a fixed-size record of the wrong length, or a
// record reaching past the end. *ret is written only on success.
int tlv_decode(const std::uint8_t* buffer, std::uint64_t length, TlvMessage* ret) noexcept;

// True when the message names its sender with a terminated name, carries a
// payload and both lengths, and record 5 agrees with record 4's length.
bool tlv_dispatchable(const TlvMessage& message) noexcept;

}  // namespace kv::rpc
