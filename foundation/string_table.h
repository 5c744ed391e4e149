// The main program's string table, seen from portable code: texts by numeric ID.
// The Windows build reads the resource string table (LoadStringA, code page of
// the system); the native build reads a table generated from the same source
// (resources/strings.txt), in UTF-8.
#pragma once

#include <cstddef>

struct StringTableEntry {
    unsigned id;
    const char* text;
};

// Copies the entry into buffer (cut to size - 1 bytes, always terminated).
// Returns false when the entry does not exist. Implemented by the platform.
bool loadStringEntry(unsigned id, char* buffer, size_t size);

// Looks an ID up in a table ending with {0, nullptr}; null when absent.
const char* findStringEntry(const StringTableEntry* table, unsigned id);
