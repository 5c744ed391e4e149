// Pure text rules of the HTTP exchange and of target file names (see
// http_header.h). Portable: no OS header.
#include "protocol/http_header.h"

#include <cctype>
#include <cstring>

#include "foundation/code_page.h"

namespace {

std::string lowerAscii(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool readUnsigned(const std::string& text, size_t& i, uint64_t& value) {
    size_t start = i;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
        ++i;
    }
    return i > start;
}

}  // namespace

StatusLine parseStatusLine(const std::string& line) {
    StatusLine result;
    if (line.compare(0, 5, "HTTP/") != 0) {
        result.version = 9;
        return result;
    }
    size_t i = 5;
    uint64_t major = 0;
    uint64_t minor = 0;
    if (!readUnsigned(line, i, major) || i >= line.size() || line[i] != '.') return result;
    ++i;
    if (!readUnsigned(line, i, minor)) return result;
    result.version = static_cast<int>(((major & 0xFFFF) << 16) | (minor & 0xFFFF));
    // The first space from the seventh character on; the code is the three
    // characters after it.
    size_t space = line.size() > 6 ? line.find(' ', 6) : std::string::npos;
    if (space == std::string::npos) return result;
    std::string code = line.substr(space + 1, 3);
    int status = 0;
    for (char c : code) {
        if (c < '0' || c > '9') break;
        status = status * 10 + (c - '0');
    }
    result.status = status;
    return result;
}

bool parseDecimal64(const std::string& value, int64_t& result) {
    size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    uint64_t magnitude = 0;
    if (!readUnsigned(value, i, magnitude)) return false;
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    result = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool parseContentRange(const std::string& value, uint64_t& start, uint64_t& total) {
    start = 0;
    total = 0;
    size_t space = value.find(' ');
    if (space == std::string::npos) return false;
    // At most 64 characters up to the "-" are the start.
    size_t dash = value.find('-', space);
    if (dash == std::string::npos || dash - space > 65) return false;
    std::string startText = value.substr(space + 1, dash - space - 1);
    size_t i = 0;
    while (i < startText.size() && startText[i] == ' ') ++i;
    uint64_t number = 0;
    if (readUnsigned(startText, i, number)) start = number;
    size_t slash = value.find('/', dash);
    if (slash != std::string::npos) {
        size_t j = slash + 1;
        if (readUnsigned(value, j, number)) total = number;
    }
    return true;
}

bool dispositionFileName(const std::string& value, std::string& name) {
    std::string lower = lowerAscii(value);
    size_t attachment = lower.find("attachment");
    size_t inlinePos = lower.find("inline");
    size_t from;
    if (attachment == std::string::npos && inlinePos == std::string::npos) return false;
    if (attachment == std::string::npos) from = inlinePos;
    else if (inlinePos == std::string::npos) from = attachment;
    else from = attachment > inlinePos ? attachment : inlinePos;
    size_t key = lower.find("filename", from);
    if (key == std::string::npos) return false;
    size_t eq = key + 8;
    if (eq >= value.size() || value[eq] != '=') return false;
    size_t begin = eq + 1;
    if (begin < value.size() && value[begin] == '"') {
        // Quoted: the whole text up to the closing quote, blanks included.
        size_t close = value.find('"', begin + 1);
        size_t end = close == std::string::npos ? value.size() : close;
        name = value.substr(begin + 1, end - begin - 1);
        return true;
    }
    size_t end = value.find_first_of("; \r\n", begin);
    if (end == std::string::npos) end = value.size();
    name = value.substr(begin, end - begin);
    return true;
}

std::string pathExtension(const std::string& path) {
    const char* text = path.c_str();
    const char* end = text + path.size();
    const char* dot = nullptr;
    for (const char* p = text; p < end;) {
        size_t n = charLength(p, end);
        if (n == 1) {
            if (*p == '\\' || *p == '/' || *p == ' ') dot = nullptr;
            else if (*p == '.') dot = p;
        }
        p += n ? n : 1;
    }
    return dot ? std::string(dot, end) : std::string();
}

bool isPageExtension(const std::string& extension) {
    std::string lower = lowerAscii(extension);
    return lower.find("htm") != std::string::npos || lower == ".txt" || lower == ".pl" ||
           lower == ".asp" || lower == ".cgi";
}

std::string cleanFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    const char* p = name.c_str();
    const char* end = p + name.size();
    while (p < end) {
        size_t n = charLength(p, end);
        if (n == 0) n = 1;
        if (n == 1) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7F || std::strchr("\\:*?\"<>|", c)) {
                p += 1;
                continue;
            }
            out += c == '/' ? '-' : static_cast<char>(c);
        } else {
            out.append(p, n);
        }
        p += n;
    }
    // Windows drops trailing dots and blanks, so "a." would be another name
    // than the one checked, and "." or ".." would name a folder.
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    size_t firstReal = out.find_first_not_of(". ");
    if (out.empty() || firstReal == std::string::npos) return "unknown";
    // Reserved device names, alone or with an extension.
    std::string base = lowerAscii(out.substr(0, out.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const devices[] = {"con", "prn", "aux", "nul", "clock$", "conin$", "conout$"};
    bool reserved = false;
    for (const char* device : devices) reserved = reserved || base == device;
    if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
        base[3] >= '0' && base[3] <= '9')
        reserved = true;
    if (reserved) out.insert(out.begin(), '_');
    return out;
}

std::string uniquePath(const std::string& path, const std::function<bool(const std::string&)>& exists) {
    if (!exists(path)) return path;
    std::string extension = pathExtension(path);
    std::string stem = path.substr(0, path.size() - extension.size());
    for (unsigned n = 1;; ++n) {
        std::string candidate = stem + "[" + std::to_string(n) + "]" + extension;
        if (!exists(candidate) || n == 0xFFFFFFFFu) return candidate;
    }
}

std::vector<std::string> headerLines(const std::string& header) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (;;) {
        size_t end = header.find('\n', begin);
        bool last = end == std::string::npos;
        if (last) end = header.size();
        std::string line = header.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (last) return lines;
        begin = end + 1;
    }
}
