/* The open descriptors of the calling process as " 0 1 2 ...", listed from
 * /proc/self/fd without the listing's own descriptor; shared by the native
 * stand-ins. */
#ifndef KV_STANDIN_FDS_H
#define KV_STANDIN_FDS_H

#include <dirent.h>
#include <stdlib.h>
#include <string.h>

static void list_open_fds(char* out, size_t size) {
    out[0] = '\0';
    DIR* d = opendir("/proc/self/fd");
    if (d == NULL)
        return;
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d))
            continue;
        strncat(out, " ", size - strlen(out) - 1);
        strncat(out, e->d_name, size - strlen(out) - 1);
    }
    closedir(d);
}

#endif
