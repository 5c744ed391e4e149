// The platform seam, part 3: files with 64-bit offsets and the path
// operations of the download (exists, delete, rename, move into place,
// recycle-bin delete). Portable header (no OS header): implemented with
// CreateFileA / SetFilePointerEx / SHFileOperationA in platform/win32/ and with
// open / lseek / rename-without-replace in platform/posix/.
//
// Paths are byte strings of the system code page on Windows and of the file
// system on Linux. Failures return false / NO_FILE / -1; fileLastError() then
// gives the system's error code (GetLastError; errno on Linux), which
// errorText (platform/system.h) turns into text.
#pragma once

#include <cstddef>
#include <cstdint>

// An open file. NO_FILE (-1, INVALID_HANDLE_VALUE) means "none".
using FileHandle = intptr_t;
constexpr FileHandle NO_FILE = -1;

int fileLastError();

// Opens for reading and writing, creating the file when it does not exist
// (OPEN_ALWAYS), others may read it meanwhile. The position starts at 0.
FileHandle fileOpenAlways(const char* path);
// Opens an existing file for reading only.
FileHandle fileOpenRead(const char* path);
// Creates a new file for writing, failing when the path exists.
FileHandle fileCreateNew(const char* path);

// Moves the file position (SetFilePointerEx, from the start).
bool fileSeek(FileHandle file, int64_t offset);
// Reads at the position and advances it: bytes read (0 at the end), -1 on
// failure.
int64_t fileRead(FileHandle file, void* buffer, size_t length);
// Writes everything at the position and advances it; false on a failure or a
// short write.
bool fileWrite(FileHandle file, const void* data, size_t length);
// Convenience: seek, then read or write.
int64_t fileReadAt(FileHandle file, int64_t offset, void* buffer, size_t length);
bool fileWriteAt(FileHandle file, int64_t offset, const void* data, size_t length);

// Size of the open file, -1 on failure.
int64_t fileSize(FileHandle file);
// Cuts or extends the file to size (extension reads as zero bytes). The
// position is left at size.
bool fileSetSize(FileHandle file, int64_t size);
// Forces written data to the disk (FlushFileBuffers / fdatasync).
bool fileFlush(FileHandle file);
// Removes the first `bytes` bytes of the file in place, moving everything
// after them to the front without copying (Linux: fallocate with
// FALLOC_FL_COLLAPSE_RANGE). COLLAPSE_UNSUPPORTED (file system, alignment or
// platform) leaves the file untouched, so the caller may copy instead;
// COLLAPSE_FAILED means the file system failed during the operation. The
// position is left at 0.
enum CollapseResult { COLLAPSE_DONE, COLLAPSE_UNSUPPORTED, COLLAPSE_FAILED };
CollapseResult fileCollapseFront(FileHandle file, int64_t bytes);
// Asks the system to start writing the file's changed data to the disk
// without waiting for it (Linux: sync_file_range with SYNC_FILE_RANGE_WRITE),
// so that a later fileFlush finds little left to write. Does nothing on
// Windows, whose cache manager writes behind by itself.
void fileStartWriteback(FileHandle file);
// Closes; closing NO_FILE does nothing.
void fileClose(FileHandle file);

// True when a file or folder exists at path (GetFileAttributesA succeeds).
bool pathExists(const char* path);
bool fileDelete(const char* path);
// Renames a file (MoveFileA). Never replaces an existing file: fails when
// `to` exists (also on Linux, where rename() would replace it).
bool fileRename(const char* from, const char* to);

// Moves a finished file into its destination (SHFileOperationA FO_MOVE, no
// error UI). Fails at once when `from` does not exist. Succeeds without doing
// anything when both name the same file. When the destination exists: on
// Windows the shell asks the user (a refusal is a failure); on Linux it is
// never replaced and the move fails. Crosses file systems by copying.
bool moveToDestination(const char* from, const char* to);

// Deletes into the recycle bin (SHFileOperationA FO_DELETE, undo allowed;
// the shell may ask). A plain delete on Linux.
bool recycleFile(const char* path);
