// The service-state machine: the state and the icon colour it implies, the
// status line, the handling of each service broadcast, and the 3-second
// tick. Everything here runs on the main loop except on_service_signal.
#pragma once

#include <glib.h>

#include <cstdint>
#include <cstring>

#include "protocol.hpp"
#include "tray_context.hpp"

namespace kv::ui {

inline constexpr std::int64_t kSilenceLimitUs = 299'999'999;        // more than this: NotRunning
inline constexpr std::int64_t kPolicyRefreshUs = 59'999'999;        // more than this: POLY again
inline constexpr std::int64_t kStatusRefreshUs = 3'000'000;         // more than this: refresh
inline constexpr std::int64_t kInspectingStaleUs = 4'999'999;       // more than this: "Running"
inline constexpr guint kTickSeconds = 3;

// Whether the service client's `signal_index` is the broadcast `name`.
inline bool is_signal(int signal_index, const char* name) noexcept {
    return signal_index >= 0 && signal_index < svc::kSignalCount &&
           std::strcmp(svc::kSignalNames[signal_index], name) == 0;
}

void apply_state(TrayContext& ctx, ServiceState state) noexcept;
void set_icon_colour(TrayContext& ctx, int colour) noexcept;
void refresh_status_line(TrayContext& ctx) noexcept;
void handle_service_signal(TrayContext& ctx, int signal_index) noexcept;
// The GLib timeout handler; always asks to be called again.
gboolean tick(gpointer context) noexcept;

// The service client's callback, on its listener thread: stamps the time
// and queues the signal to the main loop.
void on_service_signal(void* context, int signal_index) noexcept;

}  // namespace kv::ui
