// The details window's frame.
#include "details_window.hpp"

#include <glib/gi18n.h>
#include <unistd.h>

#include <climits>

#include "open_link.hpp"
#include "service_state.hpp"

namespace kv::ui {
namespace {

constexpr std::uint64_t kStartupRefreshMask = 0xFBEE;
constexpr int kSpacing = 4;

void on_help_clicked(GtkButton*, gpointer) { (void)open_link(_("SupportUrlEP")); }

}  // namespace

int details_window_build(TrayContext& ctx) noexcept {
    DetailsWindow& d = ctx.details;
    if (d.window != nullptr)
        return 0;
    d.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (d.window == nullptr)
        return -ENOMEM;
    gtk_widget_set_name(d.window, "korvaneui_main");
    gtk_window_set_title(GTK_WINDOW(d.window), "KorvaneGUARD");
    gtk_window_set_resizable(GTK_WINDOW(d.window), TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(d.window), 0);
    if (ctx.app_icon != nullptr)
        gtk_window_set_icon(GTK_WINDOW(d.window), ctx.app_icon);
    gtk_widget_set_size_request(d.window, 500, 350);
    // Closing only hides: the window lives until teardown.
    g_signal_connect(d.window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);

    d.content = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(d.window), d.content);

    d.header = gtk_hbox_new(FALSE, kSpacing);
    const int colour = ctx.icon_colour.load();
    d.status_image = ctx.colour_pixbufs[colour] != nullptr ? gtk_image_new_from_pixbuf(ctx.colour_pixbufs[colour])
                                                           : gtk_image_new();
    gtk_box_pack_start(GTK_BOX(d.header), d.status_image, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(d.header), gtk_image_new_from_file(kGuardImagePath), FALSE, FALSE, 0);
    char host[257] = {};
    d.host_label = gtk_label_new(gethostname(host, sizeof host - 1) == 0 ? host : "");
    gtk_box_pack_end(GTK_BOX(d.header), d.host_label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(d.content), d.header, FALSE, FALSE, 0);

    gtk_box_pack_start(GTK_BOX(d.content), gtk_hseparator_new(), FALSE, FALSE, 0);

    d.notebook = gtk_notebook_new();
    gtk_box_pack_start(GTK_BOX(d.content), d.notebook, TRUE, TRUE, 0);

    d.footer = gtk_hbox_new(FALSE, kSpacing);
    d.status_label = gtk_label_new("");
    gtk_box_pack_start(GTK_BOX(d.footer), d.status_label, FALSE, FALSE, 0);
    d.help_button = gtk_button_new();
    gtk_button_set_relief(GTK_BUTTON(d.help_button), GTK_RELIEF_NONE);
    gtk_button_set_image(GTK_BUTTON(d.help_button), gtk_image_new_from_file(kHelpImagePath));
    g_signal_connect(d.help_button, "clicked", G_CALLBACK(on_help_clicked), nullptr);
    gtk_box_pack_end(GTK_BOX(d.footer), d.help_button, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(d.content), d.footer, FALSE, FALSE, 0);

    views_build_pages(ctx, GTK_NOTEBOOK(d.notebook));
    gtk_widget_show_all(d.content);
    refresh_status_line(ctx);
    refresh_from_hostcache(ctx, kStartupRefreshMask);
    return 0;
}

void show_details_window(TrayContext& ctx) noexcept {
    DetailsWindow& d = ctx.details;
    if (d.window == nullptr && details_window_build(ctx) != 0)
        return;
    if (!d.shown_once) {
        d.shown_once = true;
        gtk_widget_show(d.window);
    } else {
        gtk_window_present(GTK_WINDOW(d.window));
    }
}

void details_window_destroy(TrayContext& ctx) noexcept {
    DetailsWindow& d = ctx.details;
    if (d.window != nullptr)
        gtk_widget_destroy(d.window);
    d = DetailsWindow{};
}

}  // namespace kv::ui
