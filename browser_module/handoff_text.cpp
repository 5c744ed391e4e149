// Texts of the hand-off to dorimel.exe (see handoff_text.h). Portable.
#include "browser_module/handoff_text.h"

namespace {

bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

void appendPercent(std::string& out, unsigned char byte) {
    static const char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

bool isTakeOverUrl(const std::string& url, bool https) {
    return startsWithNoCase(url, "http:") || startsWithNoCase(url, "ftp:") ||
           (https && startsWithNoCase(url, "https:"));
}

std::string escapeUnquotedArgument(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char byte : text) {
        if (byte == ' ' || byte == '"' || isControl(byte))
            appendPercent(out, byte);
        else
            out += static_cast<char>(byte);
    }
    return out;
}

std::string escapeQuotedArgument(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char byte : text) {
        if (byte == '"' || isControl(byte))
            appendPercent(out, byte);
        else
            out += static_cast<char>(byte);
    }
    // Double the trailing run of real backslashes. A Shift-JIS second byte may
    // be 0x5C; the main program's splitter is multi-byte aware and does not
    // count it, so neither is it counted here: walk the characters and note
    // where the last character that is not a backslash ends.
    size_t i = 0;
    size_t lastNonBackslashEnd = 0;  // end of the last character that is not '\'
    while (i < out.size()) {
        unsigned char byte = static_cast<unsigned char>(out[i]);
        bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        if (lead && i + 1 < out.size()) {
            i += 2;
            lastNonBackslashEnd = i;
        } else {
            ++i;
            if (byte != '\\') lastNonBackslashEnd = i;
        }
    }
    out.append(out.size() - lastNonBackslashEnd, '\\');
    return out;
}

std::string buildHandOffParameters(const std::string& options, const std::string& url,
                                   const std::string& referer) {
    std::string text;
    if (!options.empty()) {
        text += options;
        text += ' ';
    }
    text += escapeUnquotedArgument(url);
    if (!referer.empty()) {
        text += " -rf ";
        text += escapeUnquotedArgument(referer);
    }
    return text;
}

std::string buildLauncherParameters(const std::string& url, const std::string& referer) {
    std::string text;
    text += '"';
    text += escapeQuotedArgument(url);
    text += "\" -rf \"";
    text += escapeQuotedArgument(referer);
    text += '"';
    return text;
}
