// The service client: the process's D-Bus connections to the agent service,
// command sends with their replies, the broadcast listener thread and one
// wrapper per command code. One instance of its state exists per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "trace.hpp"   // the "received signal" line goes through setTracePrinter

namespace kv::svc {

// Called on the listener thread with the context given at start and the
// broadcast's index in kSignalNames (kSignalCount for unknown names).
using ServiceSignalCallback = void (*)(void* context, int signal_index);

// The process-wide bus lock: held while a private bus connection is opened
// and stored. The tray's own bus endpoint takes the same lock.
std::mutex& bus_lock() noexcept;

// Sends `text` to the service. With `reply` null the call is queued and
// flushed without waiting; otherwise `reply` (kReplyBufferSize bytes) gets the
// first string argument of the answer, cut to 2047 bytes and terminated.
// `text` and `reply` may be the same buffer. Thread-safe.
bool sendMessageToService(const char* text, char* reply) noexcept;

// Starts the broadcast listener. Refused (false) when the callback or the
// context is null or a command connection already exists.
bool listenForServiceSignals(ServiceSignalCallback callback, void* context) noexcept;
// Later broadcasts are received and dropped silently.
void clearServiceSignalCallback() noexcept;
// Joins the listener (within about a second) and closes every connection.
// Idempotent; the module is idle afterwards.
void stopServiceClient() noexcept;

bool queryDriverConnected(int* ret_connected) noexcept;
bool getLogLevel(int* ret_level) noexcept;
bool setLogLevel(std::uint32_t level) noexcept;
bool getPolicyTime(std::string* ret_time) noexcept;
// `buffer` of *size bytes gets "name (mode)" cut to *size - 1 bytes and
// terminated; *size becomes the full text's length. Outputs are written only
// on success.
bool getPolicyInfo(char* buffer, std::size_t* size, bool* ret_notify, bool* ret_local) noexcept;
bool requestPolicyCheck() noexcept;
bool requestUpdateCheck() noexcept;
bool startBackgroundScan() noexcept;
bool stopBackgroundScan() noexcept;
bool requestDirectoryScan(const char* path) noexcept;
bool sendThreatAction(const char* action, const char* id) noexcept;
bool quarantineThreat(const char* id) noexcept;
bool waiveThreat(const char* id) noexcept;

}  // namespace kv::svc
