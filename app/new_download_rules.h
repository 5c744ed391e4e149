// The rules of the new-download dialog that need no window: the URL taken
// from clipboard text, the speed-limit box, the folder history written at OK
// and the creation of a folder with its missing parents.
// Portable: the file system is reached through FolderMaker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Clipboard texts of this many bytes or more are ignored.
inline constexpr size_t kClipboardUrlLimit = 512;

// The URL in clipboard text: the first line only; from "http://" on, else from
// "ftp://" on (both case-sensitive), else "http://" put in front of a text
// shorter than 504 bytes; then cut at the first byte that cannot be part of a
// URL (anything but letters, digits and / . : @ & = + $ , - _ ! ~ * ' ( ) ? ; %).
// Empty when the text is kClipboardUrlLimit bytes or longer. With https,
// "https://" counts like "http://" (whichever comes first).
std::string urlFromClipboardText(const std::string& text, bool https = false);

// The speed-limit box: 1 to 31 characters, digits only, value not 0. A value
// beyond the 32-bit range counts as the largest one. False when the text does
// not count (value is then left alone).
bool parseSpeedLimit(const std::string& text, int32_t& value);

// The folder history written at OK: the chosen folder, then the folder box's
// items in list order (empty ones skipped), with each element that equals the
// one directly before it removed; at most kMaxFolderHistory elements.
inline constexpr size_t kMaxFolderHistory = 64;
std::vector<std::string> folderHistory(const std::string& chosen,
                                       const std::vector<std::string>& items);

class FolderMaker {
  public:
    virtual ~FolderMaker() = default;
    virtual bool isFolder(const std::string& path) = 0;
    virtual bool createFolder(const std::string& path) = 0;
};

// Creates path with every missing parent: each prefix of the path up to and
// including a "\" or "/" (multi-byte aware) that is not yet a folder is
// created, then the full path. The root of a network path (\\server\share\)
// is never created. True when path already is a folder. Paths of 261 bytes or
// more fail.
bool createFolderWithParents(const std::string& path, FolderMaker& maker);
