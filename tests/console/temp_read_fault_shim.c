/* Test-only LD_PRELOAD shim: makes reads of a ".dorimelt" file fail with EIO
 * and refuses the range collapse (as tmpfs does), so that a console run has
 * to copy its data forward at the end and that copy cannot read the data.
 * Nothing else is touched. Never linked into a product. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int isTempFile(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    size_t len = (size_t)n;
    return len > 9 && strcmp(target + len - 9, ".dorimelt") == 0;
}

ssize_t read(int fd, void* buffer, size_t count) {
    static ssize_t (*real)(int, void*, size_t);
    if (isTempFile(fd)) {
        errno = EIO;
        return -1;
    }
    if (!real) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    return real(fd, buffer, count);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (isTempFile(fd)) {
        errno = EIO;
        return -1;
    }
    if (!real) real = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    return real(fd, buffer, count, offset);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    static int (*real)(int, int, off_t, off_t);
    if (mode & FALLOC_FL_COLLAPSE_RANGE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (!real) real = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
    return real(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
    return fallocate(fd, mode, offset, length);
}
