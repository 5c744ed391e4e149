// The text rules of the HTTP exchange and of target file names: status line,
// Content-Range, Content-Disposition, page extensions, name cleaning and the
// unique-name rule.
#include <gtest/gtest.h>

#include <set>

#include "foundation/code_page.h"
#include "protocol/http_header.h"

TEST(HttpHeaderTest, ReadsStatusLines) {
    struct Case {
        const char* line;
        int version;
        int status;
    } cases[] = {
        {"HTTP/1.0 200 OK", 0x10000, 200},
        {"HTTP/1.1 206 Partial Content", 0x10001, 206},
        {"HTTP/1.0 404", 0x10000, 404},
        {"HTTP/1.0 30", 0x10000, 30},
        {"ICY 200 OK", 9, 0},
        {"HTTP/1.0200OK", 0, 0},   // no space before the code: unreadable
        {"HTTP/10 200 OK", 0, 0},  // no "." between the numbers
        {"", 9, 0},
    };
    for (const Case& c : cases) {
        StatusLine line = parseStatusLine(c.line);
        EXPECT_EQ(line.status, c.status) << c.line;
        if (c.status) {
            EXPECT_EQ(line.version, c.version) << c.line;
        }
    }
}

TEST(HttpHeaderTest, ReadsContentRangeAndLengths) {
    uint64_t start = 9, total = 9;
    EXPECT_TRUE(parseContentRange("bytes 100-199/1000", start, total));
    EXPECT_EQ(start, 100u);
    EXPECT_EQ(total, 1000u);
    EXPECT_TRUE(parseContentRange("bytes 5-", start, total));
    EXPECT_EQ(start, 5u);
    EXPECT_EQ(total, 0u);
    EXPECT_TRUE(parseContentRange("bytes 18446744073709551614-18446744073709551614/18446744073709551615", start, total));
    EXPECT_EQ(start, 18446744073709551614u);
    EXPECT_FALSE(parseContentRange("bytes */1000", start, total));
    EXPECT_EQ(start, 0u);
    EXPECT_FALSE(parseContentRange("nonsense", start, total));

    int64_t value = 0;
    EXPECT_TRUE(parseDecimal64("  12345", value));
    EXPECT_EQ(value, 12345);
    EXPECT_TRUE(parseDecimal64("-5", value));
    EXPECT_EQ(value, -5);
    EXPECT_FALSE(parseDecimal64("abc", value));
    EXPECT_FALSE(parseDecimal64("99999999999999999999", value));
}

TEST(HttpHeaderTest, TakesTheFileNameOfContentDisposition) {
    struct Case {
        const char* value;
        const char* name;  // null: none
    } cases[] = {
        {"attachment; filename=\"a b.zip\"", "a b.zip"},
        {"attachment; filename=plain.bin; size=3", "plain.bin"},
        {"Attachment; FILENAME=Upper.ZIP", "Upper.ZIP"},
        {"inline;filename=x.txt\r", "x.txt"},
        {"attachment; filename=\"unterminated", "unterminated"},
        {"attachment; filename =spaced", nullptr},
        {"attachment; filename*=UTF-8''x", nullptr},
        {"form-data; filename=y.bin", nullptr},
        {"attachment", nullptr},
    };
    for (const Case& c : cases) {
        std::string name;
        bool found = dispositionFileName(c.value, name);
        EXPECT_EQ(found, c.name != nullptr) << c.value;
        if (c.name) {
            EXPECT_EQ(name, c.name) << c.value;
        }
    }
}

TEST(HttpHeaderTest, KnowsPageExtensions) {
    EXPECT_EQ(pathExtension("dir/a.b/file.tar.gz"), ".gz");
    EXPECT_EQ(pathExtension("README"), "");
    EXPECT_EQ(pathExtension("a.b\\c"), "");
    for (const char* page : {".html", ".HTM", ".shtml", ".txt", ".pl", ".asp", ".cgi"})
        EXPECT_TRUE(isPageExtension(page)) << page;
    for (const char* file : {".zip", ".text", ".php", "", ".exe"}) EXPECT_FALSE(isPageExtension(file)) << file;
}

TEST(HttpHeaderTest, CleansFileNamesIntoSafeNames) {
    setCodePage(CODE_PAGE_UTF8);
    struct Case {
        const char* name;
        const char* clean;
    } cases[] = {
        {"a:b*c?d\"e<f>g|h\\i", "abcdefghi"},
        {"dir/sub/file.txt", "dir-sub-file.txt"},
        {"", "unknown"},
        {"\"\"", "unknown"},
        {".", "unknown"},
        {"..", "unknown"},
        {". . .", "unknown"},
        {"name. ", "name"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"com1.log", "_com1.log"},
        {"LPT9", "_LPT9"},
        {"console.txt", "console.txt"},
        {"tab\there", "tabhere"},
        {"日本語.zip", "日本語.zip"},
    };
    for (const Case& c : cases) EXPECT_EQ(cleanFileName(c.name), c.clean) << c.name;
    // In Shift-JIS the second byte of a character may be "\" or "|": kept.
    setCodePage(CODE_PAGE_932);
    EXPECT_EQ(cleanFileName("\x83\x5C\x83\x7C.txt"), "\x83\x5C\x83\x7C.txt");
    EXPECT_EQ(cleanFileName("a\\b"), "ab");
    setCodePage(CODE_PAGE_UTF8);
}

TEST(HttpHeaderTest, InsertsACounterBeforeTheExtensionUntilTheNameIsFree) {
    std::set<std::string> taken = {"/d/a.zip", "/d/a[1].zip", "/d/README", "/d/a.zip.dorimelt"};
    auto exists = [&](const std::string& path) { return taken.count(path) != 0; };
    EXPECT_EQ(uniquePath("/d/a.zip", exists), "/d/a[2].zip");
    EXPECT_EQ(uniquePath("/d/README", exists), "/d/README[1]");
    EXPECT_EQ(uniquePath("/d/a.zip.dorimelt", exists), "/d/a.zip[1].dorimelt");
    EXPECT_EQ(uniquePath("/d/free.bin", exists), "/d/free.bin");
}
