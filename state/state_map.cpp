// The resume state map, the typed field exchange and the state text.
// Portable: no OS header. Numbers are formatted and parsed by hand so that the
// text does not depend on the C locale.
#include "state/state_map.h"

#include "state/temp_file_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

bool StateMap::insert(const std::string& key, const std::string& value) {
    return entries_.emplace(key, value).second;
}

const std::string& StateMap::lookup(const std::string& key) const {
    static const std::string empty;
    auto it = entries_.find(key);
    return it == entries_.end() ? empty : it->second;
}

bool StateMap::contains(const std::string& key) const { return entries_.count(key) != 0; }

std::string formatStateInt(int32_t value) { return std::to_string(value); }

std::string formatStateUInt64(uint64_t value) { return std::to_string(value); }

std::string formatStateDouble(double value) {
    // Zero is written like the other values below 0.1: as the empty text.
    if (!std::isfinite(value) || value == 0) return std::string();
    double magnitude = std::fabs(value);
    // Five decimals, rounded; "%.5f" always uses "." in the C locale the
    // program runs in, but the digits are taken one by one to be safe.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.5f", magnitude);
    std::string digits;
    for (const char* p = buffer; *p; ++p) {
        if (*p >= '0' && *p <= '9') digits += *p;
    }
    // digits = integer part followed by the five decimals.
    size_t integerDigits = digits.size() - 5;
    size_t skip = 0;
    while (skip < integerDigits && digits[skip] == '0') ++skip;
    if (skip == integerDigits && digits[integerDigits] == '0') return std::string();  // below 0.1
    return digits.substr(skip, integerDigits - skip) + "." + digits.substr(integerDigits);
}

namespace {

// Leading blanks, an optional sign and the decimal digits that follow,
// accumulated modulo 2^64.
uint64_t parseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return negative ? uint64_t(0) - value : value;
}

}  // namespace

int32_t parseStateInt(const std::string& text) {
    return static_cast<int32_t>(static_cast<uint32_t>(parseDecimal(text)));
}

uint64_t parseStateUInt64(const std::string& text) { return parseDecimal(text); }

double parseStateDouble(const std::string& text) {
    // The number is rebuilt as "digits.digits" and converted with
    // std::from_chars: correctly rounded and independent of the C locale.
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::string number;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) number += text[i];
    if (number.empty()) number = "0";
    if (i < text.size() && text[i] == '.') {
        number += '.';
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) number += text[i];
    }
    double value = 0;
    auto result = std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::fixed);
    if (result.ec != std::errc() || !std::isfinite(value)) return 0;
    return negative ? -value : value;
}

std::string StateSection::fullKey(const char* field) const { return section_ + "-" + field; }

void StateSection::exchangeInt(const char* field, int32_t& value) {
    if (isStoring()) {
        map_.insert(fullKey(field), formatStateInt(value));
    } else {
        value = parseStateInt(map_.lookup(fullKey(field)));
    }
}

void StateSection::exchangeUInt(const char* field, uint32_t& value) {
    int32_t asSigned = static_cast<int32_t>(value);
    exchangeInt(field, asSigned);
    value = static_cast<uint32_t>(asSigned);
}

void StateSection::exchangeBool(const char* field, bool& value) {
    int32_t asInt = value ? 1 : 0;
    exchangeInt(field, asInt);
    value = asInt != 0;
}

void StateSection::exchangeUInt64(const char* field, uint64_t& value) {
    if (isStoring()) {
        map_.insert(fullKey(field), formatStateUInt64(value));
    } else {
        value = parseStateUInt64(map_.lookup(fullKey(field)));
    }
}

void StateSection::exchangeUInt64(const char* field, int64_t& value) {
    uint64_t bits = static_cast<uint64_t>(value);
    exchangeUInt64(field, bits);
    value = static_cast<int64_t>(bits);
}

void StateSection::exchangeDouble(const char* field, double& value) {
    if (isStoring()) {
        map_.insert(fullKey(field), formatStateDouble(value));
    } else {
        value = parseStateDouble(map_.lookup(fullKey(field)));
    }
}

void StateSection::exchangeText(const char* field, std::string& value) {
    if (isStoring()) {
        map_.insert(fullKey(field), value);
    } else {
        value = map_.lookup(fullKey(field));
    }
}

namespace {

bool isValidKey(const std::string& key) {
    return key.find_first_of(std::string(":\n\0", 3)) == std::string::npos;
}

// A line feed or NUL inside a value would end the line or the whole text and
// let the rest of the value pass for other keys; each becomes a space.
void appendValue(std::string& text, const std::string& value) {
    size_t start = text.size();
    text += value;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\0') text[i] = ' ';
    }
}

}  // namespace

bool writeStateText(const StateMap& map, std::string& text) {
    text.clear();
    size_t length = std::strlen(STATE_MARKER) + 1;
    for (const auto& entry : map.entries()) {
        if (!isValidKey(entry.first)) return false;
        length += entry.first.size() + entry.second.size() + 2;
    }
    if (length > STATE_BLOCK_SIZE) return false;
    text.reserve(length + 1);
    text += STATE_MARKER;
    text += '\n';
    for (const auto& entry : map.entries()) {
        text += entry.first;
        text += ':';
        appendValue(text, entry.second);
        text += '\n';
    }
    text += '\0';
    return true;
}

bool parseStateText(const char* block, size_t size, StateMap& map) {
    const char* nul = static_cast<const char*>(std::memchr(block, '\0', size));
    const char* end = nul ? nul : block + size;
    const char* line = block;
    bool first = true;
    while (line < end) {
        const char* feed = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* lineEnd = feed ? feed : end;
        if (lineEnd != line) {
            size_t length = static_cast<size_t>(lineEnd - line);
            if (first) {
                // A leading part of the marker, the whole marker included.
                if (length > std::strlen(STATE_MARKER) || std::memcmp(line, STATE_MARKER, length) != 0) {
                    return false;
                }
                first = false;
            } else {
                const char* colon = static_cast<const char*>(std::memchr(line, ':', length));
                if (colon) {
                    map.insert(std::string(line, colon), std::string(colon + 1, lineEnd));
                } else {
                    map.insert(std::string(line, lineEnd), std::string());
                }
            }
        }
        if (!feed) break;
        line = feed + 1;
    }
    return !first;
}
