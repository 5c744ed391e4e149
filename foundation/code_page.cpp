// The process-wide code page and character stepping over its byte strings.
// Portable.
#include "foundation/code_page.h"

namespace {

CodePageKind g_kind = CODE_PAGE_SINGLE_BYTE;
LeadByteTest g_leadTest = nullptr;

bool isShiftJisLead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// Bytes of a UTF-8 sequence announced by its first byte (1 for anything that
// cannot start a multi-byte sequence).
size_t utf8SequenceLength(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;
}

// available: bytes that may be looked at from text on (SIZE_MAX when the text
// is terminated and the terminator bounds the scan).
size_t charLengthBounded(const char* text, size_t available) {
    if (available == 0) return 0;
    const unsigned char b = static_cast<unsigned char>(text[0]);
    if (b == 0 && available == static_cast<size_t>(-1)) return 0;
    switch (g_kind) {
    case CODE_PAGE_SINGLE_BYTE:
        return 1;
    case CODE_PAGE_932:
    case CODE_PAGE_DOUBLE_BYTE: {
        const bool lead = g_kind == CODE_PAGE_932 ? isShiftJisLead(b) : g_leadTest(b);
        if (lead && available >= 2 && text[1] != '\0') return 2;
        return 1;
    }
    case CODE_PAGE_UTF8: {
        const size_t n = utf8SequenceLength(b);
        if (n == 1 || available < n) return 1;
        for (size_t i = 1; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x80 || c > 0xBF) return 1;
        }
        return n;
    }
    }
    return 1;
}

}  // namespace

void setCodePage(CodePageKind kind, LeadByteTest isLead) {
    if (kind == CODE_PAGE_DOUBLE_BYTE && isLead == nullptr) kind = CODE_PAGE_SINGLE_BYTE;
    g_kind = kind;
    g_leadTest = kind == CODE_PAGE_DOUBLE_BYTE ? isLead : nullptr;
}

CodePageKind currentCodePage() { return g_kind; }

bool isLeadByte(unsigned char byte) {
    switch (g_kind) {
    case CODE_PAGE_SINGLE_BYTE:
        return false;
    case CODE_PAGE_932:
        return isShiftJisLead(byte);
    case CODE_PAGE_DOUBLE_BYTE:
        return g_leadTest(byte);
    case CODE_PAGE_UTF8:
        return utf8SequenceLength(byte) > 1;
    }
    return false;
}

size_t charLength(const char* text) { return charLengthBounded(text, static_cast<size_t>(-1)); }

size_t charLength(const char* text, const char* end) {
    return text < end ? charLengthBounded(text, static_cast<size_t>(end - text)) : 0;
}

const char* findLastChar(const char* text, char c) {
    const char* found = nullptr;
    for (const char* p = text; *p != '\0'; p = nextChar(p)) {
        if (*p == c) found = p;
    }
    return found;
}

const char* findChar(const char* text, char c) {
    for (const char* p = text; *p != '\0'; p = nextChar(p)) {
        if (*p == c) return p;
    }
    return nullptr;
}
