// Pure text rules of the HTTP exchange and of the target file's name: the
// status line, Content-Range, the Content-Disposition file name, the page
// extension test, file-name cleaning and the unique-name rule.
// Portable: no OS header; unit-tested without sockets.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Status line: version (major << 16 | minor) and status. A line that does not
// start with "HTTP/" gives version 9 and status 0; one that starts with it but
// lacks the "." between the numbers or the space before the code gives status
// 0 as well (the response is then treated as unreadable).
struct StatusLine {
    int version = 0;
    int status = 0;
};
StatusLine parseStatusLine(const std::string& line);

// The lines of a header (without its ending empty line): split at every LF,
// a CR before it dropped. Never empty: a header without LF is one line.
std::vector<std::string> headerLines(const std::string& header);

// Content-Range value ("bytes 100-199/1000"): false when no "-" follows the
// first space (start then 0). total stays 0 without a "/".
bool parseContentRange(const std::string& value, uint64_t& start, uint64_t& total);

// Signed decimal with optional sign and leading blanks; false when there are
// no digits or the number overflows 64 bits.
bool parseDecimal64(const std::string& value, int64_t& result);

// The file name of a Content-Disposition value, or false when it names none
// (no "attachment"/"inline", no "filename", or no "=" right after it). A name
// in double quotes is taken whole up to its closing quote (quotes dropped);
// an unquoted one ends at ";", a blank, CR or LF.
bool dispositionFileName(const std::string& value, std::string& name);

// The extension of the last segment of path, from its last "." (empty when
// there is none), as the platform's path-extension lookup finds it.
std::string pathExtension(const std::string& path);

// True for an extension that names a page: lower-cased it contains "htm", or
// it is ".txt", ".pl", ".asp" or ".cgi".
bool isPageExtension(const std::string& extension);

// The cleaning of a target file name: removes \ : * ? " < > | and control
// characters (stepping over double-byte characters), turns "/" into "-".
// The result never leaves the destination folder nor names a device: an empty
// name, one of only dots and blanks, or "unknown" after trimming trailing dots
// and blanks becomes "unknown"; reserved device names (CON, NUL, COM1, ...,
// also with an extension) get a "_" in front.
std::string cleanFileName(const std::string& name);

// The unique-name rule: while exists(path) holds, try path with "[n]"
// inserted before the extension of its last segment, n = 1, 2, ...
std::string uniquePath(const std::string& path, const std::function<bool(const std::string&)>& exists);
