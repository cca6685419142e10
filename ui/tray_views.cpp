// The views' side of the seam: the pages in the notebook, the HostCache
// refresh (read on the loader thread, applied here in bounded slices), the
// unsafe counter, the notifications and the About window.
#include "tray_views.hpp"

#include <glib/gi18n.h>

#include <new>

#include "about_window.hpp"
#include "details_pages.hpp"
#include "host_cache.hpp"
#include "hostcache_loader.hpp"
#include "notifications.hpp"
#include "service_state.hpp"
#include "threat_summary.hpp"
#include "tray_context.hpp"
#include "ui_log.hpp"

namespace kv::ui {

// One HostCache result on its way into the pages, in the order of the
// refresh steps.
struct RefreshApply {
    enum Phase { kThreats, kRecordFiles, kExploits, kEvents, kFinish };
    std::unique_ptr<HostCacheSnapshot> snapshot;
    Phase phase = kThreats;
    std::size_t next = 0;
    ThreatSummary summary;
};

namespace {

// A slice of rows stops after this long, so other events get the main loop.
constexpr gint64 kSliceUs = 20'000;

// Adds records [next, end) of `records` until the slice's time is up; true
// when all are in.
template <class Records, class Add>
bool add_rows(RefreshApply& a, const Records& records, gint64 deadline, Add&& add) {
    while (a.next < records.size()) {
        add(records[a.next++]);
        if ((a.next & 63) == 0 && g_get_monotonic_time() > deadline)
            return a.next == records.size();
    }
    return true;
}

// Runs the result on until the slice's time is up; true when it is done.
bool apply_slice(TrayContext& ctx, RefreshApply& a) {
    TrayViews& v = ctx.views;
    HostCacheSnapshot& s = *a.snapshot;
    const gint64 deadline = g_get_monotonic_time() + kSliceUs;
    switch (a.phase) {
    case RefreshApply::kThreats:
        if (s.threats_loaded && v.threats != nullptr) {
            if (a.next == 0)
                threats_begin_reload(*v.threats, s.threats.size());
            if (!add_rows(a, s.threats, deadline, [&](const ThreatRecord& r) {
                    if (add_threat_row(*v.threats, r))
                        ++v.unsafe_counter;
                }))
                return false;
            threats_end_reload(*v.threats);
        }
        a.phase = RefreshApply::kRecordFiles;
        a.next = 0;
        [[fallthrough]];
    case RefreshApply::kRecordFiles:
        if (s.has_scanner_state && s.scanner_state == 1 && ctx.state == kInspecting)
            apply_state(ctx, kIdle);
        if (s.has_analyzed_count && v.threats != nullptr)
            set_analyzed_count(*v.threats, s.analyzed_count);
        a.phase = RefreshApply::kExploits;
        [[fallthrough]];
    case RefreshApply::kExploits:
        if (s.exploits_loaded && v.exploits != nullptr) {
            if (!add_rows(a, s.exploits, deadline, [&](const ExploitRecord& r) { add_exploit_row(*v.exploits, r); }))
                return false;
            gtk_widget_queue_draw(v.exploits->view);
        }
        a.phase = RefreshApply::kEvents;
        a.next = 0;
        [[fallthrough]];
    case RefreshApply::kEvents:
        if (s.events_loaded) {
            // Counted before the row is made, so from the record as read.
            if (!add_rows(a, s.events, deadline, [&](const EventRecord& r) {
                    a.summary.count(r.category == "Threat" ? r.state : 0, r.path);
                    if (v.events != nullptr)
                        add_event_row(*v.events, r);
                }))
                return false;
            if (!s.events.empty())
                notify_threat_summary(ctx, a.summary);
            if (v.events != nullptr)
                gtk_widget_queue_draw(v.events->view);
        }
        a.phase = RefreshApply::kFinish;
        [[fallthrough]];
    case RefreshApply::kFinish:
        break;
    }
    if (v.unsafe_counter != 0)
        set_icon_colour(ctx, kRed);
    return true;
}

void finish_apply(TrayContext& ctx) {
    delete ctx.views.applying;
    ctx.views.applying = nullptr;
    if (ctx.views.loader != nullptr)
        ctx.views.loader->done();
}

gboolean apply_next_slice(gpointer data) {
    auto& ctx = *static_cast<TrayContext*>(data);
    if (ctx.views.applying == nullptr || apply_slice(ctx, *ctx.views.applying)) {
        ctx.views.apply_source = 0;
        finish_apply(ctx);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

// Main loop: a result from the loader.
void on_loader_result(void* data, std::unique_ptr<HostCacheSnapshot> snapshot) {
    auto& ctx = *static_cast<TrayContext*>(data);
    if (snapshot == nullptr || snapshot->header_failed || ctx.shutting_down.load()) {
        if (ctx.views.loader != nullptr)
            ctx.views.loader->done();
        return;
    }
    auto* a = new (std::nothrow) RefreshApply;
    if (a == nullptr) {
        ctx.views.loader->done();
        return;
    }
    a->snapshot = std::move(snapshot);
    ctx.views.applying = a;
    if (apply_slice(ctx, *a))
        finish_apply(ctx);
    else
        ctx.views.apply_source = g_idle_add(apply_next_slice, &ctx);
}

void append_page(GtkNotebook* notebook, GtkWidget* page, const char* tab_msgid) {
    gtk_notebook_append_page(notebook, page, gtk_label_new(_(tab_msgid)));
}

}  // namespace

void views_build_pages(TrayContext& ctx, GtkNotebook* notebook) noexcept {
    TrayViews& v = ctx.views;
    v.threats = threats_page_new();
    v.exploits = exploits_page_new();
    v.events = events_page_new();
    if (v.threats != nullptr)
        append_page(notebook, v.threats->box, N_("HPS_Threats"));
    if (v.exploits != nullptr)
        append_page(notebook, v.exploits->box, N_("HPS_Exploits"));
    if (v.events != nullptr)
        append_page(notebook, v.events->box, N_("HPS_Events"));
    if (v.loader == nullptr)
        v.loader = HostCacheLoader::start(on_loader_result, &ctx);
    if (v.loader == nullptr)
        verbose_print("error: failed to start the HostCache reader\n");
}

void refresh_from_hostcache(TrayContext& ctx, std::uint64_t mask) noexcept {
    TrayViews& v = ctx.views;
    if (v.loader == nullptr) {
        // Without a reader thread, read here (the main loop waits for it).
        static HostCacheChecksums sums;
        auto snapshot = std::unique_ptr<HostCacheSnapshot>(new (std::nothrow) HostCacheSnapshot);
        if (snapshot == nullptr)
            return;
        read_hostcache(svc::kHostCacheDir, mask, &sums, snapshot.get());
        if (snapshot->header_failed || v.applying != nullptr)
            return;
        RefreshApply a;
        a.snapshot = std::move(snapshot);
        while (!apply_slice(ctx, a)) {
        }
        return;
    }
    v.loader->request(mask);
}

bool refresh_pending(const TrayContext& ctx) noexcept {
    return ctx.views.loader != nullptr && ctx.views.loader->busy();
}

void notify_service_signal(TrayContext& ctx, int signal_index) noexcept { notify_for_signal(ctx, signal_index); }

void views_teardown(TrayContext& ctx) noexcept {
    TrayViews& v = ctx.views;
    HostCacheLoader::stop(v.loader);
    v.loader = nullptr;
    if (v.apply_source != 0)
        (void)g_source_remove(v.apply_source);
    v.apply_source = 0;
    delete v.applying;
    v.applying = nullptr;
    about_window_destroy(ctx);
    threats_page_free(v.threats);
    exploits_page_free(v.exploits);
    events_page_free(v.events);
    v.threats = nullptr;
    v.exploits = nullptr;
    v.events = nullptr;
}

}  // namespace kv::ui
