/* Stand-in for a system tool, bound over its fixed path in the test
 * namespace. Each call records, under /tmp/kvstub/<name>.<n>.*, its argument
 * vector byte for byte (argv: NUL-separated), its environment (env), its
 * uids, working directory and open descriptors (info), then answers with
 * the scripted <name>[.<n>].out / .err and exits with <name>[.<n>].status
 * (0 without one). <name>.<n>.done is written once the output is out. As
 * su it runs "su USER -c COMMAND": COMMAND through bash as USER. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standin_fds.h"

#define STUB_DIR "/tmp/kvstub"

extern char** environ;

static void write_all(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w <= 0)
            return;
        data += w;
        n -= (size_t)w;
    }
}

/* The scripted file of call `n`, else the tool's default; its fd or -1. */
static int open_script(const char* name, int n, const char* kind) {
    char path[512];
    snprintf(path, sizeof path, STUB_DIR "/%s.%d.%s", name, n, kind);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(path, sizeof path, STUB_DIR "/%s.%s", name, kind);
        fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    return fd;
}

static void copy_script(const char* name, int n, const char* kind, int out) {
    int fd = open_script(name, n, kind);
    if (fd < 0)
        return;
    char buf[65536];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        write_all(out, buf, (size_t)r);
    close(fd);
}

static void write_file(const char* name, int n, const char* kind, const char* data, size_t size) {
    char path[512];
    snprintf(path, sizeof path, STUB_DIR "/%s.%d.%s", name, n, kind);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    write_all(fd, data, size);
    close(fd);
}

int main(int argc, char** argv) {
    /* The descriptors first, before this program opens any. */
    char fds[4096];
    list_open_fds(fds, sizeof fds);
    const char* name = strrchr(argv[0], '/') != NULL ? strrchr(argv[0], '/') + 1 : argv[0];
    (void)mkdir(STUB_DIR, 0777);
    int n = 1;
    for (;; ++n) {
        char path[512];
        snprintf(path, sizeof path, STUB_DIR "/%s.%d.argv", name, n);
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            for (int i = 0; i < argc; ++i)
                write_all(fd, argv[i], strlen(argv[i]) + 1);
            close(fd);
            break;
        }
        if (errno != EEXIST)
            return 120;
    }
    char env[1 << 16];
    size_t used = 0;
    for (char** e = environ; *e != NULL; ++e) {
        size_t len = strlen(*e) + 1;
        if (used + len > sizeof env)
            break;
        memcpy(env + used, *e, len);
        used += len;
    }
    write_file(name, n, "env", env, used);
    char cwd[1024] = "";
    if (getcwd(cwd, sizeof cwd) == NULL)
        strcpy(cwd, "?");
    char info[8192];
    int len = snprintf(info, sizeof info, "uid %d\neuid %d\ncwd %s\nfds%s\n", (int)getuid(), (int)geteuid(), cwd,
                       fds);
    write_file(name, n, "info", info, (size_t)len);

    copy_script(name, n, "out", STDOUT_FILENO);
    copy_script(name, n, "err", STDERR_FILENO);
    int status = 0;
    int sfd = open_script(name, n, "status");
    if (sfd >= 0) {
        char s[16] = "";
        ssize_t r = read(sfd, s, sizeof s - 1);
        s[r > 0 ? r : 0] = '\0';
        status = atoi(s);
        close(sfd);
    }
    write_file(name, n, "done", "", 0);
    if (strcmp(name, "su") == 0 && status == 0) {
        if (argc != 4 || strcmp(argv[2], "-c") != 0)
            return 125;
        struct passwd* pw = getpwnam(argv[1]);
        if (pw == NULL)
            return 126;
        if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
            return 127;
        execl("/bin/bash", "bash", "-c", argv[3], (char*)NULL);
        return 127;
    }
    return status;
}
