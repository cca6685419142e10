// Exported TLV codec, compiled into both RPC libraries so that each carries
// its own copy.
#include "cefrpc.h"
#include "tlv_codec.hpp"

extern "C" CEFRPC_API int64_t cefEncodeTLVBuffer(void* buffer, uint64_t capacity, uint32_t code,
                                                 uint32_t message_id, const char* name,
                                                 const void* payload, uint64_t* length_inout,
                                                 uint8_t large) noexcept {
    if (length_inout == nullptr)
        return 1;
    std::uint64_t total = 0;
    if (kv::rpc::tlv_encode(static_cast<std::uint8_t*>(buffer), capacity, code, message_id, name,
                            payload, *length_inout, large != 0, &total) < 0)
        return 1;
    *length_inout = total;
    return 0;
}

extern "C" CEFRPC_API int64_t cefDecodeTLVBuffer(const void* buffer, uint64_t length,
                                                 uint32_t* code_out, uint32_t* message_id_out,
                                                 const char** name_out, const void** payload_out,
                                                 uint64_t* payload_length_out,
                                                 uint8_t* large_out) noexcept {
    if (code_out == nullptr || message_id_out == nullptr || name_out == nullptr ||
        payload_out == nullptr || payload_length_out == nullptr || large_out == nullptr)
        return 1;
    // Cleared first: an absent record must not leave a caller's stale value.
    *code_out = 0;
    *message_id_out = 0;
    *name_out = nullptr;
    *payload_out = nullptr;
    *payload_length_out = 0;
    *large_out = 0;
    kv::rpc::TlvMessage m;
    if (kv::rpc::tlv_decode(static_cast<const std::uint8_t*>(buffer), length, &m) < 0)
        return 1;
    *code_out = m.code;
    *message_id_out = m.message_id;
    *name_out = m.name;
    *payload_out = m.payload;
    *payload_length_out = m.payload_length;
    *large_out = m.large ? 1 : 0;
    return 0;
}
