/* A stand-in for a long-running desktop program (the tray program, a
 * desktop session, the agent service for the running checks): records its
 * uid, DISPLAY and open descriptors in /tmp/kvtray/<pid> when that directory
 * exists and it runs as korvaneui, then waits; on SIGTERM it writes /tmp/kvtray/<pid>.term and ends. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "standin_fds.h"

static volatile sig_atomic_t terminated;

static void on_term(int sig) {
    (void)sig;
    terminated = 1;
}

int main(int argc, char** argv) {
    const char* name = argc > 0 ? strrchr(argv[0], '/') : NULL;
    name = name != NULL ? name + 1 : (argc > 0 ? argv[0] : "");
    char fds[4096];
    list_open_fds(fds, sizeof fds);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, NULL);
    char path[64];
    snprintf(path, sizeof path, "/tmp/kvtray/%d", (int)getpid());
    FILE* f = strcmp(name, "korvaneui") == 0 ? fopen(path, "w") : NULL;
    if (f != NULL) {
        const char* display = getenv("DISPLAY");
        fprintf(f, "uid %d\ndisplay %s\nfds%s\n", (int)getuid(), display != NULL ? display : "(none)", fds);
        fclose(f);
    }
    while (!terminated)
        pause();
    snprintf(path, sizeof path, "/tmp/kvtray/%d.term", (int)getpid());
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        close(fd);
    return 0;
}
