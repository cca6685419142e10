// The D-Bus command server: owns the service's bus name on a listener
// thread, verifies senders, dispatches commands to the registered handlers,
// broadcasts events and forwards NetworkManager's state and address changes.
//
// Lock order: library mutex, then callback mutex; the connection mutex is
// never held while another of these is taken.
#pragma once

#include <cstddef>
#include <mutex>

#include "kvhelper.h"

namespace kv::helper {

// Process-wide mutex held by the Kv… registration exports around the call.
std::mutex& library_mutex() noexcept;

// 0 started; -1 failed or already started.
int start_server(KvSenderVerifier verifier) noexcept;
void stop_server() noexcept;
int set_command_callback(const char* command, KvCommandHandler handler) noexcept;
void signal_ui(const char* text) noexcept;
int broadcast_with_no_reply(const char* data, std::size_t length) noexcept;

int register_network_state_change(KvNetworkStateChangeFunc func) noexcept;
void unregister_network_state_change() noexcept;
int register_address_change(KvAddressChangeFunc func) noexcept;
void unregister_address_change() noexcept;

}  // namespace kv::helper
