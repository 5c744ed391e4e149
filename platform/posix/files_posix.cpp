// Posix side of the seam: files with 64-bit offsets and the path operations.
// Renames and the final move never replace an existing file (rename() would,
// silently; the Windows calls refuse or ask), so a finished download can never
// overwrite something that was already there.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace {

thread_local int lastError = 0;

FileHandle opened(int fd) {
    if (fd < 0) {
        lastError = errno;
        return NO_FILE;
    }
    return fd;
}

bool failed() {
    lastError = errno;
    return false;
}

// rename without replacing: renameat2's RENAME_NOREPLACE where the file
// system has it, otherwise a hard link and unlink (link never replaces).
bool renameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return failed();
    if (link(from, to) == 0) {
        unlink(from);
        return true;
    }
    if (errno == EEXIST || errno == EXDEV || errno == ENOENT) return failed();
    // No hard links on this file system (vfat and the like): check, then rename.
    struct stat st;
    if (stat(to, &st) == 0) {
        errno = EEXIST;
        return failed();
    }
    return rename(from, to) == 0 || failed();
}

// The move across file systems: copy into a new file, then delete the source.
// A failed copy removes the partial destination and keeps the source.
bool copyThenDelete(const char* from, const char* to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return failed();
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        lastError = errno;
        close(in);
        return false;
    }
    static char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < got && ok;) {
            ssize_t put = write(out, buffer + done, size_t(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) ok = false;
            else done += put;
        }
        if (!ok) break;
    }
    if (ok && fdatasync(out) != 0) ok = false;
    if (!ok) lastError = errno;
    close(in);
    if (close(out) != 0 && ok) {
        ok = false;
        lastError = errno;
    }
    if (!ok) {
        unlink(to);
        return false;
    }
    unlink(from);
    return true;
}

}  // namespace

int fileLastError() { return lastError; }

FileHandle fileOpenAlways(const char* path) { return opened(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666)); }

FileHandle fileOpenRead(const char* path) { return opened(open(path, O_RDONLY | O_CLOEXEC)); }

FileHandle fileCreateNew(const char* path) {
    return opened(open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

bool fileSeek(FileHandle file, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return failed();
    }
    return lseek(int(file), off_t(offset), SEEK_SET) >= 0 || failed();
}

int64_t fileRead(FileHandle file, void* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = read(int(file), static_cast<char*>(buffer) + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            lastError = errno;
            return -1;
        }
        if (got == 0) break;
        done += size_t(got);
    }
    return int64_t(done);
}

bool fileWrite(FileHandle file, const void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t put = write(int(file), static_cast<const char*>(data) + done, length - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            return failed();
        }
        done += size_t(put);
    }
    return true;
}

int64_t fileReadAt(FileHandle file, int64_t offset, void* buffer, size_t length) {
    return fileSeek(file, offset) ? fileRead(file, buffer, length) : -1;
}

bool fileWriteAt(FileHandle file, int64_t offset, const void* data, size_t length) {
    return fileSeek(file, offset) && fileWrite(file, data, length);
}

int64_t fileSize(FileHandle file) {
    struct stat st;
    if (fstat(int(file), &st) != 0) {
        lastError = errno;
        return -1;
    }
    return int64_t(st.st_size);
}

bool fileSetSize(FileHandle file, int64_t size) {
    if (size < 0) {
        errno = EINVAL;
        return failed();
    }
    if (ftruncate(int(file), off_t(size)) != 0) return failed();
    return fileSeek(file, size);
}

bool fileFlush(FileHandle file) { return fdatasync(int(file)) == 0 || failed(); }

CollapseResult fileCollapseFront(FileHandle file, int64_t bytes) {
    // The range must be a multiple of the file system's block size and end
    // before the end of the file; tmpfs, vfat, NFS and others refuse with
    // EOPNOTSUPP, misaligned ranges with EINVAL. Those refusals change nothing.
    if (bytes <= 0 || bytes >= fileSize(file)) return COLLAPSE_UNSUPPORTED;
    if (fallocate(int(file), FALLOC_FL_COLLAPSE_RANGE, 0, off_t(bytes)) != 0) {
        lastError = errno;
        if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS || errno == EPERM ||
            errno == ETXTBSY || errno == ENODEV)
            return COLLAPSE_UNSUPPORTED;
        return COLLAPSE_FAILED;
    }
    fileSeek(file, 0);
    return COLLAPSE_DONE;
}

void fileStartWriteback(FileHandle file) { sync_file_range(int(file), 0, 0, SYNC_FILE_RANGE_WRITE); }

void fileClose(FileHandle file) {
    if (file != NO_FILE) close(int(file));
}

bool pathExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

bool fileDelete(const char* path) { return unlink(path) == 0 || failed(); }

bool fileRename(const char* from, const char* to) { return renameNoReplace(from, to); }

bool moveToDestination(const char* from, const char* to) {
    struct stat source, target;
    if (stat(from, &source) != 0) return failed();
    if (stat(to, &target) == 0) {
        if (source.st_dev == target.st_dev && source.st_ino == target.st_ino) return true;
        errno = EEXIST;
        return failed();
    }
    if (renameNoReplace(from, to)) return true;
    if (lastError != EXDEV) return false;
    return copyThenDelete(from, to);
}

bool recycleFile(const char* path) { return fileDelete(path); }
