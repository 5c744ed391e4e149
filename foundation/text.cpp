// Text: inline buffer for short texts, heap beyond; multi-byte aware scans.
// Portable.
#include "foundation/text.h"

#include <cstring>

#include "foundation/code_page.h"
#include "foundation/string_table.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

Text::Text() : data_(inline_) { inline_[0] = '\0'; }

Text::Text(const char* text) : Text() {
    if (text != nullptr) assign(text, std::strlen(text));
}

Text::Text(const char* text, size_t length) : Text() { assign(text, length); }

Text::Text(const std::string& text) : Text() { assign(text.data(), text.size()); }

Text::Text(const Text& other) : Text() { assign(other.data_, other.length_); }

Text::Text(Text&& other) noexcept : Text() {
    if (other.isInline()) {
        std::memcpy(inline_, other.inline_, other.length_ + 1);
    } else {
        data_ = other.data_;
        capacity_ = other.capacity_;
        other.data_ = other.inline_;
        other.capacity_ = kInlineSize;
    }
    length_ = other.length_;
    other.length_ = 0;
    other.inline_[0] = '\0';
}

Text::~Text() {
    if (!isInline()) delete[] data_;
}

Text& Text::operator=(const Text& other) {
    if (this != &other) assign(other.data_, other.length_);
    return *this;
}

Text& Text::operator=(Text&& other) noexcept {
    if (this == &other) return *this;
    if (other.isInline()) {
        assign(other.data_, other.length_);
    } else {
        if (!isInline()) delete[] data_;
        data_ = other.data_;
        capacity_ = other.capacity_;
        length_ = other.length_;
        other.data_ = other.inline_;
        other.capacity_ = kInlineSize;
    }
    other.length_ = 0;
    other.inline_[0] = '\0';
    return *this;
}

Text& Text::operator=(const char* text) { return assign(text, text != nullptr ? std::strlen(text) : 0); }

Text& Text::operator=(const std::string& text) { return assign(text.data(), text.size()); }

Text& Text::assign(const char* text, size_t length) {
    if (text == nullptr) length = 0;
    if (length > kInlineLimit) grow(length + 1);
    // memmove: text may point into this very buffer.
    if (length != 0) std::memmove(data_, text, length);
    length_ = length;
    data_[length_] = '\0';
    return *this;
}

Text& Text::append(const char* text) { return append(text, text != nullptr ? std::strlen(text) : 0); }

Text& Text::append(const char* text, size_t length) {
    if (text == nullptr || length == 0) return *this;
    const size_t total = length_ + length;
    if (total + 1 > capacity_ || (total > kInlineLimit && isInline())) {
        // text may point into our own buffer, which grow() replaces.
        const bool inside = text >= data_ && text < data_ + capacity_;
        const size_t offset = inside ? static_cast<size_t>(text - data_) : 0;
        grow(total + 1);
        if (inside) text = data_ + offset;
    }
    std::memmove(data_ + length_, text, length);
    length_ = total;
    data_[length_] = '\0';
    return *this;
}

Text& Text::append(const Text& text) { return append(text.data_, text.length_); }

Text& Text::append(char c) { return append(&c, 1); }

bool Text::loadString(unsigned id) {
    char buffer[kMaxStringEntry + 1];
    if (!loadStringEntry(id, buffer, sizeof buffer)) {
        assign("", 0);
        return false;
    }
    assign(buffer, std::strlen(buffer));
    return true;
}

char* Text::reserve(size_t size) {
    if (size > kInlineLimit + 1) grow(size);
    return data_;
}

void Text::refreshLength() {
    data_[capacity_ - 1] = '\0';  // a platform call that filled the buffer to the end
    length_ = std::strlen(data_);
}

void Text::grow(size_t capacity) {
    // Once on the heap the text stays there; the buffer only grows.
    if (!isInline() && capacity <= capacity_) return;
    if (isInline() && capacity < kInlineSize) capacity = kInlineSize;
    if (!isInline() && capacity < capacity_ * 2) capacity = capacity_ * 2;
    char* buffer = new char[capacity];
    std::memcpy(buffer, data_, length_ + 1);
    if (!isInline()) delete[] data_;
    data_ = buffer;
    capacity_ = capacity;
}

bool Text::operator==(const Text& other) const {
    return length_ == other.length_ && std::memcmp(data_, other.data_, length_) == 0;
}

bool Text::operator==(const char* other) const {
    if (other == nullptr) return length_ == 0;
    return std::strlen(other) == length_ && std::memcmp(data_, other, length_) == 0;
}

void Text::stripTrailingBackslash() {
    if (length_ == 0 || data_[length_ - 1] != '\\') return;
    const CodePageKind kind = currentCodePage();
    const bool doubleByte = kind == CODE_PAGE_932 || kind == CODE_PAGE_DOUBLE_BYTE;
    if (doubleByte && length_ >= 2 && (static_cast<unsigned char>(data_[length_ - 2]) & 0x80) != 0) return;
    data_[--length_] = '\0';
}

Text& Text::afterLast(char c) {
    const char* last = findLastChar(data_, c);
    if (last == nullptr) return assign("", 0);
    return assign(last + 1, length_ - static_cast<size_t>(last + 1 - data_));
}

void Text::addBackslash() { addSeparator('\\'); }

void Text::addSeparator(char separator) {
    // PathAddBackslashA refuses paths that would not fit MAX_PATH (260).
    if (length_ == 0 || length_ >= 260) return;
    const char* last = data_;
    for (const char* p = data_; *p != '\0'; p = nextChar(p)) last = p;
    if (*last != separator) append(separator);
}

void Text::trim() {
    const char* begin = data_;
    while (isBlank(*begin)) ++begin;
    // Blanks are single bytes and never the second byte of a character, but
    // walking whole characters keeps the end on a character boundary.
    const char* end = begin;
    for (const char* p = begin; *p != '\0'; p = nextChar(p)) {
        if (!isBlank(*p)) end = nextChar(p);
    }
    assign(begin, static_cast<size_t>(end - begin));
}

bool Text::isValidFolderPath() const {
    if (length_ <= 1) return false;
    const char* p = data_;
    const bool drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
                       (p[2] == '\\' || p[2] == '\0');
    const bool network = p[0] == '\\' && p[1] == '\\';
    if (!drive && !network) return false;
    // The leading "\\" of a network path is the only "\\" allowed: a third
    // backslash right after it already counts as a second pair.
    const char* rest = network ? p + 2 : p;
    const char* previous = network ? p + 1 : nullptr;
    for (const char* q = rest; *q != '\0'; q = nextChar(q)) {
        if (std::strchr(",;*?\"<>|", *q) != nullptr) return false;
        if (*q == '\\' && previous != nullptr && *previous == '\\') return false;
        previous = q;
    }
    return true;
}

Text operator+(const Text& left, const char* right) {
    Text result(left);
    result.append(right);
    return result;
}

Text operator+(const Text& left, const Text& right) {
    Text result(left);
    result.append(right);
    return result;
}
