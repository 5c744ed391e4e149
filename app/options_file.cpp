// The options file: a portable ini reader and writer with the semantics of the
// platform's private-profile functions. Every call reads the file afresh; every
// write rewrites it through platformReplaceFile so that it is never half
// written. Portable.
#include "app/options_file.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/code_page.h"
#include "platform/paths.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char* a, size_t aLength, const char* b) {
    const size_t bLength = std::strlen(b);
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

// Bounds of the text between begin and end without surrounding blanks.
void trimRange(const char*& begin, const char*& end) {
    while (begin < end && isBlank(*begin)) ++begin;
    while (end > begin && isBlank(end[-1])) --end;
}

// One line of the file: where it starts, where its text ends (before the line
// break) and where the next line starts.
struct Line {
    size_t begin;
    size_t textEnd;
    size_t next;
};

enum LineKind { LINE_OTHER, LINE_SECTION, LINE_KEY };

// The file split into lines, with the kind, name and value of each.
class IniText {
public:
    explicit IniText(std::string contents) : text_(std::move(contents)) {
        size_t pos = 0;
        // A UTF-8 byte-order mark written by an editor is not part of the first line.
        if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
        while (pos < text_.size()) {
            const size_t lf = text_.find('\n', pos);
            Line line;
            line.begin = pos;
            line.next = lf == std::string::npos ? text_.size() : lf + 1;
            line.textEnd = lf == std::string::npos ? text_.size() : lf;
            if (line.textEnd > line.begin && text_[line.textEnd - 1] == '\r') --line.textEnd;
            lines_.push_back(line);
            pos = line.next;
        }
    }

    const std::string& text() const { return text_; }
    size_t lineCount() const { return lines_.size(); }
    const Line& line(size_t i) const { return lines_[i]; }

    // Kind of line i; for a section its name, for a key its name and value,
    // all without surrounding blanks.
    LineKind classify(size_t i, const char*& nameBegin, const char*& nameEnd, const char*& valueBegin,
                      const char*& valueEnd) const {
        const char* begin = text_.data() + lines_[i].begin;
        const char* end = text_.data() + lines_[i].textEnd;
        trimRange(begin, end);
        if (begin == end || *begin == ';') return LINE_OTHER;
        if (*begin == '[') {
            nameBegin = begin + 1;
            const char* close = static_cast<const char*>(std::memchr(nameBegin, ']', static_cast<size_t>(end - nameBegin)));
            nameEnd = close != nullptr ? close : end;
            trimRange(nameBegin, nameEnd);
            return LINE_SECTION;
        }
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
        if (equals == nullptr) return LINE_OTHER;
        nameBegin = begin;
        nameEnd = equals;
        trimRange(nameBegin, nameEnd);
        valueBegin = equals + 1;
        valueEnd = end;
        trimRange(valueBegin, valueEnd);
        return LINE_KEY;
    }

    // Finds section/key: the line of the first such key inside a section of
    // that name, and the last line belonging to the first section of that name
    // that is not blank (where a new key goes). Either is npos when absent.
    void find(const char* section, const char* key, size_t& keyLine, size_t& sectionLastLine) const {
        keyLine = std::string::npos;
        sectionLastLine = std::string::npos;
        bool inSection = false;
        bool firstSection = false;
        bool seenSection = false;
        for (size_t i = 0; i < lines_.size(); ++i) {
            const char *nb = nullptr, *ne = nullptr, *vb = nullptr, *ve = nullptr;
            const LineKind kind = classify(i, nb, ne, vb, ve);
            if (kind == LINE_SECTION) {
                inSection = equalsIgnoringCase(nb, static_cast<size_t>(ne - nb), section);
                firstSection = inSection && !seenSection;
                if (inSection && !seenSection) sectionLastLine = i;
                if (inSection) seenSection = true;
                continue;
            }
            if (!inSection) continue;
            if (firstSection && kind != LINE_OTHER) sectionLastLine = i;
            if (firstSection && kind == LINE_OTHER && !isBlankLine(i)) sectionLastLine = i;
            if (kind == LINE_KEY && keyLine == std::string::npos &&
                equalsIgnoringCase(nb, static_cast<size_t>(ne - nb), key)) {
                keyLine = i;
            }
        }
    }

    bool isBlankLine(size_t i) const {
        for (size_t p = lines_[i].begin; p < lines_[i].textEnd; ++p) {
            if (!isBlank(text_[p])) return false;
        }
        return true;
    }

    // The line break the file uses ("\r\n" when it has none yet).
    std::string newLine() const {
        const size_t lf = text_.find('\n');
        if (lf != std::string::npos && (lf == 0 || text_[lf - 1] != '\r')) return "\n";
        return "\r\n";
    }

private:
    std::string text_;
    std::vector<Line> lines_;
};

