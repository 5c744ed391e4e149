// Small text helpers of the engine: string-table texts by ID and printf-style
// formatting. Portable: no OS header.
#pragma once

#include <cstdarg>
#include <string>

// The text of string-table entry id ("" when absent).
std::string engineString(unsigned id);

// printf-style formatting into a std::string.
std::string formatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// True when text ends with suffix, ASCII letters compared without case.
bool endsWithNoCase(const std::string& text, const std::string& suffix);
// True when a and b are equal, ASCII letters compared without case.
bool equalsNoCase(const std::string& a, const char* b);
