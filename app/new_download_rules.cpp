// The window-free rules of the new-download dialog (portable).
#include "app/new_download_rules.h"

#include <algorithm>
#include <cstring>

#include "foundation/code_page.h"

namespace {

bool isUrlByte(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("/.:@&=+$,-_!~*'()?;%", c) != nullptr;
}

// Longest path the folder creation accepts, in bytes (MAX_PATH + 1 excluded).
constexpr size_t kMaxFolderPath = 260;

}  // namespace

std::string urlFromClipboardText(const std::string& clipboard, bool https) {
    if (clipboard.size() >= kClipboardUrlLimit) return std::string();
    // The clipboard's text ends at its first NUL like any C string.
    std::string text = clipboard.substr(0, std::strlen(clipboard.c_str()));
    size_t lineEnd = text.find('\n');
    if (lineEnd != std::string::npos) {
        if (lineEnd > 0 && text[lineEnd - 1] == '\r') --lineEnd;
        text.resize(lineEnd);
    }
    std::string url;
    size_t at = text.find("http://");
    if (https) at = std::min(at, text.find("https://"));
    if (at == std::string::npos) at = text.find("ftp://");
    if (at != std::string::npos) {
        url = text.substr(at);
    } else if (text.size() < kClipboardUrlLimit - 8) {
        url = "http://" + text;
    }
    size_t end = 0;
    while (end < url.size() && isUrlByte(static_cast<unsigned char>(url[end]))) ++end;
    url.resize(end);
    return url;
}

bool parseSpeedLimit(const std::string& text, int32_t& value) {
    if (text.empty() || text.size() > 31) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + uint64_t(c - '0');
        if (number > uint64_t(INT32_MAX)) number = uint64_t(INT32_MAX) + 1;  // saturate
    }
    if (number == 0) return false;
    value = number > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(number);
    return true;
}

std::vector<std::string> folderHistory(const std::string& chosen,
                                       const std::vector<std::string>& items) {
    std::vector<std::string> history;
    history.push_back(chosen);
    for (const std::string& item : items) {
        if (item.empty()) continue;
        if (item == history.back()) continue;
        if (history.size() == kMaxFolderHistory) break;
        history.push_back(item);
    }
    return history;
}

bool createFolderWithParents(const std::string& path, FolderMaker& maker) {
    if (maker.isFolder(path)) return true;
    if (path.size() > kMaxFolderPath) return false;
    const char* begin = path.c_str();
    const char* end = begin + path.size();
    // A network path's first four separators ("\\server\share\") belong to
    // its root, which no folder creation can make: those prefixes are skipped.
    bool network = path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
                   (path[1] == '\\' || path[1] == '/');
    int separators = 0;
    for (const char* p = begin; p < end;) {
        size_t length = charLength(p, end);
        if (length == 1 && (*p == '\\' || *p == '/')) {
            ++separators;
            if (!(network && separators <= 4)) {
                std::string prefix(begin, p + 1);
                if (!maker.isFolder(prefix) && !maker.createFolder(prefix)) return false;
            }
        }
        p += length == 0 ? 1 : length;
    }
    return maker.createFolder(path);
}
