// POSIX side of the paths seam (platform/paths.h): module path from
// /proc/self/exe, absolute paths without resolving links, and the safe
// replacement of a small file (write beside, fsync, rename).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/paths.h"

bool platformModulePath(std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return false;
    path.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool platformFullPath(const std::string& path, std::string& fullPath) {
    if (path.empty()) return false;
    std::string joined;
    if (path[0] == '/') {
        joined = path;
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return false;
        joined = std::string(cwd) + "/" + path;
    }
    // Resolve "." and ".." textually, as GetFullPathNameA does; keep a final "/".
    std::string result;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t slash = joined.find('/', pos);
        if (slash == std::string::npos) slash = joined.size();
        const std::string part = joined.substr(pos, slash - pos);
        if (part == "..") {
            const size_t last = result.rfind('/');
            result.erase(last == std::string::npos ? 0 : last);
        } else if (!part.empty() && part != ".") {
            result += "/" + part;
        }
        pos = slash + 1;
    }
    if (result.empty()) result = "/";
    else if (joined.back() == '/') result += "/";
    fullPath = result;
    return true;
}

bool platformIsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool platformExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool platformCanOpenForReading(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    close(fd);
    return regular;
}

char platformPathSeparator() { return '/'; }

bool platformReadFile(const std::string& path, std::string& contents) {
    contents.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (!ok) contents.clear();
    return ok;
}

namespace {

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool platformReplaceFile(const std::string& linkOrPath, const std::string& contents) {
    // Replace the file a symbolic link points to, not the link itself.
    std::string path = linkOrPath;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return false;
        path = resolved;
        free(resolved);
    }
    mode_t mode = 0644;
    if (stat(path.c_str(), &st) == 0) {
        // A read-only file stays as it is, also for root (who could replace it).
        if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
        mode = st.st_mode & 07777;
    }
    // A name of our own beside the file, so that two processes never share it.
    std::string temp = path + ".tmp" + std::to_string(static_cast<long>(getpid()));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, contents) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    unlink(temp.c_str());
    return false;
}
