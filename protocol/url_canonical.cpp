// The canonical form of a typed URL, offered by the new-download dialog when
// it differs from what the user typed: in the path, unsafe bytes
// percent-escaped, "\\" made "/" and "." and ".." segments resolved; "/" for
// a URL that ends right after its host. The scheme, the authority and the
// query are kept as written. Agrees with the Windows URL canonicalizer on
// ordinary URLs (tests/win_url compares the two under Wine).
// Portable: no OS header.
#include "protocol/url.h"

#include "foundation/code_page.h"

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

// "\" separates segments like "/"; the second byte of a double-byte
// character that happens to be 0x5C is left alone.
std::string backslashesToSlashes(const std::string& path) {
    std::string out = path;
    const char* base = out.data();
    const char* end = base + out.size();
    for (size_t i = 0; i < out.size();) {
        size_t step = charLength(base + i, end);
        if (step <= 1 && out[i] == '\\') out[i] = '/';
        i += step ? step : 1;
    }
    return out;
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

    // Scheme and authority (user information, host, port) are kept as
    // written; the path and the extra info are the URL's last pieces, so they
    // are what follows them.
    size_t tailStart = url.size() - parts.path.size() - parts.extraInfo.size();
    size_t colon = url.find(':');
    bool hierarchical = url.compare(colon + 1, 2, "//") == 0;
    canonical.assign(url, 0, tailStart);

    std::string path = parts.path;
    if (hierarchical) {
        if (path.empty() && parts.extraInfo.empty()) path = "/";
        path = backslashesToSlashes(path);
        if (!path.empty() && path[0] == '/') path = removeDotSegments(path);
    }
    appendEscaped(canonical, path);
    canonical += parts.extraInfo;
    return true;
}
