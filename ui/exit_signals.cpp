// The exit signals through a signalfd.
#include "exit_signals.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "ui_log.hpp"

namespace kv::ui {
namespace {

sigset_t exit_signal_set() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGQUIT);
    return set;
}

gboolean on_signal_readable(gint fd, GIOCondition, gpointer) {
    signalfd_siginfo info{};
    if (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        always_print("exiting on signal(%d)...\n", static_cast<int>(info.ssi_signo));
        gtk_main_quit();
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int exit_signals_install() noexcept {
    const sigset_t set = exit_signal_set();
    const int r = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (r != 0)
        return -r;
    const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0)
        return -errno;
    if (g_unix_fd_add(fd, G_IO_IN, on_signal_readable, nullptr) == 0) {
        (void)close(fd);
        return -ENOMEM;
    }
    return 0;
}

void exit_signals_unblock_in_child() noexcept {
    const sigset_t set = exit_signal_set();
    (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kv::ui
