// The status icon and its menu.
#include "tray_icon.hpp"

#include <glib/gi18n.h>

#include "details_window.hpp"
#include "open_link.hpp"
#include "settings_store.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

TrayContext& ctx_of(gpointer data) { return *static_cast<TrayContext*>(data); }

void on_show_details(GtkMenuItem*, gpointer data) { show_details_window(ctx_of(data)); }
void on_visit_site(GtkMenuItem*, gpointer) { (void)open_link(_("Url")); }
void on_help(GtkMenuItem*, gpointer) { (void)open_link(_("SupportUrlEP")); }
void on_check_updates(GtkMenuItem*, gpointer data) { send_worker_command(ctx_of(data), kWorkerUpdateCheck); }
void on_check_policy(GtkMenuItem*, gpointer data) { send_worker_command(ctx_of(data), kWorkerPolicyCheck); }
void on_about(GtkMenuItem*, gpointer data) { open_about_window(ctx_of(data)); }
void on_exit(GtkMenuItem*, gpointer) { gtk_main_quit(); }
void on_toggled(GtkCheckMenuItem* item, gpointer data) {
    on_show_notifications_toggled(ctx_of(data), gtk_check_menu_item_get_active(item) != FALSE);
}

void on_activate(GtkStatusIcon*, gpointer data) { show_details_window(ctx_of(data)); }

void on_popup(GtkStatusIcon*, guint button, guint activate_time, gpointer data) {
    TrayContext& ctx = ctx_of(data);
    if (ctx.tray_icon.menu != nullptr)
        gtk_menu_popup(GTK_MENU(ctx.tray_icon.menu), nullptr, nullptr, nullptr, nullptr, button, activate_time);
}

void append(GtkWidget* menu, GtkWidget* item) { gtk_menu_shell_append(GTK_MENU_SHELL(menu), item); }

void append_item(TrayContext& ctx, GtkWidget* menu, const char* label, void (*handler)(GtkMenuItem*, gpointer)) {
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    g_signal_connect(item, "activate", G_CALLBACK(handler), &ctx);
    append(menu, item);
}

GtkWidget* build_menu(TrayContext& ctx) {
    GtkWidget* menu = gtk_menu_new();
    if (menu == nullptr)
        return nullptr;
    g_object_ref_sink(menu);
    append_item(ctx, menu, _("ShowDetailsMenu"), on_show_details);
    append(menu, gtk_separator_menu_item_new());
    append_item(ctx, menu, _("CM_VisitSite"), on_visit_site);
    append_item(ctx, menu, _("CM_Help"), on_help);
    append_item(ctx, menu, _("CM_CheckForUpdates"), on_check_updates);
    append_item(ctx, menu, _("CM_CheckForPolicyUpdate"), on_check_policy);
    append_item(ctx, menu, _("CM_About"), on_about);
    append(menu, gtk_separator_menu_item_new());
    GtkWidget* check = gtk_check_menu_item_new_with_mnemonic(_("CM_ShowNotifications"));
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(check), ctx.show_notifications.effective());
    g_signal_connect(check, "toggled", G_CALLBACK(on_toggled), &ctx);
    append(menu, check);
    ctx.notifications_item = check;
    append(menu, gtk_separator_menu_item_new());
    append_item(ctx, menu, _("CM_Exit"), on_exit);
    gtk_widget_show_all(menu);
    return menu;
}

}  // namespace

void on_show_notifications_toggled(TrayContext& ctx, bool active) noexcept {
    on_item_toggled(ctx.show_notifications, active);
    settings_save(ctx.settings, ctx.show_notifications);
}

int tray_icon_create(TrayContext& ctx) noexcept {
    TrayIcon& icon = ctx.tray_icon;
    icon.menu = build_menu(ctx);
    if (icon.menu == nullptr) {
        verbose_print("error: failed to create gtk menu\n");
        return -ENOMEM;
    }
    GdkPixbuf* yellow = ctx.colour_pixbufs[kYellow];
    icon.status_icon = yellow != nullptr ? gtk_status_icon_new_from_pixbuf(yellow) : gtk_status_icon_new();
    if (icon.status_icon == nullptr) {
        verbose_print("error: failed to create tray icon\n");
        tray_icon_destroy(ctx);
        return -ENOMEM;
    }
    gtk_status_icon_set_tooltip_text(icon.status_icon, "KorvaneGUARD");
    g_signal_connect(icon.status_icon, "activate", G_CALLBACK(on_activate), &ctx);
    g_signal_connect(icon.status_icon, "popup-menu", G_CALLBACK(on_popup), &ctx);
    gtk_status_icon_set_visible(icon.status_icon, TRUE);
    return 0;
}

void tray_icon_destroy(TrayContext& ctx) noexcept {
    TrayIcon& icon = ctx.tray_icon;
    if (icon.status_icon != nullptr)
        gtk_status_icon_set_visible(icon.status_icon, FALSE);
    release_object(icon.status_icon);
    if (icon.menu != nullptr) {
        ctx.notifications_item = nullptr;
        gtk_widget_destroy(icon.menu);
        release_object(icon.menu);
    }
}

}  // namespace kv::ui
