// URL utilities: our own splitter (the pieces, default ports and size limits
// of the platform's URL cracker) and the rules built on it.
// Portable: no OS header. Scans for ASCII characters step over double-byte
// characters of the process code page where the rule asks for it (a trail byte
// of Shift-JIS may be "@" or "\").
#include "protocol/url.h"

#include "foundation/code_page.h"

#include <cstring>

namespace {

const char INDEX_FILE_NAME[] = "index.html";

bool equalsNoCase(const std::string& text, const char* word) {
    size_t n = std::strlen(word);
    if (text.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(text[i]);
        unsigned char b = static_cast<unsigned char>(word[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// Index of the first byte of text[from, to) that is one of chars, stepping over
// multi-byte characters; to when none.
size_t findFirstOf(const std::string& text, size_t from, size_t to, const char* chars) {
    const char* base = text.data();
    size_t i = from;
    while (i < to) {
        char c = base[i];
        if (c != '\0' && std::strchr(chars, c)) return i;
        size_t step = charLength(base + i, base + to);
        i += step ? step : 1;
    }
    return to;
}

// Index of the last occurrence of c in text[from, to), multi-byte aware; npos
// when none.
size_t findLastIn(const std::string& text, size_t from, size_t to, char c) {
    const char* base = text.data();
    size_t found = std::string::npos;
    size_t i = from;
    while (i < to) {
        if (base[i] == c) found = i;
        size_t step = charLength(base + i, base + to);
        i += step ? step : 1;
    }
    return found;
}

bool isSchemeChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '-' || c == '.';
}

uint16_t defaultPort(const std::string& scheme) {
    if (equalsNoCase(scheme, "http")) return HTTP_DEFAULT_PORT;
    if (equalsNoCase(scheme, "ftp")) return FTP_DEFAULT_PORT;
    if (equalsNoCase(scheme, "https")) return HTTPS_DEFAULT_PORT;
    return 0;
}

// Splits "host[:port]" (host possibly a bracketed IPv6 literal).
bool splitHostPort(const std::string& text, UrlComponents& out) {
    size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            colon = close + 1;
        }
    } else {
        colon = findLastIn(text, 0, text.size(), ':');
    }
    if (colon == std::string::npos) {
        out.hostName = text;
        return true;
    }
    out.hostName = text.substr(0, colon);
    std::string digits = text.substr(colon + 1);
    if (digits.empty()) return true;  // "host:" keeps the default port
    if (digits.size() > 5) return false;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return false;
    out.port = static_cast<uint16_t>(value);
    return true;
}

// Whether the URL has a ":" after the one that ends its scheme (the colons
// inside a bracketed IPv6 host do not count).
bool hasSecondColon(const std::string& url) {
    size_t first = url.find(':');
    if (first == std::string::npos) return false;
    size_t from = first + 1;
    if (url.compare(from, 3, "//[") == 0) {
        size_t close = url.find(']', from);
        if (close != std::string::npos) from = close;
    }
    return url.find(':', from) != std::string::npos;
}

}  // namespace

bool crackUrl(const std::string& url, UrlComponents& out) {
    out = UrlComponents();
    size_t length = url.size();
    if (std::memchr(url.data(), '\0', length)) return false;

    size_t colon = url.find(':');
    if (colon == 0 || colon == std::string::npos) return false;
    for (size_t i = 0; i < colon; ++i) {
        if (!isSchemeChar(static_cast<unsigned char>(url[i]))) return false;
    }
    out.scheme = url.substr(0, colon);
    out.port = defaultPort(out.scheme);

    size_t pos = colon + 1;
    if (url.compare(pos, 2, "//") == 0) {
        pos += 2;
        size_t authorityEnd = findFirstOf(url, pos, length, "/?#");
        // User information ends at the last "@" of the authority.
        size_t at = findLastIn(url, pos, authorityEnd, '@');
        size_t hostStart = pos;
        if (at != std::string::npos) {
            size_t userColon = findFirstOf(url, pos, at, ":");
            out.userName = url.substr(pos, userColon - pos);
            if (userColon < at) out.password = url.substr(userColon + 1, at - userColon - 1);
            hostStart = at + 1;
        }
        if (!splitHostPort(url.substr(hostStart, authorityEnd - hostStart), out)) return false;
        pos = authorityEnd;
    }
    size_t extra = findFirstOf(url, pos, length, "?#");
    out.path = url.substr(pos, extra - pos);
    out.extraInfo = url.substr(extra);

    return out.scheme.size() < URL_NAME_BUFFER && out.hostName.size() < URL_NAME_BUFFER &&
           out.userName.size() < URL_NAME_BUFFER && out.password.size() < URL_NAME_BUFFER &&
           out.path.size() < URL_PATH_BUFFER && out.extraInfo.size() < URL_PATH_BUFFER;
}

bool isValidUrl(const std::string& url) {
    UrlComponents parts;
    return crackUrl(url, parts);
}

#define URL_PIECE(name, field)                          \
    std::string name(const std::string& url) {          \
        UrlComponents parts;                            \
        if (!crackUrl(url, parts)) return std::string(); \
        return parts.field;                             \
    }
URL_PIECE(urlScheme, scheme)
URL_PIECE(urlHost, hostName)
URL_PIECE(urlUserName, userName)
URL_PIECE(urlPassword, password)
URL_PIECE(urlExtraInfo, extraInfo)
#undef URL_PIECE

std::string urlPath(const std::string& url) {
    UrlComponents parts;
    if (!crackUrl(url, parts) || parts.path.empty()) return "/";
    return parts.path;
}

std::string urlRequestPath(const std::string& url) {
    UrlComponents parts;
    std::string result = "/";
    if (crackUrl(url, parts)) {
        if (!parts.path.empty()) result = parts.path;
        result += parts.extraInfo;
    }
    // Plain byte search: the fragment is never sent.
    size_t hash = result.find('#');
    if (hash != std::string::npos) result.erase(hash);
    return result;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "a.b.c.d" with four decimal parts of 1 to 3 digits, each at most 255.
bool parseDottedQuad(const std::string& text, uint8_t out[4]) {
    int part = 0;
    size_t digits = 0;
    unsigned value = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || value > 255 || part > 3) return false;
            out[part++] = static_cast<uint8_t>(value);
            digits = 0;
            value = 0;
        } else if (text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return part == 4;
}

// The textual IPv6 forms: eight groups of 1 to 4 hex digits, one "::" for a
// run of zero groups, the last 32 bits possibly as a dotted quad.
bool parseIpv6Text(const std::string& text, uint8_t out[16]) {
    uint16_t words[8] = {};
    int count = 0;
    int gap = -1;  // index in words where "::" stands
    size_t i = 0;
    size_t n = text.size();
    if (n >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    } else if (n == 0 || text[0] == ':') {
        return false;
    }
    while (i < n) {
        size_t end = text.find(':', i);
        if (end == std::string::npos) end = n;
        std::string piece = text.substr(i, end - i);
        if (piece.find('.') != std::string::npos) {
            uint8_t quad[4];
            if (end != n || count > 6 || !parseDottedQuad(piece, quad)) return false;
            words[count++] = static_cast<uint16_t>(quad[0] << 8 | quad[1]);
            words[count++] = static_cast<uint16_t>(quad[2] << 8 | quad[3]);
            break;
        }
        if (piece.empty() || piece.size() > 4 || count == 8) return false;
        unsigned value = 0;
        for (char c : piece) {
            int digit = hexDigit(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        words[count++] = static_cast<uint16_t>(value);
        if (end == n) break;
        if (end + 1 < n && text[end + 1] == ':') {
            if (gap >= 0) return false;
            gap = count;
            i = end + 2;
        } else if (end + 1 == n) {
            return false;  // a single trailing ":"
        } else {
            i = end + 1;
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return false;
    // The groups after "::" move to the end; the run between stays zero.
    std::memset(out, 0, 16);
    int at = 0;
    for (int w = 0; w < count; ++w) {
        if (w == gap) at += 8 - count;
        out[2 * at] = static_cast<uint8_t>(words[w] >> 8);
        out[2 * at + 1] = static_cast<uint8_t>(words[w]);
        ++at;
    }
    return true;
}

}  // namespace

bool parseBracketedIpv6(const std::string& host, uint8_t out[16]) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    uint8_t bytes[16];
    if (!parseIpv6Text(host.substr(1, host.size() - 2), bytes)) return false;
    std::memcpy(out, bytes, 16);
    return true;
}

bool isFtpUrl(const std::string& url) { return equalsNoCase(urlScheme(url), "ftp"); }
bool isHttpsUrl(const std::string& url) { return equalsNoCase(urlScheme(url), "https"); }

uint16_t connectPort(const std::string& url, bool viaProxy) {
    bool explicitPort = hasSecondColon(url);
    UrlComponents parts;
    if (!crackUrl(url, parts) || parts.port == 0) return viaProxy ? PROXY_DEFAULT_PORT : HTTP_DEFAULT_PORT;
    if (viaProxy && !explicitPort && parts.port == HTTP_DEFAULT_PORT) return PROXY_DEFAULT_PORT;
    return parts.port;
}

std::string percentDecode(const std::string& text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string urlFileName(const std::string& url) {
    UrlComponents parts;
    if (!crackUrl(url, parts) || parts.path.empty()) return INDEX_FILE_NAME;
    size_t slash = findLastIn(parts.path, 0, parts.path.size(), '/');
    std::string last = slash == std::string::npos ? std::string() : parts.path.substr(slash + 1);
    if (last.empty()) return INDEX_FILE_NAME;
    return percentDecode(last);
}

std::string resolveRedirectUrl(const std::string& base, const std::string& target) {
    if (isValidUrl(target)) return target;
    std::string result = "http://" + urlHost(base);
    if (!target.empty() && target[0] == '/') return result + target;
    std::string requestPath = urlRequestPath(base);
    if (!requestPath.empty() && requestPath.back() == '/') return result + requestPath + target;
    size_t slash = findLastIn(requestPath, 0, requestPath.size(), '/');
    requestPath.erase(slash == std::string::npos ? 0 : slash + 1);
    std::string rest = target;
    if (rest.compare(0, 2, "./") == 0) rest.erase(0, 2);
    return result + requestPath + rest;
}

bool isScriptPath(const std::string& path) {
    // The platform's extension lookup: the last "." after the last "\" or
    // space; "/" does not end the search.
    const char* base = path.c_str();
    const char* end = base + path.size();
    const char* dot = nullptr;
    for (const char* p = base; p < end && *p;) {
        if (*p == '\\' || *p == ' ') dot = nullptr;
        else if (*p == '.') dot = p;
        size_t step = charLength(p, end);
        p += step ? step : 1;
    }
    if (!dot) return false;
    std::string extension(dot, std::strlen(dot));
    return equalsNoCase(extension, ".cgi") || equalsNoCase(extension, ".pl") ||
           equalsNoCase(extension, ".asp");
}

std::string stripFragment(const std::string& text) {
    size_t hash = findFirstOf(text, 0, text.size(), "#");
    return text.substr(0, hash);
}

std::string normalizeReferer(const std::string& referer) {
    UrlComponents parts;
    if (!crackUrl(referer, parts)) return std::string();
    if (equalsNoCase(parts.scheme, "file")) return std::string();
    return stripFragment(referer);
}

bool checkEnteredUrl(std::string& url, EnteredUrlPrompts& prompts, bool https) {
    std::string scheme = urlScheme(url);
    bool http = equalsNoCase(scheme, "http") || (https && equalsNoCase(scheme, "https"));
    if (!http && !equalsNoCase(scheme, "ftp")) {
        prompts.showSchemeRefused();
        return false;
    }
    if (http) url = stripFragment(url);
    std::string canonical;
    if (!canonicalizeUrl(url, canonical) || canonical == url) return true;
    switch (prompts.askEncode(url, canonical)) {
    case EnteredUrlPrompts::EncodeAnswer::Yes:
        url = canonical;
        return true;
    case EnteredUrlPrompts::EncodeAnswer::No:
        return true;
    case EnteredUrlPrompts::EncodeAnswer::Cancel:
        break;
    }
    return false;
}
