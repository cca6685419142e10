// The exit signals' self-pipe.
#include "exit_signals.hpp"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "ui_log.hpp"

namespace kv::ui {
namespace {

constinit int g_pipe_write = -1;

// Async-signal-safe: one write(2) of one byte, errno preserved.
void on_exit_signal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(g_pipe_write, &byte, 1);
    errno = saved;
}

gboolean on_pipe_readable(gint fd, GIOCondition, gpointer) {
    unsigned char byte = 0;
    if (read(fd, &byte, 1) == 1) {
        always_print("exiting on signal(%d)...\n", byte);
        gtk_main_quit();
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int exit_signals_install() noexcept {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -errno;
    g_pipe_write = fds[1];
    if (g_unix_fd_add(fds[0], G_IO_IN, on_pipe_readable, nullptr) == 0)
        return -ENOMEM;
    struct sigaction action {};
    action.sa_handler = on_exit_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGQUIT}) {
        if (sigaction(number, &action, nullptr) != 0)
            return -errno;
    }
    return 0;
}

}  // namespace kv::ui
