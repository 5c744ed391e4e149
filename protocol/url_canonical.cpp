// The canonical form of a typed URL, offered by the new-download dialog when
// it differs from what the user typed: unsafe bytes percent-escaped, the
// scheme in lower case, "/" for an empty path after the host, "." and ".."
// segments of the path resolved. Agrees with the Windows URL canonicalizer on
// ordinary URLs.
// Portable: no OS header.
#include "protocol/url.h"

#include <vector>

namespace {

// Bytes escaped as "%XX": controls, space, non-ASCII and the characters that
// may not appear literally in a URL. "%" and "#" stay (an escape already
// written and the fragment mark).
bool isUnsafe(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F) return true;
    switch (c) {
    case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
        return true;
    default:
        return false;
    }
}

void appendEscaped(std::string& out, const std::string& text) {
    static const char HEX[] = "0123456789ABCDEF";
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (isUnsafe(c)) {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += ch;
        }
    }
}

// Resolves "." and ".." segments; a ".." at the root stays at the root.
std::string removeDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 1;  // path starts with "/"
    bool endsInDirectory = false;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string segment = path.substr(start, slash - start);
        bool last = slash == path.size();
        if (segment == ".") {
            endsInDirectory = last;
        } else if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            endsInDirectory = last;
        } else {
            segments.push_back(segment);
            endsInDirectory = false;
        }
        start = slash + 1;
    }
    std::string out;
    for (const std::string& segment : segments) {
        out += '/';
        out += segment;
    }
    if (endsInDirectory || out.empty()) out += '/';
    return out;
}

}  // namespace

bool canonicalizeUrl(const std::string& url, std::string& canonical) {
    canonical.clear();
    UrlComponents parts;
    if (!crackUrl(url, parts)) return false;

    size_t colon = url.find(':');
    for (size_t i = 0; i < colon; ++i) {
        char c = url[i];
        canonical += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    canonical += ':';
    // The authority (user information, host, port) is kept as written; the
    // path and the extra info are the URL's last pieces, so the authority is
    // what lies between the scheme and them.
    size_t tailStart = url.size() - parts.path.size() - parts.extraInfo.size();
    bool hierarchical = url.compare(colon + 1, 2, "//") == 0;
    canonical.append(url, colon + 1, tailStart - colon - 1);

    std::string path = parts.path;
    if (hierarchical) {
        if (path.empty()) path = "/";
        if (path[0] == '/') path = removeDotSegments(path);
    }
    appendEscaped(canonical, path);
    appendEscaped(canonical, parts.extraInfo);
    return true;
}
