/* Benchmark-only LD_PRELOAD shim: lets bench/run.sh measure what the
 * downloader's disk safety costs without any switch in the program itself.
 *   DORIMEL_BENCH_NO_SYNC=1      fdatasync and fsync return at once (no flush)
 *   DORIMEL_BENCH_NO_COLLAPSE=1  fallocate's range collapse reports EOPNOTSUPP
 *                                (as tmpfs does), so the program copies instead
 *   DORIMEL_BENCH_NO_WRITEBACK=1 sync_file_range does nothing (no early start
 *                                of the writing behind the download)
 * Never linked into a product; built by bench/run.sh into its work folder. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/types.h>

static int enabled(const char* name) {
    const char* value = getenv(name);
    return value && *value && *value != '0';
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (enabled("DORIMEL_BENCH_NO_SYNC")) return 0;
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    return real(fd);
}

int fsync(int fd) {
    static int (*real)(int);
    if (enabled("DORIMEL_BENCH_NO_SYNC")) return 0;
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}

int sync_file_range(int fd, off_t offset, off_t length, unsigned int flags) {
    static int (*real)(int, off_t, off_t, unsigned int);
    if (enabled("DORIMEL_BENCH_NO_WRITEBACK")) return 0;
    if (!real) real = (int (*)(int, off_t, off_t, unsigned int))dlsym(RTLD_NEXT, "sync_file_range");
    return real(fd, offset, length, flags);
}

static int collapseRefused(int mode) {
    if ((mode & FALLOC_FL_COLLAPSE_RANGE) && enabled("DORIMEL_BENCH_NO_COLLAPSE")) {
        errno = EOPNOTSUPP;
        return 1;
    }
    return 0;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    static int (*real)(int, int, off_t, off_t);
    if (collapseRefused(mode)) return -1;
    if (!real) real = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
    return real(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
    static int (*real)(int, int, off_t, off_t);
    if (collapseRefused(mode)) return -1;
    if (!real) real = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate64");
    return real(fd, mode, offset, length);
}
