// Lookup in a generated string table (portable).
#include "foundation/string_table.h"

const char* findStringEntry(const StringTableEntry* table, unsigned id) {
    for (; table->text != nullptr; ++table) {
        if (table->id == id) return table->text;
    }
    return nullptr;
}
