// Small text helpers of the engine (see engine_text.h). Portable.
#include "engine/engine_text.h"

#include <cctype>
#include <cstdio>

#include "foundation/string_table.h"

std::string engineString(unsigned id) {
    char buffer[1024];
    if (!loadStringEntry(id, buffer, sizeof buffer)) return std::string();
    return buffer;
}

std::string formatText(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
    std::string out(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&out[0], out.size(), format, args);
    va_end(args);
    out.resize(static_cast<size_t>(length));
    return out;
}

bool endsWithNoCase(const std::string& text, const std::string& suffix) {
    if (suffix.size() > text.size()) return false;
    size_t offset = text.size() - suffix.size();
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[offset + i])) !=
            std::tolower(static_cast<unsigned char>(suffix[i])))
            return false;
    }
    return true;
}

bool equalsNoCase(const std::string& a, const char* b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    return endsWithNoCase(a, b);
}
