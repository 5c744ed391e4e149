// Native side of the string-table seam: texts come from the tables generated
// from resources/strings.txt, in UTF-8. The Japanese table is the default; the
// console program switches to the English column under a non-Japanese locale
// (an entry without an English text stays Japanese).
#include <cstring>

#include "foundation/string_table.h"
#include "platform/posix/string_language.h"

extern const StringTableEntry kMainStrings[];
extern const StringTableEntry kMainStringsEnglish[];

namespace {
bool gEnglish = false;
}

void useEnglishStrings(bool english) { gEnglish = english; }

bool loadStringEntry(unsigned id, char* buffer, size_t size) {
    const char* text = gEnglish ? findStringEntry(kMainStringsEnglish, id) : nullptr;
    if (text == nullptr) text = findStringEntry(kMainStrings, id);
    if (text == nullptr || size == 0) return false;
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return true;
}
