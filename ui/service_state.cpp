// The service-state machine.
#include "service_state.hpp"

#include <glib/gi18n.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "host_cache.hpp"
#include "hostcache_reader.hpp"
#include "main_loop_queue.hpp"
#include "mono_clock.hpp"
#include "protocol.hpp"
#include "text_sanitiser.hpp"
#include "ui_bus_endpoint.hpp"
#include "ui_log.hpp"
#include "update_notice.hpp"

namespace kv::ui {
namespace {

bool connected(const TrayContext& ctx) noexcept {
    bool local = false;
    {
        std::lock_guard<std::mutex> lock(const_cast<TrayContext&>(ctx).mutex);
        local = ctx.local_policy;
    }
    return ctx.tarnel_connected || ctx.ormaline_connected || local;
}

bool policy_text_known(TrayContext& ctx) noexcept {
    std::lock_guard<std::mutex> lock(ctx.mutex);
    return ctx.has_policy_text;
}

void apply_icon_rule(TrayContext& ctx) noexcept {
    switch (ctx.state) {
    case kNotRunning:
        set_icon_colour(ctx, kYellow);
        break;
    case kNoNetwork:
        if (ctx.icon_colour.load() != kRed)
            set_icon_colour(ctx, kYellow);
        break;
    case kInspecting:
    case kUpdateNotice:
        set_icon_colour(ctx, kGreen);
        break;
    case kNoDriver:
        set_icon_colour(ctx, kRed);
        break;
    case kIdle:
    default:
        set_icon_colour(ctx, kGreen);
        if (!policy_text_known(ctx))
            send_worker_command(ctx, kWorkerRefreshPolicy);
        break;
    }
}

void connectivity_rule(TrayContext& ctx) noexcept {
    if (!ctx.driver_connected)
        return;
    int wanted = kYellow;
    if (connected(ctx)) {
        if (ctx.state != kInspecting && ctx.state != kUpdateNotice)
            apply_state(ctx, kIdle);
        wanted = kGreen;
    } else {
        apply_state(ctx, kNoNetwork);
    }
    if (wanted != ctx.icon_colour.load() && ctx.views.unsafe_counter == 0)
        set_icon_colour(ctx, wanted);
}

// "CurrentFile" of the analyser status; the B file is consumed once parsed.
bool read_current_file(std::string* ret_file) noexcept {
    svc::JsonPtr status = svc::korvaneui_json_parse_file(svc::kAnalyzerStatusBPath);
    if (status != nullptr) {
        (void)::unlink(svc::kAnalyzerStatusBPath);
    } else {
        status = parse_record_file(svc::kAnalyzerStatusPath);
        if (status == nullptr)
            return false;
    }
    return svc::json_get_string(status.get(), "CurrentFile", ret_file) == 0;
}

struct QueuedSignal {
    TrayContext* ctx;
    int index;
};

void run_queued_signal(void* data) noexcept {
    auto* queued = static_cast<QueuedSignal*>(data);
    if (!queued->ctx->shutting_down.load())
        handle_service_signal(*queued->ctx, queued->index);
    delete queued;
}

void drop_queued_signal(void* data) noexcept { delete static_cast<QueuedSignal*>(data); }

}  // namespace

void set_icon_colour(TrayContext& ctx, int colour) noexcept {
    if (colour == ctx.icon_colour.load())
        return;
    if (colour < kGreen || colour > kRed || ctx.colour_pixbufs[colour] == nullptr)
        return;
    ctx.icon_colour.store(colour);
    if (ctx.details.status_image != nullptr) {
        gtk_image_set_from_pixbuf(GTK_IMAGE(ctx.details.status_image), ctx.colour_pixbufs[colour]);
        gtk_widget_queue_draw(ctx.details.status_image);
    }
    if (ctx.tray_icon.status_icon != nullptr)
        gtk_status_icon_set_from_pixbuf(ctx.tray_icon.status_icon, ctx.colour_pixbufs[colour]);
    if (ctx.endpoint != nullptr)
        ctx.endpoint->emit_signal(kUiObjectPath, kUiInterface, "iconChanged");
}

void refresh_status_line(TrayContext& ctx) noexcept {
    const std::int64_t now = monotonic_us();
    const std::int64_t previous = ctx.last_status_refresh_us;
    ctx.last_status_refresh_us = now;
    std::string text;
    switch (ctx.state) {
    case kNotRunning:
        text = _("NotRunning");
        break;
    case kNoNetwork:
        text = _("NoNetwork");
        break;
    case kInspecting:
        if (now - previous > kInspectingStaleUs || !ctx.has_current_file) {
            ctx.current_file.clear();
            ctx.has_current_file = false;
            text = _("Running");
        } else {
            text = std::string(_("Inspecting")) + " " + ctx.current_file;
        }
        break;
    case kUpdateNotice:
        text = ctx.update_notice;
        break;
    case kNoDriver:
        text = _("NoDriver");
        break;
    case kIdle:
    default:
        text = _("Idle");
        break;
    }
    // The current file and the notice are outside bytes.
    ctx.status_text = sanitise_text(text);
    if (ctx.details.status_label != nullptr)
        gtk_label_set_text(GTK_LABEL(ctx.details.status_label), ctx.status_text.c_str());
}

void apply_state(TrayContext& ctx, ServiceState state) noexcept {
    ctx.state = state;
    verbose_print("svc_state = %u\n", static_cast<unsigned>(state));
    apply_icon_rule(ctx);
    refresh_status_line(ctx);
}

void handle_service_signal(TrayContext& ctx, int signal_index) noexcept {
    verbose_print("received notification from service: %u\n", static_cast<unsigned>(signal_index));
    const int i = signal_index;
    if (is_signal(i, "com.korvane.agent.started") || is_signal(i, "com.korvane.agent.running")) {
        if (is_signal(i, "com.korvane.agent.started"))
            apply_state(ctx, kIdle);
        if (ctx.icon_colour.load() == kRed)
            return;
        set_icon_colour(ctx, connected(ctx) ? kGreen : kYellow);
        connectivity_rule(ctx);
    } else if (is_signal(i, "com.korvane.agent.stopped")) {
        ctx.tarnel_connected = false;
        ctx.ormaline_connected = false;
        ctx.driver_connected = true;
        apply_state(ctx, kNotRunning);
        set_icon_colour(ctx, kYellow);
    } else if (is_signal(i, "com.korvane.tarnel.connected") || is_signal(i, "com.korvane.tarnel.notconnected")) {
        ctx.tarnel_connected = is_signal(i, "com.korvane.tarnel.connected");
        connectivity_rule(ctx);
    } else if (is_signal(i, "com.korvane.ormaline.connected") || is_signal(i, "com.korvane.ormaline.notconnected")) {
        ctx.ormaline_connected = is_signal(i, "com.korvane.ormaline.connected");
        connectivity_rule(ctx);
    } else if (is_signal(i, "com.korvane.driver.connected")) {
        ctx.driver_connected = true;
        connectivity_rule(ctx);
    } else if (is_signal(i, "com.korvane.driver.notconnected")) {
        ctx.driver_connected = false;
        set_icon_colour(ctx, kRed);
        apply_state(ctx, kNoDriver);
    } else if (is_signal(i, "com.korvane.analyerstatus_messages")) {
        std::string file;
        if (read_current_file(&file)) {
            ctx.current_file = file;
            ctx.has_current_file = true;
            apply_state(ctx, kInspecting);
        }
    } else if (is_signal(i, "com.korvane.timer.aggregated_messages")) {
        refresh_from_hostcache(ctx, 0);
    } else {
        // Notifications for the blocked/terminated/policy/scan broadcasts;
        // the views ignore every other index.
        notify_service_signal(ctx, i);
    }
}

gboolean tick(gpointer context) noexcept {
    TrayContext& ctx = *static_cast<TrayContext*>(context);
    std::string notice;
    if (svc::read_update_notice(&notice) == 0) {
        ctx.update_notice = notice;
        apply_state(ctx, kUpdateNotice);
        return G_SOURCE_CONTINUE;
    }
    const std::int64_t now = monotonic_us();
    if (now - ctx.last_signal_us.load() > kSilenceLimitUs)
        apply_state(ctx, kNotRunning);
    if (now - ctx.last_policy_refresh_us > kPolicyRefreshUs) {
        ctx.last_policy_refresh_us = now;
        send_worker_command(ctx, kWorkerRefreshPolicy);
    }
    if (now - ctx.last_status_refresh_us > kStatusRefreshUs)
        refresh_status_line(ctx);
    return G_SOURCE_CONTINUE;
}

void on_service_signal(void* context, int signal_index) noexcept {
    auto* ctx = static_cast<TrayContext*>(context);
    if (ctx->shutting_down.load())
        return;
    ctx->last_signal_us.store(monotonic_us());
    auto* queued = new (std::nothrow) QueuedSignal{ctx, signal_index};
    if (queued == nullptr) {
        verbose_print("error: memory allocation error\n");
        return;
    }
    if (!main_loop_post(run_queued_signal, queued, drop_queued_signal))
        delete queued;
}

}  // namespace kv::ui
