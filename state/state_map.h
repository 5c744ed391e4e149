// The resume state map: an ordered key/value text table, the typed field
// exchange (StateSection) through which every persisted record stores and
// loads its fields, and the table's text form in the temporary file.
// Portable: no OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Keys are unique and ordered by unsigned byte comparison (shorter first at an
// equal prefix); std::string's ordering is exactly that.
class StateMap {
public:
    using Entries = std::map<std::string, std::string>;

    // Inserts the pair unless the key is present; false when nothing was
    // inserted (the existing value stays).
    bool insert(const std::string& key, const std::string& value);
    // The value, or the empty text when the key is absent.
    const std::string& lookup(const std::string& key) const;
    bool contains(const std::string& key) const;
    size_t size() const { return entries_.size(); }
    const Entries& entries() const { return entries_; }

private:
    Entries entries_;
};

enum class StateDirection { Store, Load };

// A view through which one record exchanges its fields with a map. The full
// key of a field is section + "-" + field name. In store direction each
// exchange formats the variable and inserts it; in load direction it looks
// the key up and overwrites the variable (a missing key gives 0, false or the
// empty text).
class StateSection {
public:
    StateSection(StateMap& map, StateDirection direction) : map_(map), direction_(direction) {}

    void setSection(const std::string& name) { section_ = name; }
    const std::string& section() const { return section_; }
    bool isStoring() const { return direction_ == StateDirection::Store; }
    bool isLoading() const { return direction_ == StateDirection::Load; }
    StateMap& map() { return map_; }

    void exchangeInt(const char* field, int32_t& value);
    void exchangeUInt(const char* field, uint32_t& value);
    void exchangeBool(const char* field, bool& value);
    void exchangeUInt64(const char* field, uint64_t& value);
    // A signed 64-bit field passes through the unsigned form unchanged:
    // -1 is written as 18446744073709551615 and read back as -1.
    void exchangeUInt64(const char* field, int64_t& value);
    void exchangeDouble(const char* field, double& value);
    void exchangeText(const char* field, std::string& value);

    std::string fullKey(const char* field) const;

private:
    StateMap& map_;
    StateDirection direction_;
    std::string section_;
};

// The text forms of the value types (exposed for tests and for the records).
std::string formatStateInt(int32_t value);        // "%d"
std::string formatStateUInt64(uint64_t value);    // unsigned decimal
std::string formatStateDouble(double value);      // "1234.50000", ".50000", "" below 0.1 and for 0
int32_t parseStateInt(const std::string& text);   // sign + digits, modulo 2^32; none gives 0
uint64_t parseStateUInt64(const std::string& text);  // sign + digits, modulo 2^64
double parseStateDouble(const std::string& text);    // leading decimal number; none gives 0

// The text form of a map: "Dorimel:500\n", then "key:value\n" per entry in key
// order, then one NUL byte (included in text). Fails, leaving text empty, when
// the text without its NUL would be longer than STATE_BLOCK_SIZE bytes or a
// key contains ":", a line feed or a NUL. A line feed or NUL inside a value
// is written as a space, so that a value can never forge other keys.
bool writeStateText(const StateMap& map, std::string& text);

// Fills map from a state block of size bytes (the text ends at the first NUL
// or at size). Fails when the first line is not a leading part of the marker
// "Dorimel:500": the block is not a state text.
bool parseStateText(const char* block, size_t size, StateMap& map);
