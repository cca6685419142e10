// Exported functions of libcefrpcclient: argument checks and result codes;
// the work is in mq_client and large_data.
#include "cefrpc.h"
#include "large_data.hpp"
#include "mq_client.hpp"

extern "C" CEFRPC_API const char* const version_section_string = "__version";

extern "C" CEFRPC_API int64_t SendLargeData(const void* payload, uint32_t length, char* path_out,
                                            uint32_t path_size) noexcept {
    return -kv::rpc::send_large_data(payload, length, path_out, path_size);
}

extern "C" CEFRPC_API int64_t ReceiveLargeData(const char* path, void** buffer_inout,
                                               uint32_t* size_inout) noexcept {
    if (path == nullptr || path[0] == '\0' || size_inout == nullptr)
        return 0;
    if (buffer_inout == nullptr || *buffer_inout == nullptr) {
        std::uint32_t size = 0;
        const int r = kv::rpc::large_data_size(path, &size);
        if (r < 0)
            return -r;
        *size_inout = size;
        return 0;
    }
    const int r = kv::rpc::large_data_read(path, *buffer_inout, *size_inout, size_inout);
    if (r == kv::rpc::kBufferTooSmall)
        return -1;
    return -r;
}

extern "C" CEFRPC_API int64_t CefStartClient(const char* endpoint_name,
                                             uint64_t* handle_out) noexcept {
    return kv::rpc::client_start(endpoint_name, handle_out);
}

extern "C" CEFRPC_API int64_t CefSendMessage(uint32_t code, uint64_t handle, uint32_t message_id,
                                             const char* name, const void* payload,
                                             uint64_t length) noexcept {
    return kv::rpc::client_send(code, handle, message_id, name, payload, length);
}

extern "C" CEFRPC_API void CefStopClient(uint64_t handle) noexcept {
    kv::rpc::client_stop(handle);
}
