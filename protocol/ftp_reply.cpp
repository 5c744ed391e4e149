// Pure text rules of the FTP client (see ftp_reply.h).
// Portable: no OS header.
#include "protocol/ftp_reply.h"

#include <cstring>

#include "foundation/code_page.h"

static bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isFinalFtpReply(const std::string& line) {
    return line.size() >= 4 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) &&
           line[3] == ' ';
}

int ftpReplyClass(const std::string& line) {
    return line.empty() || !isDigit(line[0]) ? 0 : line[0] - '0';
}

int64_t ftpReplySize(const std::string& line) {
    int64_t size = 0;
    for (size_t i = 4; i < line.size() && isDigit(line[i]); ++i) {
        int digit = line[i] - '0';
        if (size > (INT64_MAX - digit) / 10) return -1;
        size = size * 10 + digit;
    }
    return size;
}

static bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool parsePasvReply(const std::string& line, PassiveAddress& out) {
    if (line.size() <= 4) return false;
    // The line is searched as a C string, as the reply buffer is one: an
    // embedded NUL (the reader turns NUL bytes into spaces) cannot occur.
    std::string tail = line.substr(4);
    const char* open = findLastChar(tail.c_str(), '(');
    if (!open) return false;
    const char* p = open + 1;
    long long numbers[6];
    for (int i = 0; i < 6; ++i) {
        while (*p && isBlank(*p)) ++p;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        long long value = 0;
        while (isDigit(*p)) {
            // Clamped: a number this large is nonsense either way, and the
            // address text must not overflow.
            if (value < 100000000000LL) value = value * 10 + (*p - '0');
            ++p;
        }
        numbers[i] = negative ? -value : value;
        if (i < 5) {
            if (*p != ',') return false;
            ++p;
        }
    }
    out.address = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
                  std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
    out.port = static_cast<uint16_t>(
        static_cast<unsigned long long>(numbers[4] * 256 + numbers[5]) & 0xffffu);
    return true;
}

bool parseEpsvReply(const std::string& line, uint16_t& port) {
    if (line.size() < 4) return false;
    std::string tail = line.substr(4);
    const char* open = findLastChar(tail.c_str(), '(');
    if (!open) return false;
    const char* p = open + 1;
    char delimiter = *p;
    if (delimiter < 33 || delimiter > 126 || isDigit(delimiter)) return false;
    if (p[1] != delimiter || p[2] != delimiter) return false;
    p += 3;
    unsigned long value = 0;
    int digits = 0;
    while (isDigit(*p) && digits < 6) {
        value = value * 10 + static_cast<unsigned long>(*p++ - '0');
        ++digits;
    }
    if (digits == 0 || value == 0 || value > 65535 || p[0] != delimiter || p[1] != ')') return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::vector<std::string> splitReplyLines(const char* text, size_t length) {
    std::vector<std::string> lines;
    std::string line;
    const char* end = text + length;
    const char* p = text;
    while (p < end) {
        if (*p == '\r' || *p == '\n') {
            lines.push_back(line);
            line.clear();
            if (*p == '\r' && p + 1 < end && p[1] == '\n') ++p;
            ++p;
            continue;
        }
        size_t n =
            isLeadByte(static_cast<unsigned char>(*p)) && p + 1 < end ? charLength(p, end) : 1;
        if (n == 0) n = 1;
        line.append(p, n);
        p += n;
    }
    return lines;
}

std::string maskUrlPassword(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    size_t start = scheme + 3;
    size_t authorityEnd = url.find_first_of("/?#", start);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    size_t at = url.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at == std::string::npos || at < start) return url;
    size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at || colon + 1 == at) return url;
    return url.substr(0, colon + 1) + FTP_PASSWORD_MASK + url.substr(at);
}
