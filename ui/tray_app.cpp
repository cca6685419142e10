// Start-up, bus callbacks and teardown of the tray program.
#include "tray_app.hpp"

#include <glib/gi18n.h>
#include <gtk/gtk.h>
#include <libnotify/notify.h>
#include <openssl/opensslv.h>
#include <signal.h>

#include <clocale>
#include <new>

#include "client_impl.hpp"
#include "details_window.hpp"
#include "exit_signals.hpp"
#include "main_loop_queue.hpp"
#include "mono_clock.hpp"
#include "query_worker.hpp"
#include "service_state.hpp"
#include "settings_store.hpp"
#include "tray_context.hpp"
#include "tray_icon.hpp"
#include "ui_bus_endpoint.hpp"
#include "ui_log.hpp"

#if OPENSSL_VERSION_NUMBER < 0x10100000L
#include <openssl/crypto.h>
#endif

namespace kv::ui {
namespace {

#if OPENSSL_VERSION_NUMBER < 0x10100000L
pthread_mutex_t* g_openssl_locks = nullptr;

void openssl_lock(int mode, int index, const char*, int) {
    if (mode & CRYPTO_LOCK)
        pthread_mutex_lock(&g_openssl_locks[index]);
    else
        pthread_mutex_unlock(&g_openssl_locks[index]);
}

unsigned long openssl_thread_id() { return static_cast<unsigned long>(pthread_self()); }
#endif

// OpenSSL before 1.1 needs the application's locks for use from several
// threads; OpenSSL 1.1 and 3 (Debian 12's) lock internally and have no
// callbacks to set, so there is nothing to install.
void install_openssl_locking() noexcept {
#if OPENSSL_VERSION_NUMBER < 0x10100000L
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    const int n = CRYPTO_num_locks();
    g_openssl_locks = static_cast<pthread_mutex_t*>(OPENSSL_malloc(n * sizeof(pthread_mutex_t)));
    if (g_openssl_locks == nullptr) {
        verbose_print("memory allocation failed for locks");
        return;
    }
    for (int i = 0; i < n; ++i)
        pthread_mutex_init(&g_openssl_locks[i], nullptr);
    CRYPTO_set_id_callback(openssl_thread_id);
    CRYPTO_set_locking_callback(openssl_lock);
#endif
}

void trace_when_verbose(const char* line) {
    if (verbose()) {
        (void)std::fputs(line, stdout);
        (void)std::fflush(stdout);
    }
}

// --- bus callbacks: on the endpoint's listener thread ---

void show_details_on_main(void* data) {
    auto* ctx = static_cast<TrayContext*>(data);
    if (!ctx->shutting_down.load())
        show_details_window(*ctx);
}

void show_about_on_main(void* data) {
    auto* ctx = static_cast<TrayContext*>(data);
    if (!ctx->shutting_down.load())
        open_about_window(*ctx);
}

// The value is already set; this saves it and mirrors it in the check item
// (as a change of the program's, so the user-changed mark stays as the
// setter made it).
void save_bus_setting_on_main(void* data) {
    auto* ctx = static_cast<TrayContext*>(data);
    if (ctx->shutting_down.load())
        return;
    ShowNotificationsSetting& s = ctx->show_notifications;
    if (ctx->notifications_item != nullptr) {
        GtkCheckMenuItem* item = GTK_CHECK_MENU_ITEM(ctx->notifications_item);
        if ((gtk_check_menu_item_get_active(item) != FALSE) != s.stored.load()) {
            s.programmatic = true;
            gtk_check_menu_item_set_active(item, s.stored.load());   // its handler saves
            return;
        }
    }
    settings_save(ctx->settings, s);
}

void quit_on_main(void*) { gtk_main_quit(); }

void bus_show_details(void* data) { (void)main_loop_post(show_details_on_main, data); }
void bus_show_about(void* data) { (void)main_loop_post(show_about_on_main, data); }
int bus_get_icon_colour(void* data) { return static_cast<TrayContext*>(data)->icon_colour.load(); }
bool bus_get_show_notifications(void* data) { return static_cast<TrayContext*>(data)->show_notifications.effective(); }
void bus_set_show_notifications(void* data, bool value) {
    auto* ctx = static_cast<TrayContext*>(data);
    set_from_bus(ctx->show_notifications, value ? "true" : "false");
    (void)main_loop_post(save_bus_setting_on_main, ctx);
}
void bus_lost(void*) { (void)main_loop_post(quit_on_main, nullptr); }

// --- context ---

void load_pixbufs(TrayContext& ctx) noexcept {
    ctx.app_icon = gdk_pixbuf_new_from_file(kAppIconPath, nullptr);
    for (int c = kGreen; c <= kRed; ++c) {
        ctx.colour_pixbufs[c] = gdk_pixbuf_new_from_file(kColourImagePaths[c], nullptr);
        if (ctx.colour_pixbufs[c] == nullptr)
            verbose_print("error: failed to load %s: that icon colour is not shown\n", kColourImagePaths[c]);
    }
}

void drop_pixbufs(TrayContext& ctx) noexcept {
    release_object(ctx.app_icon);
    for (GdkPixbuf*& p : ctx.colour_pixbufs)
        release_object(p);
}

TrayContext* context_create() noexcept {
    if (main_loop_queue_open() != 0)
        return nullptr;
    auto* ctx = new (std::nothrow) TrayContext;
    if (ctx == nullptr) {
        main_loop_queue_close();
        return nullptr;
    }
    if (worker_start(*ctx) != 0) {
        delete ctx;
        main_loop_queue_close();
        return nullptr;
    }
    load_pixbufs(*ctx);
    ctx->tick_source = g_timeout_add_seconds(kTickSeconds, tick, ctx);
    const std::int64_t now = monotonic_us();
    ctx->last_signal_us.store(now);
    ctx->last_status_refresh_us = now;
    ctx->last_policy_refresh_us = now;
    ctx->settings = settings_open();
    settings_load(ctx->settings, ctx->show_notifications);
    (void)svc::listenForServiceSignals(on_service_signal, ctx);
    return ctx;
}

// Threads first: the service listener and the worker queue work that
// touches the context, and the endpoint's listener calls the setter, whose
// save runs on the main loop, so nothing else runs while the rest goes.
void context_teardown(TrayContext* ctx) noexcept {
    if (ctx == nullptr)
        return;
    ctx->shutting_down.store(true);
    svc::clearServiceSignalCallback();
    worker_stop(*ctx);
    svc::stopServiceClient();
    UiBusEndpoint::shutdown(ctx->endpoint);
    ctx->endpoint = nullptr;
    if (ctx->tick_source != 0)
        (void)g_source_remove(ctx->tick_source);
    ctx->tick_source = 0;
    tray_icon_destroy(*ctx);
    views_teardown(*ctx);
    details_window_destroy(*ctx);
    drop_pixbufs(*ctx);
    settings_close(ctx->settings);
    ctx->settings = nullptr;
    // Every thread that posts has ended; what it queued and the loop did
    // not run goes with the context.
    main_loop_queue_close();
    delete ctx;
}

void connect_endpoint(TrayContext& ctx) noexcept {
    if (ctx.endpoint == nullptr) {
        verbose_print("failed to initialize ui dbus interface\n");
        return;
    }
    UiBusCallbacks callbacks;
    callbacks.show_details_window = bus_show_details;
    callbacks.show_about_window = bus_show_about;
    callbacks.get_icon_colour = bus_get_icon_colour;
    callbacks.get_show_notifications = bus_get_show_notifications;
    callbacks.set_show_notifications = bus_set_show_notifications;
    callbacks.bus_lost = bus_lost;
    ctx.endpoint->set_callbacks(callbacks, &ctx);
    (void)ctx.endpoint->listen();
    ctx.endpoint->emit_signal(kUiObjectPath, kUiInterface, "showNotificationsChanged");
}

}  // namespace

int run_tray(int argc, char** argv) noexcept {
    gboolean verbose_option = FALSE;
    GOptionEntry entries[] = {
        {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose_option, "Verbose output", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    GOptionContext* options = g_option_context_new("- KorvaneGUARD UI");
    if (options == nullptr) {
        always_print("error: failed to allocate option context\n");
        return -1;
    }
    g_option_context_set_translation_domain(options, kTextDomain);
    g_option_context_add_main_entries(options, entries, kTextDomain);
    GError* error = nullptr;
    if (!g_option_context_parse(options, &argc, &argv, &error)) {
        always_print("error: failed to parse options: %s\n", error != nullptr ? error->message : "");
        if (error != nullptr)
            g_error_free(error);
        g_option_context_free(options);
        return -1;
    }
    g_option_context_free(options);
    set_verbose(verbose_option != FALSE);
    svc::setTracePrinter(trace_when_verbose);

    if (exit_signals_install() != 0) {
        always_print("error: failed to setup signal handlers\n");
        return -1;
    }
    // A write to the pipe of a worker that has ended must not end the
    // program; the write's error is enough.
    (void)signal(SIGPIPE, SIG_IGN);

    gtk_init(&argc, &argv);
    (void)notify_init("KorvaneGUARDUI");
    install_openssl_locking();

    TrayContext* ctx = context_create();
    if (ctx == nullptr) {
        verbose_print("error: memory allocation eror\n");
        notify_uninit();
        return 1;
    }
    ctx->endpoint = UiBusEndpoint::create(BusKind::session, kUiBusName);
    if (ctx->endpoint == nullptr) {
        verbose_print("error: failed to create DBus context, another instance exits.\n");
        context_teardown(ctx);
        notify_uninit();
        return 1;
    }

    (void)std::setlocale(LC_ALL, "");
    (void)bindtextdomain(kTextDomain, kLocaleDir);
    (void)bind_textdomain_codeset(kTextDomain, "UTF-8");
    (void)textdomain(kTextDomain);

    (void)tray_icon_create(*ctx);
    (void)details_window_build(*ctx);
    connect_endpoint(*ctx);
    send_worker_command(*ctx, kWorkerQueryDriver);

    gtk_main();

    context_teardown(ctx);
    notify_uninit();
    return 0;
}

}  // namespace kv::ui
