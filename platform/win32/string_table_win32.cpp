// Windows side of the string-table seam: LoadStringA converts the resource
// (UTF-16) to the system's ANSI code page (932 on Japanese Windows).
#include <windows.h>

#include "foundation/string_table.h"

bool loadStringEntry(unsigned id, char* buffer, size_t size) {
    if (size == 0) return false;
    buffer[0] = '\0';
    return LoadStringA(GetModuleHandleA(nullptr), id, buffer, static_cast<int>(size)) > 0;
}
