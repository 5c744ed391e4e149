// Pure text rules of the FTP client: which control-connection line is a final
// reply, the size in a "SIZE" reply, the address and port of a "PASV" reply,
// and the splitting of text read from a closing control connection into lines.
// Portable: no OS header, no state; the fuzz target drives these directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A final reply has at least four characters, three decimal digits and then a
// space. Continuation lines ("220-...") and free text are not final.
bool isFinalFtpReply(const std::string& line);

// The reply class (the first digit, 0..9) of a final reply.
int ftpReplyClass(const std::string& line);

// The size of a "213 <size>" reply: the run of decimal digits from the fifth
// character (none gives 0). A number beyond the 64-bit range gives -1, which
// the caller treats as a size it could not learn.
int64_t ftpReplySize(const std::string& line);

// What a "227 ... (h1,h2,h3,h4,p1,p2)" reply names.
struct PassiveAddress {
    std::string address;  // "h1.h2.h3.h4" as the numbers were written, no range check
    uint16_t port = 0;    // p1 * 256 + p2, cut to 16 bits
};

// Reads the last "(" after the first four characters of line (a multi-byte
// aware search), then six numbers separated by ","; white space before each
// number is skipped and a number without digits counts as 0. False when there
// is no "(" or fewer than six numbers.
bool parsePasvReply(const std::string& line, PassiveAddress& out);

// The port of a "229 ... (|||port|)" reply (EPSV): the last "(" after the
// first four characters, then a delimiter character used three times, the
// decimal port (1 to 65535), the delimiter again and ")". False otherwise.
bool parseEpsvReply(const std::string& line, uint16_t& port);

// Splits text at "\r", "\n" or "\r\n" into completed lines (a trailing piece
// without a line end is not a line). A double-byte lead byte always takes the
// byte after it along, so a trail byte is never taken for a line end.
std::vector<std::string> splitReplyLines(const char* text, size_t length);

// The URL with its password replaced by "XXXXXXXXXX" (the mask of the "PASS"
// row), so that no log row shows a password. A URL without a password is
// returned unchanged.
std::string maskUrlPassword(const std::string& url);

// The text shown in place of a password.
inline constexpr const char FTP_PASSWORD_MASK[] = "XXXXXXXXXX";