// Looks section/key up in the file; false when the file, section or key is missing.
bool readValue(const std::string& path, const char* section, const char* key, std::string& value) {
    if (section == nullptr || key == nullptr || path.empty()) return false;
    std::string contents;
    if (!platformReadFile(path, contents)) return false;
    IniText ini(std::move(contents));
    size_t keyLine, sectionLastLine;
    ini.find(section, key, keyLine, sectionLastLine);
    if (keyLine == std::string::npos) return false;
    const char *nb, *ne, *vb = nullptr, *ve = nullptr;
    ini.classify(keyLine, nb, ne, vb, ve);
    // One pair of matching quotes around the value is dropped.
    if (ve - vb >= 2 && (*vb == '"' || *vb == '\'') && ve[-1] == *vb) {
        ++vb;
        --ve;
    }
    value.assign(vb, static_cast<size_t>(ve - vb));
    return true;
}

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// A name that reads back as itself: not empty, no surrounding blanks, no line
// break, and nothing the parser would take for something else.
bool isUsableName(const char* name, bool isKey) {
    const size_t length = std::strlen(name);
    if (length == 0 || isBlank(name[0]) || isBlank(name[length - 1]) || hasLineBreak(name)) return false;
    if (isKey) return std::strchr(name, '=') == nullptr && name[0] != '[' && name[0] != ';';
    return std::strchr(name, ']') == nullptr;
}

}  // namespace

int32_t OptionsFile::readInt(const char* section, const char* key, int32_t defaultValue) const {
    std::string value;
    if (!readValue(path_, section, key, value) || value.empty()) return defaultValue;
    const char* p = value.c_str();
    while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t result = 0;
    for (; *p >= '0' && *p <= '9'; ++p) result = result * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) result = 0u - result;
    return static_cast<int32_t>(result);
}

std::string OptionsFile::readText(const char* section, const char* key, const char* defaultValue) const {
    std::string value;
    if (!readValue(path_, section, key, value)) value = defaultValue != nullptr ? defaultValue : "";
    if (value.size() > kMaxValue) {
        // Cut like a 4096-byte buffer would, but never inside a character.
        const char* begin = value.c_str();
        const char* p = begin;
        while (*p != '\0') {
            const size_t n = charLength(p);
            if (static_cast<size_t>(p - begin) + n > kMaxValue) break;
            p += n;
        }
        value.resize(static_cast<size_t>(p - begin));
    }
    return value;
}

bool OptionsFile::writeInt(const char* section, const char* key, int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value));
    return writeText(section, key, buffer);
}

bool OptionsFile::writeText(const char* section, const char* key, const char* text) {
    if (path_.empty() || section == nullptr || key == nullptr || text == nullptr) return false;
    if (!isUsableName(section, false) || !isUsableName(key, true) || hasLineBreak(text)) return false;
    std::string contents;
    // A missing file is an empty one; a file that exists but cannot be read
    // must not be replaced by one holding this key alone.
    if (!platformReadFile(path_, contents) && platformExists(path_)) return false;
    IniText ini(std::move(contents));
    const std::string nl = ini.newLine();
    const std::string& old = ini.text();
    const std::string entry = std::string(key) + "=" + text;
    size_t keyLine, sectionLastLine;
    ini.find(section, key, keyLine, sectionLastLine);
    std::string updated;
    if (keyLine != std::string::npos) {
        const Line& line = ini.line(keyLine);
        updated = old.substr(0, line.begin) + entry + old.substr(line.textEnd);
    } else if (sectionLastLine != std::string::npos) {
        const Line& line = ini.line(sectionLastLine);
        const bool hasBreak = line.next > line.textEnd;
        updated = old.substr(0, line.next) + (hasBreak ? "" : nl) + entry + nl + old.substr(line.next);
    } else {
        updated = old;
        if (!updated.empty() && updated.back() != '\n') updated += nl;
        updated += "[" + std::string(section) + "]" + nl + entry + nl;
    }
    return platformReplaceFile(path_, updated);
}

std::string optionsPathForModule(const std::string& modulePath) {
    if (modulePath.empty()) return std::string();
    const char* begin = modulePath.c_str();
    const char* dot = nullptr;
    for (const char* p = begin; *p != '\0'; p = nextChar(p)) {
        if (*p == '\\' || *p == '/') dot = nullptr;  // a "." in a folder name does not count
        else if (*p == '.') dot = p;
    }
    const size_t keep = dot != nullptr ? static_cast<size_t>(dot - begin) : modulePath.size();
    return modulePath.substr(0, keep) + ".ini";
}
