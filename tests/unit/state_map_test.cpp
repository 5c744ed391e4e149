// The resume state map: ordering and insertion, the text forms of the value
// types, the state text byte for byte and its parsing with the marker rule.
#include "state/state_map.h"

#include "state/temp_file_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

StateMap parse(const std::string& text, bool* ok = nullptr) {
    StateMap map;
    bool parsed = parseStateText(text.data(), text.size(), map);
    if (ok) *ok = parsed;
    return map;
}

std::string keysOf(const StateMap& map) {
    std::string keys;
    for (const auto& entry : map.entries()) keys += entry.first + "|";
    return keys;
}

TEST(StateMap, WritesTheMarkerThenSortedLinesThenOneNul) {
    StateMap map;
    EXPECT_TRUE(map.insert("DLG-Stage", "2"));
    EXPECT_TRUE(map.insert("App-Timeout", "300"));
    EXPECT_FALSE(map.insert("App-Timeout", "5"));  // the first value stays
    std::string text;
    ASSERT_TRUE(writeStateText(map, text));
    EXPECT_EQ(text, "Dorimel:500\nApp-Timeout:300\nDLG-Stage:2\n\0"s);

    StateMap ordered;
    for (const char* key : {"WhiteSheet-black1first", "Session1-CurURL", "WhiteSheet-black10first",
                            "Session0-Phase", "\x80", "z", "Session0"}) {
        ordered.insert(key, "");
    }
    EXPECT_EQ(keysOf(ordered),
              "Session0|Session0-Phase|Session1-CurURL|WhiteSheet-black10first|"
              "WhiteSheet-black1first|z|\x80|");
}

