/* Preloaded into a server under test (LD_PRELOAD): while the file named by
 * TARNIX_FSYNC_FAIL_SWITCH exists, fsync and fdatasync of every file whose path starts
 * with TARNIX_FSYNC_FAIL_UNDER fail with EIO, as a disk that lost the write would
 * report it. Everything else goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failing(int fd) {
    const char* under = getenv("TARNIX_FSYNC_FAIL_UNDER");
    const char* fence = getenv("TARNIX_FSYNC_FAIL_SWITCH");
    if (!under || !fence || access(fence, F_OK) != 0)
        return 0;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return 0;
    path[n] = '\0';
    return strncmp(path, under, strlen(under)) == 0;
}

int fsync(int fd) {
    static int (*real)(int);
    if (failing(fd)) {
        errno = EIO;
        return -1;
    }
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (failing(fd)) {
        errno = EIO;
        return -1;
    }
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "fdatasync");
    return real(fd);
}
