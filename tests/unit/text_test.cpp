// Text and code-page stepping: the inline/heap boundary, copies that survive
// aliasing, and the multi-byte rules of trimming, backslashes and searches in
// Shift-JIS (code page 932) and UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "foundation/code_page.h"
#include "foundation/text.h"

namespace {

// Sets the code page for one test and restores single-byte afterwards.
class CodePageScope {
public:
    explicit CodePageScope(CodePageKind kind) { setCodePage(kind); }
    ~CodePageScope() { setCodePage(CODE_PAGE_SINGLE_BYTE); }
};

// Shift-JIS characters whose second byte is "\" (0x5C): 表 and ソ.
const char kSjisHyou[] = "\x95\x5C";
const char kSjisSo[] = "\x83\x5C";

}  // namespace

TEST(Text, KeepsUpTo22BytesInlineAndMovesLongerTextsToTheHeap) {
    Text t(std::string(22, 'a'));
    EXPECT_TRUE(t.isInline());
    t.append('b');
    EXPECT_FALSE(t.isInline());
    EXPECT_EQ(t.str(), std::string(22, 'a') + "b");

    Text direct(std::string(23, 'x'));
    EXPECT_FALSE(direct.isInline());
    EXPECT_EQ(direct.length(), 23u);

    Text reserved;
    reserved.reserve(23);
    EXPECT_TRUE(reserved.isInline());
    reserved.reserve(24);
    EXPECT_FALSE(reserved.isInline());
}

TEST(Text, CopiesMovesAndSelfAppendsKeepTheCharacters) {
    for (size_t length : {5u, 22u, 23u, 40u}) {
        const std::string s(length, 'q');
        Text a(s);
        Text b(a);
        Text c;
        c = a;
        Text d(std::move(b));
        EXPECT_EQ(d.str(), s);
        EXPECT_TRUE(b.empty());
        Text e;
        e = std::move(c);
        EXPECT_EQ(e.str(), s);
        a.append(a);  // the source is the growing buffer itself
        EXPECT_EQ(a.str(), s + s);
        a.assign(a.c_str() + 1, 3);  // the source lies inside the text
        EXPECT_EQ(a.str(), "qqq");
    }
    Text x("ab");
    Text y = x + "cd";
    EXPECT_EQ(y, "abcd");
    EXPECT_EQ(x + y, "ababcd");
    EXPECT_NE(x, y);
}

TEST(Text, ReserveLetsACallerWriteIntoTheBufferAndRefreshTheLength) {
    Text t("old");
    char* buffer = t.reserve(100);
    std::string fill(60, 'z');
    fill.copy(buffer, fill.size());
    buffer[fill.size()] = '\0';
    t.refreshLength();
    EXPECT_EQ(t.length(), 60u);
    EXPECT_EQ(t.str(), fill);
}

TEST(Text, LoadStringReadsTheTableAndFailsForMissingEntries) {
    Text t("before");
    EXPECT_TRUE(t.loadString(88));
    EXPECT_EQ(t, "コマンドラインエラー");
    EXPECT_FALSE(t.isInline());
    EXPECT_FALSE(t.loadString(4));
    EXPECT_TRUE(t.empty());
}

TEST(Text, TrimRemovesBlanksOnBothSidesOnly) {
    CodePageScope sjis(CODE_PAGE_932);
    Text t(std::string(" \t") + kSjisHyou + " a " + kSjisSo + "\r\n ");
    t.trim();
    EXPECT_EQ(t.str(), std::string(kSjisHyou) + " a " + kSjisSo);
    Text blank("  \t ");
    blank.trim();
    EXPECT_TRUE(blank.empty());
}

TEST(Text, StripTrailingBackslashFollowsTheDoubleByteRuleInCodePage932) {
    CodePageScope sjis(CODE_PAGE_932);
    struct Case {
        std::string in, out;
    } cases[] = {
        {"C:\\dl\\", "C:\\dl"},
        {"C:\\dl\\\\", "C:\\dl\\"},  // one only
        {"C:\\dl", "C:\\dl"},
        {std::string("C:\\") + kSjisHyou, std::string("C:\\") + kSjisHyou},  // second byte of 表
        {"C:\\\xB1\\", "C:\\\xB1\\"},  // after a byte with the high bit set the "\" stays
        {"\\", ""},
    };
    for (const Case& c : cases) {
        Text t(c.in);
        t.stripTrailingBackslash();
        EXPECT_EQ(t.str(), c.out) << c.in;
    }
}

TEST(Text, StripTrailingBackslashInUtf8RemovesItAfterAnyCharacter) {
    CodePageScope utf8(CODE_PAGE_UTF8);
    Text t("C:\\日本\\");
    t.stripTrailingBackslash();
    EXPECT_EQ(t, "C:\\日本");
}

