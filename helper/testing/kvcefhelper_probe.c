/* The updater's library as the updater loads it: dlopen in a process of its
 * own, optionally after libkvhelper was loaded with global visibility, then
 * one action, its answer on standard output.
 *   kvcefhelper_probe [--preload LIBKVHELPER] LIBKVCEFHELPER ACTION [ARG]...
 * Actions:
 *   version                 get_version()
 *   symbols [+NAME|-NAME]   "missing NAME" / "present NAME" for each name
 *                           that should (+) or should not (-) resolve in it
 *   firewall                KvIsFireWallOn()
 *   elf-open PATH           "null" or "context" from kv_elf_open
 *   lock-unload             OpenSemaphore(), dlclose, whether the name is left
 *   unload                  dlclose, whether the name is left
 * Exit status 0 when the action ran, 2 when the library could not be used. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define SEMAPHORE_FILE "/dev/shm/sem.com.korvane.kvkvkv"

static void* need(void* lib, const char* name) {
    void* sym = dlsym(lib, name);
    if (sym == NULL) {
        fprintf(stderr, "no %s: %s\n", name, dlerror());
        _exit(2);
    }
    return sym;
}

static const char* name_left(void) { return access(SEMAPHORE_FILE, F_OK) == 0 ? "left" : "gone"; }

int main(int argc, char** argv) {
    int i = 1;
    if (argc > 2 && strcmp(argv[1], "--preload") == 0) {
        if (dlopen(argv[2], RTLD_NOW | RTLD_GLOBAL) == NULL) {
            fprintf(stderr, "preload: %s\n", dlerror());
            return 2;
        }
        i = 3;
    }
    if (argc < i + 2) {
        fprintf(stderr, "usage: kvcefhelper_probe [--preload LIB] LIB ACTION [ARG]...\n");
        return 2;
    }
    void* lib = dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    const char* action = argv[i + 1];
    char** args = argv + i + 2;
    const int nargs = argc - i - 2;
    if (strcmp(action, "version") == 0) {
        const char* (*get_version)(void) = (const char* (*)(void))need(lib, "get_version");
        printf("%s\n", get_version());
    } else if (strcmp(action, "symbols") == 0) {
        for (int k = 0; k < nargs; ++k) {
            const int wanted = args[k][0] == '+';
            const int found = dlsym(lib, args[k] + 1) != NULL;
            if (wanted && !found)
                printf("missing %s\n", args[k] + 1);
            if (!wanted && found)
                printf("present %s\n", args[k] + 1);
        }
    } else if (strcmp(action, "firewall") == 0) {
        int (*on)(void) = (int (*)(void))need(lib, "KvIsFireWallOn");
        printf("%d\n", on());
    } else if (strcmp(action, "elf-open") == 0 && nargs == 1) {
        void* (*elf_open)(const char*) = (void* (*)(const char*))need(lib, "kv_elf_open");
        void (*elf_close)(void*) = (void (*)(void*))need(lib, "kv_elf_close");
        void* ctx = elf_open(args[0]);
        printf("%s\n", ctx != NULL ? "context" : "null");
        elf_close(ctx);
    } else if (strcmp(action, "lock-unload") == 0) {
        int (*open_semaphore)(void) = (int (*)(void))need(lib, "OpenSemaphore");
        printf("%d\n", open_semaphore());
        if (dlclose(lib) != 0)
            return 2;
        printf("%s\n", name_left());
    } else if (strcmp(action, "unload") == 0) {
        if (dlclose(lib) != 0)
            return 2;
        printf("%s\n", name_left());
    } else {
        fprintf(stderr, "unknown action %s\n", action);
        return 2;
    }
    fflush(stdout);
    return 0;
}
