// Fuzz target: an HTTP response header as the engine reads it (bytes up to the
// blank line, NUL read as a blank, lines split at LF with their CR dropped,
// the name before the first ":"), run through the header rules the response
// handling uses: status line, Content-Length, Content-Range, Content-Disposition
// (percent-decoded, then cleaned into a file name), Location against a base
// URL, and the page-extension test. Nothing may crash or hang, and the rules
// must keep their promises: a cleaned name never leaves the folder or names a
// device and is stable when cleaned again; numbers read back as written.
// Run in the single-byte, Shift-JIS and UTF-8 code pages.
#include "foundation/code_page.h"
#include "protocol/http_header.h"
#include "protocol/url.h"

#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool equalsNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What a cleaned file name must be: not empty, no "." or "..", no trailing
// dot or blank, no separator, wildcard or control character (single-byte
// characters only: a Shift-JIS trail byte may be 0x5C), no device name.
void checkCleanName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") std::abort();
    if (name.back() == '.' || name.back() == ' ') std::abort();
    const char* p = name.c_str();
    const char* end = p + name.size();
    while (p < end) {
        size_t n = charLength(p, end);
        if (n == 0) n = 1;
        if (n == 1) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c)) std::abort();
        }
        p += n;
    }
    std::string stem = lower(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const char* const devices[] = {"con", "prn", "aux", "nul", "clock$", "conin$", "conout$"};
    for (const char* device : devices)
        if (stem == device) std::abort();
    if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
        std::isdigit(static_cast<unsigned char>(stem[3])))
        std::abort();
    if (cleanFileName(name) != name) std::abort();
}

void headerLine(const std::string& name, const std::string& value, const std::string& base) {
    if (equalsNoCase(name, "Content-Length")) {
        int64_t length = 0;
        if (parseDecimal64(value, length)) {
            char text[32];
            std::snprintf(text, sizeof text, "%" PRId64, length);
            int64_t again = 0;
            if (!parseDecimal64(text, again) || again != length) std::abort();
        }
    } else if (equalsNoCase(name, "Content-Range")) {
        uint64_t start = 1, total = 1;
        bool ok = parseContentRange(value, start, total);
        if (!ok && start != 0) std::abort();
    } else if (equalsNoCase(name, "Content-Disposition")) {
        std::string fileName;
        if (dispositionFileName(value, fileName)) {
            if (value.find(fileName) == std::string::npos) std::abort();
            checkCleanName(cleanFileName(percentDecode(fileName)));
        }
    } else if (equalsNoCase(name, "Location")) {
        std::string target = resolveRedirectUrl(base, value);
        checkCleanName(cleanFileName(urlFileName(target)));
    } else if (equalsNoCase(name, "Content-Type")) {
        isPageExtension(pathExtension(value));
    }
}

void exercise(const std::string& header) {
    const std::string base = "http://127.0.0.1:8080/dir/file.zip";
    bool first = true;
    size_t begin = 0;
    while (begin <= header.size()) {
        size_t end = header.find('\n', begin);
        bool last = end == std::string::npos;
        if (last) end = header.size();
        std::string line = header.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        begin = end + 1;
        if (first) {
            first = false;
            StatusLine status = parseStatusLine(line);
            if (status.status < 0 || status.status > 999) std::abort();
        } else {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t valueStart = colon + 1;
                while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
                    ++valueStart;
                headerLine(line.substr(0, colon), line.substr(valueStart), base);
            }
        }
        if (last) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    // The engine stops reading at the blank line and turns NUL into a blank.
    std::string header;
    header.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        header += data[i] == 0 ? ' ' : static_cast<char>(data[i]);
        size_t n = header.size();
        if (n >= 4 && header.compare(n - 4, 4, "\r\n\r\n") == 0) {
            header.resize(n - 4);
            break;
        }
        if (n >= 2 && header.compare(n - 2, 2, "\n\n") == 0) {
            header.resize(n - 2);
            break;
        }
    }
    setCodePage(CODE_PAGE_SINGLE_BYTE);
    exercise(header);
    setCodePage(CODE_PAGE_932);
    exercise(header);
    setCodePage(CODE_PAGE_UTF8);
    exercise(header);
    return 0;
}
