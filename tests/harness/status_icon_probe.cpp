// A minimal GTK+ 2 program with one status icon, for desktop tests: the icon
// is a solid colour (or an image file), so its pixels on screen can be
// checked once the tray host has embedded it. Runs until SIGTERM or SIGINT.
// Usage: kv_test_status_icon [--colour RRGGBB | --file PNG] [--size N]
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

gboolean on_quit_signal(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

void on_embedded(GObject* icon, GParamSpec*, gpointer) {
    if (gtk_status_icon_is_embedded(GTK_STATUS_ICON(icon))) {
        std::printf("embedded\n");
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    unsigned long colour = 0xff0000;
    const char* file = nullptr;
    int size = 48;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--colour") == 0 && i + 1 < argc) {
            colour = std::strtoul(argv[++i], nullptr, 16) & 0xffffff;
        } else if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
            file = argv[++i];
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            size = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--colour RRGGBB | --file PNG] [--size N]\n", argv[0]);
            return 2;
        }
    }
    if (size < 1 || size > 256)
        size = 48;
    GdkPixbuf* pixbuf = nullptr;
    if (file != nullptr) {
        GError* error = nullptr;
        pixbuf = gdk_pixbuf_new_from_file(file, &error);
        if (pixbuf == nullptr) {
            std::fprintf(stderr, "%s: %s\n", file, error->message);
            g_error_free(error);
            return 1;
        }
    } else {
        pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
        gdk_pixbuf_fill(pixbuf, (static_cast<guint32>(colour) << 8) | 0xffu);
    }
    GtkStatusIcon* icon = gtk_status_icon_new_from_pixbuf(pixbuf);
    g_object_unref(pixbuf);
    gtk_status_icon_set_tooltip(icon, "status icon probe");
    g_signal_connect(icon, "notify::embedded", G_CALLBACK(on_embedded), nullptr);
    gtk_status_icon_set_visible(icon, TRUE);
    g_unix_signal_add(SIGTERM, on_quit_signal, nullptr);
    g_unix_signal_add(SIGINT, on_quit_signal, nullptr);
    gtk_main();
    g_object_unref(icon);
    return 0;
}
