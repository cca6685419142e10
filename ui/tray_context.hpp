// The one context record of the tray program: everything the main loop, the
// worker and the two listener threads share, with who may touch what.
#pragma once

#include <gtk/gtk.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "settings_store.hpp"
#include "show_notifications.hpp"
#include "tray_views.hpp"
#include "unique_handle.hpp"

namespace kv::ui {

class UiBusEndpoint;

// Colour of the status icon; the numbers are the bus protocol's.
enum IconColour : int { kGreen = 0, kYellow = 1, kRed = 2 };
// What the status line says; value 1 is unused.
enum ServiceState : unsigned {
    kNotRunning = 0,
    kNoNetwork = 2,
    kInspecting = 3,
    kUpdateNotice = 4,
    kIdle = 5,
    kNoDriver = 6,
};

// One byte on the worker pipe. 0 and any value not listed stop the worker.
enum WorkerCommand : unsigned char {
    kWorkerStop = 0,
    kWorkerRefreshPolicy = 2,
    kWorkerQueryDriver = 5,
    kWorkerPolicyCheck = 6,    // PLYU, answer waited for and dropped
    kWorkerUpdateCheck = 7,    // CHKU, sent without waiting
};

// Its images are the context's colour pixbufs, which outlive it.
struct TrayIcon {
    GtkStatusIcon* status_icon = nullptr;
    GtkWidget* menu = nullptr;
};

// The details window's shell; its pages belong to the views.
struct DetailsWindow {
    GtkWidget* window = nullptr;
    GtkWidget* content = nullptr;
    bool shown_once = false;
    GtkWidget* header = nullptr;
    GtkWidget* status_image = nullptr;
    GtkWidget* host_label = nullptr;
    GtkWidget* notebook = nullptr;
    GtkWidget* footer = nullptr;
    GtkWidget* status_label = nullptr;
    GtkWidget* help_button = nullptr;
};

struct TrayContext {
    // Pixbufs: application icon, then one per IconColour (null when the
    // file did not load; that colour is then never shown).
    GdkPixbuf* app_icon = nullptr;
    GdkPixbuf* colour_pixbufs[3] = {};

    DetailsWindow details;
    GtkWidget* about_window = nullptr;
    GtkWidget* notifications_item = nullptr;   // the check menu item

    // Main loop only, except the colour, which the bus listener reads.
    std::atomic<int> icon_colour{kYellow};
    ServiceState state = kNotRunning;
    guint tick_source = 0;
    bool local_policy = false;                 // under `mutex`

    // Written by the service listener, read by the tick: one 64-bit value.
    std::atomic<std::int64_t> last_signal_us{0};
    std::int64_t last_status_refresh_us = 0;
    std::int64_t last_policy_refresh_us = 0;

    bool tarnel_connected = false;
    bool ormaline_connected = false;
    bool driver_connected = false;

    std::atomic<bool> shutting_down{false};

    // Read by the bus listener's getter; written on the main loop and by
    // the setter (which queues the save to the main loop).
    ShowNotificationsSetting show_notifications;

    std::string file_states_md5, process_states_md5, file_process_events_md5;
    std::string current_file;                  // empty = none
    bool has_current_file = false;
    std::string update_notice;
    bool has_policy_text = false;              // under `mutex`
    std::string policy_text;                   // under `mutex`
    std::string policy_last_update;            // under `mutex`
    bool has_policy_last_update = false;       // under `mutex`
    std::string status_text;                   // what the status line shows

    pthread_t worker{};
    bool worker_started = false;
    std::mutex mutex;
    UniqueFd worker_pipe_read, worker_pipe_write;

    TrayViews views;
    TrayIcon tray_icon;
    UiBusEndpoint* endpoint = nullptr;
    SettingsStore* settings = nullptr;
};

// Drops one reference and forgets the object; null is a no-op.
template <class T>
void release_object(T*& object) noexcept {
    if (object != nullptr)
        g_object_unref(object);
    object = nullptr;
}

// Writes one command byte to the worker; a lost command is only retried by
// the next tick or state change.
void send_worker_command(TrayContext& ctx, WorkerCommand command) noexcept;

}  // namespace kv::ui
