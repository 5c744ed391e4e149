// The character encoding of the program's byte strings, chosen once per process.
// Portable: the platform sets it at start-up (the Windows program from the
// system's ANSI code page, the console front end to UTF-8); tests switch it.
// Every scan of a text for a single ASCII character steps over whole
// characters with these functions, so that the second byte of a Shift-JIS
// character (which may be "\" or any byte from 0x40) is never mistaken for one.
#pragma once

#include <cstddef>

enum CodePageKind {
    CODE_PAGE_SINGLE_BYTE,  // every byte is one character
    CODE_PAGE_932,          // Shift-JIS: lead bytes 0x81-0x9F and 0xE0-0xFC, then one more byte
    CODE_PAGE_DOUBLE_BYTE,  // another double-byte code page: lead bytes from a platform test
    CODE_PAGE_UTF8,         // UTF-8: a character is 1 to 4 bytes
};

// Lead-byte test of a double-byte code page (the Windows side passes one built
// on IsDBCSLeadByte). Only used with CODE_PAGE_DOUBLE_BYTE.
typedef bool (*LeadByteTest)(unsigned char byte);

// Sets the process-wide encoding. The default, before any call, is
// CODE_PAGE_SINGLE_BYTE. isLead is required for CODE_PAGE_DOUBLE_BYTE (without
// it the setting falls back to single-byte) and ignored otherwise.
void setCodePage(CodePageKind kind, LeadByteTest isLead = nullptr);
CodePageKind currentCodePage();

// True when byte starts a character of two or more bytes in the current
// encoding (a lead byte; in UTF-8 any byte from 0xC2 up to 0xF4).
bool isLeadByte(unsigned char byte);

// Length in bytes of the character that starts at text (0 at the terminator).
// Never steps over a terminator: a lead byte followed by NUL, or an incomplete
// or malformed UTF-8 sequence, counts as one byte.
size_t charLength(const char* text);

// The same for a text of known length that need not be terminated: never
// returns more than the bytes that remain (end - text).
size_t charLength(const char* text, const char* end);

// Start of the next character (text itself at the terminator).
inline const char* nextChar(const char* text) { return text + charLength(text); }

// Last occurrence of the ASCII character c in text, stepping over multi-byte
// characters; null when absent.
const char* findLastChar(const char* text, char c);

// First occurrence of the ASCII character c in text, stepping over multi-byte
// characters; null when absent.
const char* findChar(const char* text, char c);
