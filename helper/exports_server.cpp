// Exported functions of the command server: each Kv… name forwards to its
// plain export, which forwards to the server module.
#include <mutex>

#include "command_server.hpp"
#include "command_table.hpp"
#include "kvhelper.h"

using namespace kv::helper;

extern "C" {

KV_EXPORT int StartServer(KvSenderVerifier verifier) noexcept { return start_server(verifier); }
KV_EXPORT int KvStartServerLinux(KvSenderVerifier verifier) noexcept { return StartServer(verifier); }

KV_EXPORT void StopServer(void) noexcept { stop_server(); }
KV_EXPORT void KvStopServer(void) noexcept { StopServer(); }

KV_EXPORT int SetServerCallbackForCommand(const char* command, KvCommandHandler handler) noexcept {
    return set_command_callback(command, handler);
}
KV_EXPORT int KvSetServerCallbackForCommand(const char* command, KvCommandHandler handler) noexcept {
    return SetServerCallbackForCommand(command, handler);
}

KV_EXPORT KvCommandHandler findCallbackForKey(const char* key) noexcept { return command_table_find(key); }

KV_EXPORT void SignalUI(const char* text) noexcept { signal_ui(text); }
KV_EXPORT void KvSignalUI(const char* text) noexcept { SignalUI(text); }

KV_EXPORT int broadcastMessageWithNoReply(const char* data, size_t length) noexcept {
    return broadcast_with_no_reply(data, length);
}
KV_EXPORT int KvBroadcastMessageWithNoReply(const char* data, size_t length) noexcept {
    return broadcastMessageWithNoReply(data, length);
}

KV_EXPORT int RegisterNetworkStateChangeFunc(KvNetworkStateChangeFunc func) noexcept {
    return register_network_state_change(func);
}
KV_EXPORT int KvRegisterNetworkStateChange(KvNetworkStateChangeFunc func) noexcept {
    std::lock_guard<std::mutex> lock(library_mutex());
    return RegisterNetworkStateChangeFunc(func);
}
KV_EXPORT void UnRegisterNetworkStateChange(void) noexcept { unregister_network_state_change(); }
KV_EXPORT void KvUnRegisterNetworkStateChange(void) noexcept { UnRegisterNetworkStateChange(); }

KV_EXPORT int RegisterAddressChangeFunc(KvAddressChangeFunc func) noexcept { return register_address_change(func); }
KV_EXPORT int KvRegisterAddressChange(KvAddressChangeFunc func) noexcept {
    std::lock_guard<std::mutex> lock(library_mutex());
    return RegisterAddressChangeFunc(func);
}
KV_EXPORT void UnRegisterAddressChange(void) noexcept { unregister_address_change(); }
KV_EXPORT void KvUnRegisterAddressChange(void) noexcept { UnRegisterAddressChange(); }

}  // extern "C"
