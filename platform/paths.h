// Platform seam for files and paths: the few questions that start-up and the
// options file ask of the file system. Implemented by platform/win32/
// (ANSI file functions of the system code page) and platform/posix/.
#pragma once

#include <string>

// Full path of the running program's module (at most 260 characters on
// Windows). False when it cannot be obtained.
bool platformModulePath(std::string& path);

// The path made absolute against the current folder (GetFullPathNameA on
// Windows: relative parts resolved, no check that anything exists; at most 258
// characters there). False on failure.
bool platformFullPath(const std::string& path, std::string& fullPath);

// True when path names an existing folder.
bool platformIsFolder(const std::string& path);

// True when path names an existing file system object (file or folder).
bool platformExists(const std::string& path);

// True when path is a file (not a folder) that opens for binary reading.
bool platformCanOpenForReading(const std::string& path);

// The separator of path components: "\" on Windows, "/" on POSIX.
char platformPathSeparator();

// Reads the whole file into contents. False when it does not exist or cannot
// be read (contents is then empty).
bool platformReadFile(const std::string& path, std::string& contents);

// Replaces the file's contents safely: fails when the file exists and is
// read-only; otherwise writes a new file beside it (same folder), flushes it to
// the disk and puts it in the place of the old one in one step (the old
// permissions kept on POSIX). On any failure the old file is untouched and the
// temporary one removed.
bool platformReplaceFile(const std::string& path, const std::string& contents);

class StartupEnvironment;
// The real file system behind start-up (a process-wide object).
const StartupEnvironment& platformStartupEnvironment();
