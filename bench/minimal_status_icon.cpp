// The baseline of the tray benchmark: the least GTK+ 2 program that shows
// one status icon (the same yellow image) and idles in its main loop.
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkStatusIcon* icon = argc > 1 ? gtk_status_icon_new_from_file(argv[1]) : gtk_status_icon_new();
    gtk_status_icon_set_visible(icon, TRUE);
    gtk_main();
    g_object_unref(icon);
    return 0;
}
