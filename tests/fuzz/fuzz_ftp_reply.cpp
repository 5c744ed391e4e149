// Fuzz target: the FTP client's reply rules. The input is taken as one reply
// line for the final-reply check, the size and the passive reply, as the text
// of a closing control connection for the line splitting (single-byte,
// Shift-JIS and UTF-8), and as a URL for the password mask.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/code_page.h"
#include "protocol/ftp_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string line = text.substr(0, text.find_first_of(std::string("\r\n\0", 3)));
    if (isFinalFtpReply(line) && (line.size() < 4 || line[3] != ' ')) std::abort();
    int cls = ftpReplyClass(line);
    if (cls < 0 || cls > 9) std::abort();
    if (ftpReplySize(line) < -1) std::abort();
    PassiveAddress passive;
    if (parsePasvReply(line, passive)) {
        // Four numbers joined by dots, each at most a sign and 12 digits.
        size_t dots = 0;
        for (char c : passive.address) dots += c == '.';
        if (dots != 3 || passive.address.size() > 4 * 13 + 3) std::abort();
    }
    const CodePageKind kinds[] = {CODE_PAGE_SINGLE_BYTE, CODE_PAGE_932, CODE_PAGE_UTF8};
    for (CodePageKind kind : kinds) {
        setCodePage(kind);
        size_t total = 0;
        for (const std::string& piece : splitReplyLines(text.data(), text.size()))
            total += piece.size();
        if (total > text.size()) std::abort();
    }
    setCodePage(CODE_PAGE_SINGLE_BYTE);
    std::string masked = maskUrlPassword(text);
    if (masked.size() > text.size() + 10) std::abort();
    return 0;
}
