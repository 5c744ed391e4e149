// Text: the program's string type for user-interface texts and paths, bytes of
// the process's code page (foundation/code_page.h). Short texts (up to 22 bytes) live
// in an inline buffer, longer ones on the heap. Portable: no OS header.
#pragma once

#include <cstddef>
#include <string>

class Text {
public:
    // Bytes of the inline buffer; a text of up to kInlineLimit bytes (plus its
    // terminator) stays in it, 23 bytes or more move to the heap.
    static constexpr size_t kInlineSize = 24;
    static constexpr size_t kInlineLimit = 22;
    // loadString reads at most this many bytes (a 256-byte buffer).
    static constexpr size_t kMaxStringEntry = 255;

    Text();
    Text(const char* text);  // null is the empty text
    Text(const char* text, size_t length);
    Text(const std::string& text);
    Text(const Text& other);
    Text(Text&& other) noexcept;
    ~Text();

    Text& operator=(const Text& other);
    Text& operator=(Text&& other) noexcept;
    Text& operator=(const char* text);
    Text& operator=(const std::string& text);
    Text& assign(const char* text, size_t length);

    Text& append(const char* text);
    Text& append(const char* text, size_t length);
    Text& append(const Text& text);
    Text& append(char c);
    Text& operator+=(const char* text) { return append(text); }
    Text& operator+=(const Text& text) { return append(text); }
    Text& operator+=(char c) { return append(c); }

    // Replaces the contents with string-table entry id (at most 255 bytes).
    // Returns false, leaving the text empty, when the entry does not exist.
    bool loadString(unsigned id);

    // Makes room for size bytes including the terminator, keeping the contents,
    // and returns the buffer for a platform call to write into. A request for
    // more than 23 bytes moves the text to the heap. Call refreshLength after
    // writing.
    char* reserve(size_t size);
    // Sets the length from the terminator in the buffer (after reserve).
    void refreshLength();

    const char* c_str() const { return data_; }
    char* data() { return data_; }
    size_t length() const { return length_; }
    bool empty() const { return length_ == 0; }
    std::string str() const { return std::string(data_, length_); }
    // True while the characters are kept in the inline buffer.
    bool isInline() const { return data_ == inline_; }

    // Exact comparison of the bytes.
    bool operator==(const Text& other) const;
    bool operator==(const char* other) const;
    bool operator!=(const Text& other) const { return !(*this == other); }
    bool operator!=(const char* other) const { return !(*this == other); }

    // Removes one final "\". In a double-byte code page the backslash stays when
    // the byte before it has its high bit set (it could be the second byte of a
    // double-byte character); in UTF-8 and single-byte code pages "\" is never
    // part of another character, so only the final byte is looked at.
    void stripTrailingBackslash();
    // Keeps what follows the last occurrence of c (multi-byte aware); the text
    // becomes empty when c does not occur.
    Text& afterLast(char c);
    // Appends "\" unless the text is empty or its last character already is
    // one (like PathAddBackslashA; a text of 260 bytes or more is left alone).
    void addBackslash();
    // The same with another separator (the native build's "/").
    void addSeparator(char separator);
    // Removes leading and trailing white space (space, tab, CR, LF, VT, FF),
    // stepping over multi-byte characters.
    void trim();
    // True for a plausible Windows folder path: longer than one byte; starts
    // with a drive letter and ":" followed by "\" or the end, or with "\\"; none
    // of , ; * ? " < > |; and "\\" nowhere but at the start.
    bool isValidFolderPath() const;

private:
    // Grows the buffer to hold capacity bytes (terminator included).
    void grow(size_t capacity);

    char* data_;
    char inline_[kInlineSize];
    size_t length_ = 0;
    size_t capacity_ = kInlineSize;  // bytes of the buffer data_ points to
};

// Concatenation: a new Text.
Text operator+(const Text& left, const char* right);
Text operator+(const Text& left, const Text& right);
