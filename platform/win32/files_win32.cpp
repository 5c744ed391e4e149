// Windows side of the seam: files with 64-bit offsets (CreateFileA,
// SetFilePointerEx, ReadFile, WriteFile) and the shell's move and
// recycle-bin delete (SHFileOperationA).
#include "platform/win32/win32_seam.h"

#include <shellapi.h>

#include <string>

#include "platform/win32/abi_layout.h"

static_assert(sizeof(FileHandle) == sizeof(HANDLE), "file handles");
// SHFileOperationA reads the flags and writes fAnyOperationsAborted at its own
// offsets; the 32-bit structure is packed to single bytes.
static_assert(sizeof(SHFILEOPSTRUCTA) == abiSize(30, 56) && offsetof(SHFILEOPSTRUCTA, fFlags) == abiSize(16, 32) &&
                  offsetof(SHFILEOPSTRUCTA, fAnyOperationsAborted) == abiSize(18, 36),
              "SHFILEOPSTRUCTA");

namespace {

thread_local int lastError = 0;

HANDLE asHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle opened(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        lastError = int(GetLastError());
        return NO_FILE;
    }
    return reinterpret_cast<FileHandle>(handle);
}

bool failed() {
    lastError = int(GetLastError());
    return false;
}

// SHFileOperationA takes lists of paths, each ended by NUL, the list by a
// second NUL.
std::string pathList(const char* path) { return std::string(path) + '\0'; }

bool shellOperation(UINT operation, const char* from, const char* to, FILEOP_FLAGS flags) {
    std::string fromList = pathList(from);
    std::string toList = to ? pathList(to) : std::string();
    SHFILEOPSTRUCTA op;
    memset(&op, 0, sizeof op);
    op.hwnd = nullptr;
    op.wFunc = operation;
    op.pFrom = fromList.c_str();
    op.pTo = to ? toList.c_str() : nullptr;
    op.fFlags = flags;
    int result = SHFileOperationA(&op);
    // 0x71 (113): source and destination are the same file.
    if ((result == 0 || result == 0x71) && !op.fAnyOperationsAborted) return true;
    lastError = result ? result : int(ERROR_CANCELLED);
    return false;
}

}  // namespace

int fileLastError() { return lastError; }

FileHandle fileOpenAlways(const char* path) {
    return opened(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr));
}

FileHandle fileOpenRead(const char* path) {
    return opened(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle fileCreateNew(const char* path) {
    return opened(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool fileSeek(FileHandle file, int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(asHandle(file), to, nullptr, FILE_BEGIN) || failed();
}

int64_t fileRead(FileHandle file, void* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        DWORD want = length - done > 0x40000000 ? 0x40000000 : DWORD(length - done);
        DWORD got = 0;
        if (!ReadFile(asHandle(file), static_cast<char*>(buffer) + done, want, &got, nullptr)) {
            lastError = int(GetLastError());
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return int64_t(done);
}

bool fileWrite(FileHandle file, const void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        DWORD want = length - done > 0x40000000 ? 0x40000000 : DWORD(length - done);
        DWORD put = 0;
        if (!WriteFile(asHandle(file), static_cast<const char*>(data) + done, want, &put, nullptr))
            return failed();
        if (put == 0) {
            lastError = int(ERROR_DISK_FULL);
            return false;
        }
        done += put;
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
    LARGE_INTEGER size;
    if (!GetFileSizeEx(asHandle(file), &size)) {
        lastError = int(GetLastError());
        return -1;
    }
    return size.QuadPart;
}

bool fileSetSize(FileHandle file, int64_t size) {
    return fileSeek(file, size) && (SetEndOfFile(asHandle(file)) || failed());
}

bool fileFlush(FileHandle file) { return FlushFileBuffers(asHandle(file)) || failed(); }

// NTFS has no way to drop the front of a file in place: the engine copies.
CollapseResult fileCollapseFront(FileHandle, int64_t) { return COLLAPSE_UNSUPPORTED; }

void fileStartWriteback(FileHandle) {}

void fileClose(FileHandle file) {
    if (file != NO_FILE) CloseHandle(asHandle(file));
}

bool pathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool fileDelete(const char* path) { return DeleteFileA(path) || failed(); }

bool fileRename(const char* from, const char* to) { return MoveFileA(from, to) || failed(); }

bool moveToDestination(const char* from, const char* to) {
    if (GetFileAttributesA(from) == INVALID_FILE_ATTRIBUTES) return failed();
    return shellOperation(FO_MOVE, from, to, FOF_ALLOWUNDO | FOF_FILESONLY | FOF_NOERRORUI);
}

bool recycleFile(const char* path) { return shellOperation(FO_DELETE, path, nullptr, FOF_ALLOWUNDO | FOF_FILESONLY); }
