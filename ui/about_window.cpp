// The About window.
#include "about_window.hpp"

#include <glib/gi18n.h>
#include <gtk/gtk.h>

#include "text_sanitiser.hpp"
#include "tray_context.hpp"

// The "__version" section's text, defined by the program's generated
// version object (weak: the unit-test programs have none).
extern "C" [[gnu::weak]] const char version_number[];

namespace kv::ui {
namespace {

constexpr std::size_t kLineMax = 254;   // a 255-byte line buffer, NUL included
constexpr int kSpacing = 4;
constexpr int kPadding = 16;

std::string line(const char* caption, const std::string& text) {
    std::string out = sanitise_text(std::string(caption) + " " + text);
    utf8_cut(&out, kLineMax);
    return out;
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<TrayContext*>(data)->about_window = nullptr;
    return FALSE;   // GTK destroys it
}

void pack_row(GtkWidget* box, GtkWidget* child) {
    GtkWidget* row = gtk_hbox_new(TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), child, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, TRUE, TRUE, 0);
}

}  // namespace

std::vector<std::string> about_lines(TrayContext& ctx) {
    std::vector<std::string> lines;
    lines.push_back(line(_("Version"), &version_number != nullptr ? version_number : ""));
    std::lock_guard<std::mutex> lock(ctx.mutex);
    if (ctx.has_policy_text) {
        lines.push_back(line(_("AboutPolicy"), ctx.policy_text));
        if (ctx.has_policy_last_update)
            lines.push_back(line(_("AboutPolicyLastUpdated"), ctx.policy_last_update));
    }
    return lines;
}

void open_about_window(TrayContext& ctx) noexcept {
    if (ctx.about_window != nullptr) {
        gtk_window_present(GTK_WINDOW(ctx.about_window));
        return;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (window == nullptr)
        return;
    gtk_widget_set_name(window, _("AboutWindowName"));
    gtk_window_set_title(GTK_WINDOW(window), _("AboutWindowTitle"));
    gtk_window_set_resizable(GTK_WINDOW(window), TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(window), 0);
    if (ctx.app_icon != nullptr)
        gtk_window_set_icon(GTK_WINDOW(window), ctx.app_icon);
    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), &ctx);

    GtkWidget* box = gtk_vbox_new(FALSE, kSpacing);
    // The window has no border; the box keeps the text off its edges.
    gtk_container_set_border_width(GTK_CONTAINER(box), kPadding);
    gtk_container_add(GTK_CONTAINER(window), box);
    pack_row(box, ctx.app_icon != nullptr ? gtk_image_new_from_pixbuf(ctx.app_icon) : gtk_image_new());
    for (const std::string& text : about_lines(ctx))
        pack_row(box, gtk_label_new(text.c_str()));
    ctx.about_window = window;
    gtk_widget_show_all(window);
}

void about_window_destroy(TrayContext& ctx) noexcept {
    if (ctx.about_window != nullptr)
        gtk_widget_destroy(ctx.about_window);
    ctx.about_window = nullptr;
}

}  // namespace kv::ui
