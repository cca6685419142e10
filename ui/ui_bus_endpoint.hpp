// The tray's own D-Bus endpoint: a private connection that owns the
// program's well-known name (one tray per session bus), a listener thread
// that answers the "com.korvane.guard.ui" methods, and signal emission.
// Lock order: the process-wide bus lock is the only lock taken here; the
// listener takes it only to report its start, never inside its loop.
#pragma once

#include <dbus/dbus.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "unique_handle.hpp"

namespace kv::ui {

inline constexpr char kUiBusName[] = "com.korvane.guard";
inline constexpr char kUiInterface[] = "com.korvane.guard.ui";
inline constexpr char kUiObjectPath[] = "/com/korvane/guard/ui";
inline constexpr char kNetworkManagerMatchRule[] =
    "type='signal',path='/org/freedesktop/NetworkManager',"
    "interface='org.freedesktop.NetworkManager',member='StateChanged'";

// Called on the listener thread with `user_data`; any may be null.
struct UiBusCallbacks {
    void (*show_details_window)(void* user_data) = nullptr;
    void (*show_about_window)(void* user_data) = nullptr;
    int (*get_icon_colour)(void* user_data) = nullptr;            // 0 green, 1 yellow, 2 red
    bool (*get_show_notifications)(void* user_data) = nullptr;
    void (*set_show_notifications)(void* user_data, bool value) = nullptr;
    void (*network_state)(void* user_data, std::uint32_t state) = nullptr;
    // The connection was lost while the listener ran (the session is over).
    void (*bus_lost)(void* user_data) = nullptr;
};

enum class BusKind { session, system, other };

class UiBusEndpoint {
public:
    // Opens the connection and owns `name` (none requested when null).
    // Null on failure, with the failure's line printed.
    static UiBusEndpoint* create(BusKind kind, const char* name) noexcept;
    // Stops the listener, releases the name, closes and frees. Null: no-op.
    static void shutdown(UiBusEndpoint* endpoint) noexcept;

    void set_callbacks(const UiBusCallbacks& callbacks, void* user_data) noexcept;
    // Starts the listener and waits up to 2 s for it to report; true while
    // it runs.
    bool listen() noexcept;
    void emit_signal(const char* path, const char* interface, const char* member) noexcept;

    bool running() const noexcept { return running_.load(); }

private:
    UiBusEndpoint() = default;
    void listener_main() noexcept;
    void dispatch(int type, DBusMessage* message, DBusMessage* reply) noexcept;
    void wake_listener() noexcept;

    std::string name_;
    bool has_name_ = false;
    BusKind kind_ = BusKind::session;
    DBusConnection* connection_ = nullptr;
    UniqueFd wake_fd_;   // eventfd: queued output or a stop request
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    pthread_t handle_{};
    bool has_thread_ = false;
    bool started_ = false;   // under the bus lock
    std::condition_variable started_cv_;
    void* user_data_ = nullptr;
    UiBusCallbacks callbacks_;
};

}  // namespace kv::ui
