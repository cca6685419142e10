// open_link: the browser is a child of its own; the main loop never waits.
#include "open_link.hpp"

#include <glib.h>

#include "exit_signals.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

// Between fork and exec: the browser gets the exit signals the tray blocks.
void child_setup(gpointer) { exit_signals_unblock_in_child(); }

}  // namespace

int open_link(const char* url) noexcept {
    if (url == nullptr)
        return -1;
    gchar* argv[] = {const_cast<gchar*>(kXdgOpen), const_cast<gchar*>(url), nullptr};
    GError* error = nullptr;
    // The child is reaped by GLib (no DO_NOT_REAP_CHILD), so no zombie stays.
    const gboolean ok = g_spawn_async(nullptr, argv, nullptr, G_SPAWN_STDIN_FROM_DEV_NULL, child_setup, nullptr,
                                      nullptr, &error);
    if (error != nullptr)
        g_error_free(error);
    if (!ok) {
        verbose_print("error: %s %s\n", kXdgOpen, url);
        return -1;
    }
    return 0;
}

}  // namespace kv::ui
