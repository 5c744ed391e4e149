// The main program's options file: a plain ini file beside the program, read
// and written key by key with no in-memory copy, with the semantics of the
// platform's private-profile functions (GetPrivateProfileIntA/StringA,
// WritePrivateProfileStringA). Portable: file access goes through
// platform/paths.h.
#pragma once

#include <cstdint>
#include <string>

class OptionsFile {
public:
    // readText returns at most this many bytes (a 4096-byte buffer).
    static constexpr size_t kMaxValue = 4095;

    OptionsFile() = default;
    explicit OptionsFile(std::string path) : path_(std::move(path)) {}

    void setPath(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }

    // The integer value of section/key: leading blanks skipped, an optional
    // sign, then the leading decimal digits ("30s" is 30, "abc" 0, "-5" -5;
    // overflow wraps as in 32-bit arithmetic). The default when the file,
    // section or key is missing or the value is empty. Sections and keys are
    // compared without regard to ASCII case.
    int32_t readInt(const char* section, const char* key, int32_t defaultValue) const;

    // The text of section/key with surrounding blanks removed and one pair of
    // matching surrounding quotes (" or ') dropped, cut to 4095 bytes at a
    // character boundary. The default (null: empty) when missing.
    std::string readText(const char* section, const char* key, const char* defaultValue = nullptr) const;

    // Writes value as "%d". See writeText.
    bool writeInt(const char* section, const char* key, int32_t value);

    // Sets section/key to text: replaces the first line of the key in the first
    // matching section, or adds the key at the end of that section, or adds the
    // section at the end of the file. Every other line (unknown keys and
    // sections, comments, blank lines) is kept byte for byte. The new file is
    // written beside the old one and then put in its place, so that a failure
    // or a crash leaves the old file whole. Returns false when the file cannot
    // be written (read-only file, missing folder, full disk) or when the
    // section, key or text holds a line break or the key holds "=" or starts
    // with "[" or ";" (such a value could not be read back).
    bool writeText(const char* section, const char* key, const char* text);

private:
    std::string path_;
};

// The options-file path for a program module: the module path with everything
// from its last "." replaced by ".ini" (D\dorimel.exe -> D\dorimel.ini,
// D\x.y.exe -> D\x.y.ini). Only a "." in the file name counts; a module name
// without one gets ".ini" appended (the console program dorimel -> dorimel.ini).
// Multi-byte aware. Empty when modulePath is empty.
std::string optionsPathForModule(const std::string& modulePath);
