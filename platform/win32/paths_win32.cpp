// Windows side of the paths seam (platform/paths.h): ANSI file functions of
// the system code page; the options file is replaced with MoveFileExA so that
// it is never half written.
#include <windows.h>

#include <string>

#include "platform/paths.h"

bool platformModulePath(std::string& path) {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;  // MAX_PATH means cut
    path.assign(buffer, n);
    return true;
}

bool platformFullPath(const std::string& path, std::string& fullPath) {
    // A buffer of 259 characters, as the program has always used.
    char buffer[259];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer) return false;
    fullPath.assign(buffer, n);
    return true;
}

bool platformIsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool platformExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool platformCanOpenForReading(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

char platformPathSeparator() { return '\\'; }

bool platformReadFile(const std::string& path, std::string& contents) {
    contents.clear();
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        contents.append(buffer, n);
    }
    CloseHandle(file);
    if (!ok) contents.clear();
    return ok;
}

bool platformReplaceFile(const std::string& path, const std::string& contents) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    // A name of our own beside the file, so that two processes never share it.
    const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
    const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < contents.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(contents.size() - done > 1u << 20 ? 1u << 20 : contents.size() - done);
        ok = WriteFile(file, contents.data() + done, chunk, &n, nullptr) && n == chunk;
        done += n;
    }
    ok = ok && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (ok && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileA(temp.c_str());
    return false;
}
