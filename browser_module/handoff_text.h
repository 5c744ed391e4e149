// Texts of the hand-off to dorimel.exe: the take-over scheme test and the
// parameter texts built by the browser module and by the automation launcher.
// Portable (no OS header), so that the native unit tests check them too.
// All texts are bytes of the ANSI code page (Shift-JIS on the target systems).
#pragma once

#include <string>

// True when the URL's scheme is one the main program downloads: the text
// begins with "http:" or "ftp:", or "https:" when https is on (the settings
// file's Main/EnableHttps), compared without regard to ASCII case.
bool isTakeOverUrl(const std::string& url, bool https = false);

// Makes a URL or page address safe to place on dorimel's command line as one
// argument: blanks, tabs, control characters and double quotes become %XX.
// Without this a link such as "http://host/a -td C:\x -nd 1" would hand the
// main program options chosen by a web page. Other bytes, including Shift-JIS
// pairs (whose bytes are never below 0x40 in second position), stay as they are.
std::string escapeUnquotedArgument(const std::string& text);

// The same for a value the caller puts between double quotes: blanks are kept,
// double quotes and control characters become %XX, and backslashes right before
// the closing quote are doubled so that the quote still ends the argument
// (the platform's argument splitting reads 2n backslashes before a quote as n).
std::string escapeQuotedArgument(const std::string& text);

// The browser module's parameter text: options and a blank (only when options
// is non-empty), the URL, then " -rf " and the referer when the referer is
// non-empty. URL and referer are passed through escapeUnquotedArgument.
std::string buildHandOffParameters(const std::string& options, const std::string& url,
                                   const std::string& referer);

// The automation launcher's parameter text: "URL" -rf "referer", both always
// quoted (an empty referer gives two double quotes at the end).
std::string buildLauncherParameters(const std::string& url, const std::string& referer);