TEST(Text, AddBackslashLooksAtTheLastWholeCharacter) {
    CodePageScope sjis(CODE_PAGE_932);
    Text hyou(std::string("C:\\") + kSjisHyou);
    hyou.addBackslash();
    EXPECT_EQ(hyou.str(), std::string("C:\\") + kSjisHyou + "\\");
    Text done("C:\\dl\\");
    done.addBackslash();
    EXPECT_EQ(done, "C:\\dl\\");
    Text empty;
    empty.addBackslash();
    EXPECT_TRUE(empty.empty());
    Text tooLong(std::string(260, 'a'));
    tooLong.addBackslash();
    EXPECT_EQ(tooLong.length(), 260u);
    Text slash("/home/u");
    slash.addSeparator('/');
    EXPECT_EQ(slash, "/home/u/");
}

TEST(Text, AfterLastStepsOverDoubleByteCharacters) {
    {
        CodePageScope sjis(CODE_PAGE_932);
        Text t(std::string("C:\\dl\\a") + kSjisSo + "b");
        t.afterLast('\\');
        EXPECT_EQ(t.str(), std::string("a") + kSjisSo + "b");
        Text none("abc");
        none.afterLast('/');
        EXPECT_TRUE(none.empty());
    }
    // The same bytes read as single-byte text end at the trail byte.
    Text t(std::string("C:\\dl\\a") + kSjisSo + "b");
    t.afterLast('\\');
    EXPECT_EQ(t, "b");
}

TEST(CodePage, Utf8StepsByWholeSequencesAndNeverPastBrokenOnes) {
    CodePageScope utf8(CODE_PAGE_UTF8);
    EXPECT_EQ(charLength("日本"), 3u);
    EXPECT_EQ(charLength("é"), 2u);
    EXPECT_EQ(charLength("\xF0\x9F\x98\x80"), 4u);
    EXPECT_EQ(charLength("\xE6\x97"), 1u);    // cut short by the terminator
    EXPECT_EQ(charLength("\xE6" "a\\"), 1u);  // not followed by continuation bytes
    EXPECT_EQ(charLength(""), 0u);
    const char text[] = "\xE6\x97\xA5";
    EXPECT_EQ(charLength(text, text + 2), 1u);  // bounded text ends mid-sequence
    // "\" following Japanese text is found, "日本" contains no 0x5C anyway,
    // but Shift-JIS stepping by two would skip it.
    const char* path = "a\\日\\b";
    EXPECT_EQ(findLastChar(path, '\\'), path + 5);
}

TEST(CodePage, ShiftJisLeadBytesAndTheirSecondByte) {
    CodePageScope sjis(CODE_PAGE_932);
    EXPECT_TRUE(isLeadByte(0x81));
    EXPECT_TRUE(isLeadByte(0x9F));
    EXPECT_TRUE(isLeadByte(0xE0));
    EXPECT_TRUE(isLeadByte(0xFC));
    EXPECT_FALSE(isLeadByte(0xA0));
    EXPECT_FALSE(isLeadByte(0xB1));  // half-width katakana are single bytes
    EXPECT_FALSE(isLeadByte(0xFD));
    EXPECT_EQ(charLength("\x95"), 1u);  // a lead byte before the terminator
    EXPECT_EQ(findChar(kSjisHyou, '\\'), nullptr);
}

TEST(CodePage, OtherDoubleByteCodePagesUseThePlatformTest) {
    setCodePage(CODE_PAGE_DOUBLE_BYTE, [](unsigned char b) { return b == 0xA1; });
    EXPECT_EQ(charLength("\xA1\x5C"), 2u);
    EXPECT_EQ(charLength("\x95\x5C"), 1u);
    setCodePage(CODE_PAGE_DOUBLE_BYTE, nullptr);  // without a test: single-byte
    EXPECT_EQ(currentCodePage(), CODE_PAGE_SINGLE_BYTE);
}

TEST(Text, IsValidFolderPath) {
    struct Case {
        const char* path;
        bool valid;
    } cases[] = {
        {"C:\\dl", true},        {"\\\\server\\share", true}, {"c:", true},
        {"C:\\", true},          {"C:dl", false},             {"dl", false},
        {"C:\\a\\\\b", false},   {"C:\\a;b", false},          {"C", false},
        {"", false},             {"\\\\\\server", false},     {"C:\\a,b", false},
        {"C:\\a*", false},       {"C:\\a?", false},           {"C:\\\"a", false},
        {"C:\\a<b>", false},     {"C:\\a|b", false},          {"1:\\a", false},
        {"\\single", false},     {"C:\\a\\", true},
    };
    for (const Case& c : cases) EXPECT_EQ(Text(c.path).isValidFolderPath(), c.valid) << c.path;

    CodePageScope sjis(CODE_PAGE_932);
    // 表 followed by "\": the 0x5C inside 表 does not make a "\\" pair.
    EXPECT_TRUE(Text(std::string("C:\\") + kSjisHyou + "\\x").isValidFolderPath());
}
