/* A process that takes (or does not take) the single-instance lock of the
 * libkvhelper it is linked with, as the service would. It reports on
 * descriptor 3, one line: "rc=<KvOpenSemaphore's result> term=<d> int=<d>
 * tstp=<d> bus=<d>" with each signal's disposition afterwards (dfl, ign,
 * own: the probe's own handler, lib: another handler), then:
 *   hold        waits for signals (the service running);
 *   open-exit   returns from main (the library is unloaded at exit);
 *   exit        does not take the lock, just exits (a process such as the
 *               updater that loads and unloads the library).
 * Options before the mode: own-term (its own SIGTERM handler first, which
 * exits with status 7), ignore-int (SIGINT ignored first). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kvhelper.h"

static void own_handler(int sig) {
    (void)sig;
    _exit(7);
}

static const char* disposition(int sig) {
    struct sigaction act;
    if (sigaction(sig, NULL, &act) != 0)
        return "?";
    if (act.sa_flags & SA_SIGINFO)
        return "lib";
    if (act.sa_handler == SIG_DFL)
        return "dfl";
    if (act.sa_handler == SIG_IGN)
        return "ign";
    return act.sa_handler == own_handler ? "own" : "lib";
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[argc - 1] : "hold";
    /* A process group of its own, its parent in the same session: the group
     * is not orphaned, so a stop signal stops it (the kernel discards
     * SIGTSTP sent to an orphaned group, as a test run without a terminal
     * may leave the caller's). */
    (void)setpgid(0, 0);
    for (int i = 1; i < argc - 1; ++i) {
        if (strcmp(argv[i], "own-term") == 0)
            signal(SIGTERM, own_handler);
        else if (strcmp(argv[i], "ignore-int") == 0)
            signal(SIGINT, SIG_IGN);
    }
    const int rc = strcmp(mode, "exit") == 0 ? -1 : KvOpenSemaphore();
    char line[160];
    const int n = snprintf(line, sizeof line, "rc=%d term=%s int=%s tstp=%s bus=%s\n", rc, disposition(SIGTERM),
                           disposition(SIGINT), disposition(SIGTSTP), disposition(SIGBUS));
    if (write(3, line, (size_t)n) != n)
        return 2;
    (void)close(3);
    if (strcmp(mode, "hold") == 0) {
        for (;;)
            pause();
    }
    return 0;
}