TEST(StateMap, TextThatWouldOverflowTheStateBlockIsNotWritten) {
    const size_t fixed = std::string("Dorimel:500\nk:\n").size();
    StateMap fits, overflows;
    fits.insert("k", std::string(STATE_BLOCK_SIZE - fixed, 'v'));
    overflows.insert("k", std::string(STATE_BLOCK_SIZE - fixed + 1, 'v'));
    std::string text;
    ASSERT_TRUE(writeStateText(fits, text));
    EXPECT_EQ(text.size(), STATE_BLOCK_SIZE + 1);
    EXPECT_EQ(text.back(), '\0');

    // A text filling the whole block, its NUL cut off, still parses.
    bool ok = false;
    StateMap back = parse(text.substr(0, STATE_BLOCK_SIZE), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(back.lookup("k").size(), STATE_BLOCK_SIZE - fixed);

    EXPECT_FALSE(writeStateText(overflows, text));
    EXPECT_TRUE(text.empty());
}

TEST(StateMap, ValuesCannotForgeOtherKeys) {
    StateMap map;
    map.insert("Session0-CurReferer", "http://h/\nSession0-FirstRange:0\0DLG-Stage:1"s);
    map.insert("Session0-FirstRange", "500");
    std::string text;
    ASSERT_TRUE(writeStateText(map, text));
    EXPECT_EQ(text, "Dorimel:500\nSession0-CurReferer:http://h/ Session0-FirstRange:0 DLG-Stage:1\n"
                    "Session0-FirstRange:500\n\0"s);
    StateMap back = parse(text);
    EXPECT_EQ(back.lookup("Session0-FirstRange"), "500");
    EXPECT_FALSE(back.contains("DLG-Stage"));

    for (const std::string& key : {"a:b"s, "a\nb"s, "a\0b"s}) {
        StateMap bad;
        bad.insert(key, "v");
        EXPECT_FALSE(writeStateText(bad, text));
    }
}

TEST(StateMap, FirstLineMustBeALeadingPartOfTheMarker) {
    struct Case {
        const char* text;
        bool accepted;
    } cases[] = {
        {"Dorimel:500\n", true},  {"Dorimel:5\nA-x:1\n", true}, {"D\n", true},
        {"\n\nDorimel:500\n", true}, {"Dorimel:500", true},
        {"Dorimel:600\n", false}, {"Dorimel:5000\n", false}, {"dorimel:500\n", false},
        {"", false},              {"\n\n", false},            {"Dorimel:500 \n", false},
        {"X\nDorimel:500\n", false},
    };
    for (const Case& c : cases) {
        bool ok = false;
        parse(c.text, &ok);
        EXPECT_EQ(ok, c.accepted) << c.text;
    }
}

TEST(StateMap, ParsesLinesAtTheFirstColonAndStopsAtTheNul) {
    const std::string text =
        "Dorimel:500\n"
        "Session0-CurURL:http://host:8080/a\n\n\n"
        "abc\n"
        "A-dup:first\n"
        "A-dup:second\n"
        ":empty key\n"
        "A-last:x\0B-after:nul\n"s;
    bool ok = false;
    StateMap map = parse(text, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(map.lookup("Session0-CurURL"), "http://host:8080/a");
    EXPECT_TRUE(map.contains("abc"));
    EXPECT_EQ(map.lookup("abc"), "");
    EXPECT_EQ(map.lookup("A-dup"), "first");
    EXPECT_EQ(map.lookup(""), "empty key");
    EXPECT_EQ(map.lookup("A-last"), "x");
    EXPECT_FALSE(map.contains("B-after"));
    EXPECT_EQ(map.size(), 5u);
}

TEST(StateMap, NumberTextForms) {
    struct DoubleCase {
        double value;
        const char* text;
    } doubles[] = {
        {1234.5, "1234.50000"}, {0.5, ".50000"},   {0.1, ".10000"},     {0.05, ""},
        {0.099999, ".10000"},   {0.0999949, ""},   {-2.25, "2.25000"},  {1e-9, ""},
        {7, "7.00000"},         {1e15, "1000000000000000.00000"},        {123.456789, "123.45679"},
    };
    for (const DoubleCase& c : doubles) EXPECT_EQ(formatStateDouble(c.value), c.text) << c.value;
    EXPECT_EQ(formatStateDouble(0), "");
    EXPECT_EQ(formatStateDouble(-0.0), "");

    struct ParseDouble {
        const char* text;
        double value;
    } parsedDoubles[] = {
        {"1234.50000", 1234.5}, {".50000", 0.5}, {"", 0}, {"abc", 0}, {"12abc", 12}, {"-3.5", -3.5},
        {"1e5", 1}, {"99999999999999999999999999999999999999999.5", 1e41},
    };
    for (const ParseDouble& c : parsedDoubles) EXPECT_DOUBLE_EQ(parseStateDouble(c.text), c.value) << c.text;

    struct IntCase {
        const char* text;
        int32_t value;
    } ints[] = {
        {"300", 300}, {"-5", -5}, {"+7", 7}, {"", 0}, {"abc", 0}, {"12x", 12}, {" 4", 4},
        {"2147483648", INT32_MIN}, {"4294967297", 1}, {"-", 0},
    };
    for (const IntCase& c : ints) EXPECT_EQ(parseStateInt(c.text), c.value) << c.text;

    EXPECT_EQ(parseStateUInt64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseStateUInt64("18446744073709551616"), 0u);
    EXPECT_EQ(parseStateUInt64("-1"), UINT64_MAX);
    EXPECT_EQ(parseStateUInt64("512000"), 512000u);
    EXPECT_EQ(formatStateUInt64(UINT64_MAX), "18446744073709551615");
}

TEST(StateMap, SectionsExchangeEveryTypeBothWays) {
    int32_t i = -42;
    uint32_t u = 4294967295u;
    bool b = true;
    uint64_t u64 = 5000000000ull;
    int64_t s64 = -1;
    double d = 0.5;
    std::string t = "a:b c";

    StateMap map;
    StateSection store(map, StateDirection::Store);
    store.setSection("Sec");
    store.exchangeInt("I", i);
    store.exchangeUInt("U", u);
    store.exchangeBool("B", b);
    store.exchangeUInt64("U64", u64);
    store.exchangeUInt64("S64", s64);
    store.exchangeDouble("D", d);
    store.exchangeText("T", t);
    std::string text;
    ASSERT_TRUE(writeStateText(map, text));
    EXPECT_EQ(text, "Dorimel:500\nSec-B:1\nSec-D:.50000\nSec-I:-42\nSec-S64:18446744073709551615\n"
                    "Sec-T:a:b c\nSec-U:-1\nSec-U64:5000000000\n\0"s);

    StateMap loaded = parse(text);
    StateSection load(loaded, StateDirection::Load);
    load.setSection("Sec");
    int32_t i2 = 0; uint32_t u2 = 0; bool b2 = false; uint64_t u642 = 0; int64_t s642 = 0;
    double d2 = 0; std::string t2;
    load.exchangeInt("I", i2);
    load.exchangeUInt("U", u2);
    load.exchangeBool("B", b2);
    load.exchangeUInt64("U64", u642);
    load.exchangeUInt64("S64", s642);
    load.exchangeDouble("D", d2);
    load.exchangeText("T", t2);
    EXPECT_EQ(i2, i); EXPECT_EQ(u2, u); EXPECT_EQ(b2, b); EXPECT_EQ(u642, u64); EXPECT_EQ(s642, s64);
    EXPECT_EQ(d2, d); EXPECT_EQ(t2, t);

    // Missing keys overwrite with 0, false and the empty text.
    load.setSection("Other");
    load.exchangeInt("I", i2);
    load.exchangeBool("B", b2);
    load.exchangeText("T", t2);
    load.exchangeUInt64("S64", s642);
    EXPECT_EQ(i2, 0); EXPECT_FALSE(b2); EXPECT_EQ(t2, ""); EXPECT_EQ(s642, 0);
}

}  // namespace
