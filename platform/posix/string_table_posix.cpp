// Native side of the string-table seam: texts come from the table generated
// from resources/strings.txt, in UTF-8.
#include <cstring>

#include "foundation/string_table.h"

extern const StringTableEntry kMainStrings[];

bool loadStringEntry(unsigned id, char* buffer, size_t size) {
    const char* text = findStringEntry(kMainStrings, id);
    if (text == nullptr || size == 0) return false;
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return true;
}
