// Exported functions of libcefrpcserver; the work is in mq_server.
#include "cefrpc.h"
#include "mq_server.hpp"

extern "C" CEFRPC_API int64_t CefStartServer(const char* endpoint_name, int32_t code,
                                             CefServerCallback callback) noexcept {
    return kv::rpc::server_start(endpoint_name, code, callback) == 0 ? 0 : -1;
}

extern "C" CEFRPC_API void CefStopServer(int32_t code) noexcept {
    kv::rpc::server_stop(code);
}

extern "C" CEFRPC_API CefServerData* findServerDataForCRC(int32_t code) noexcept {
    return reinterpret_cast<CefServerData*>(kv::rpc::find_server(code));
}
