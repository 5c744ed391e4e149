// The new-download dialog's window-free rules: the URL cut out of clipboard
// text, the speed-limit box, the folder history and folder creation.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/new_download_rules.h"

TEST(ClipboardUrl, CutsTheUrlOutOfTheFirstLine) {
    struct Case {
        std::string clipboard, url;
    };
    const Case cases[] = {
        {"see http://example.test/a/b.zip for the file", "http://example.test/a/b.zip"},
        {"get ftp://files.test/pub/x.tar.gz now", "ftp://files.test/pub/x.tar.gz"},
        {"http://h/x?a=1&b=2#frag", "http://h/x?a=1&b=2"},
        {"http://h/a.zip\r\nhttp://h/second.zip", "http://h/a.zip"},
        {"first line\nhttp://h/second.zip", "http://first"},
        {"example.test/dir/file.bin", "http://example.test/dir/file.bin"},
        {"HTTP://upper.test/x",
         "http://HTTP://upper.test/x"},          // the scheme search is case-sensitive
        {"ftp://f/a http://h/b", "http://h/b"},  // http:// wins wherever it is
        {"http://h/\x83\x41.zip", "http://h/"},  // a double-byte character ends it
        {"http://h/~u/(1)_x-y!*';:@&=+$,%20", "http://h/~u/(1)_x-y!*';:@&=+$,%20"},
        {"", "http://"},
    };
    for (const Case& c : cases) EXPECT_EQ(urlFromClipboardText(c.clipboard), c.url) << c.clipboard;
}

TEST(ClipboardUrl, LongTextsAreIgnoredOrNotPrefixed) {
    EXPECT_EQ(urlFromClipboardText("http://h/" + std::string(502, 'a')),
              "http://h/" + std::string(502, 'a'));
    EXPECT_EQ(urlFromClipboardText("http://h/" + std::string(503, 'a')), "");  // 512 bytes
    EXPECT_EQ(urlFromClipboardText(std::string(503, 'b')), "http://" + std::string(503, 'b'));
    EXPECT_EQ(urlFromClipboardText(std::string(504, 'b')), "");  // too long to prefix
}

TEST(ClipboardUrl, HttpsCountsLikeHttpOnlyWhenOn) {
    const std::string text = "see https://h/a.zip or http://h/b.zip";
    EXPECT_EQ(urlFromClipboardText(text), "http://h/b.zip");
    EXPECT_EQ(urlFromClipboardText(text, true), "https://h/a.zip");
    EXPECT_EQ(urlFromClipboardText("ftp://h/c https://h/d", true), "https://h/d");
    EXPECT_EQ(urlFromClipboardText("h/e", true), "http://h/e");
}

TEST(SpeedLimitBox, CountsOnlyNonZeroDigitStringsUpTo31Characters) {
    struct Case {
        std::string text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {
        {"150", true, 150},
        {"0007", true, 7},
        {"0", false, 0},
        {"000", false, 0},
        {"", false, 0},
        {"12k", false, 0},
        {" 12", false, 0},
        {"-5", false, 0},
        {std::string(31, '1'), true, INT32_MAX},
        {std::string(32, '1'), false, 0},
        {"2147483647", true, INT32_MAX},
        {"2147483648", true, INT32_MAX},
    };
    for (const Case& c : cases) {
        int32_t value = -1;
        EXPECT_EQ(parseSpeedLimit(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : -1) << c.text;
    }
}

TEST(FolderHistory, DropsOnlyNeighbouringRepeatsAndEmptyItems) {
    using List = std::vector<std::string>;
    // Keeping the folder listed first: it is written once, at the front.
    EXPECT_EQ(folderHistory("C:\\a\\", {"C:\\a\\", "C:\\b\\"}), (List{"C:\\a\\", "C:\\b\\"}));
    // A folder from further down: at the front and at its old place.
    EXPECT_EQ(folderHistory("C:\\c\\", {"C:\\a\\", "", "C:\\b\\", "C:\\c\\"}),
              (List{"C:\\c\\", "C:\\a\\", "C:\\b\\", "C:\\c\\"}));
    // The comparison is exact: a change of case is another element.
    EXPECT_EQ(folderHistory("C:\\A\\", {"C:\\a\\"}), (List{"C:\\A\\", "C:\\a\\"}));
    List many(200, "");
    for (size_t i = 0; i < many.size(); ++i) many[i] = "C:\\d" + std::to_string(i) + "\\";
    EXPECT_EQ(folderHistory("C:\\x\\", many).size(), kMaxFolderHistory);
}

namespace {
class FakeFolders : public FolderMaker {
  public:
    std::set<std::string> folders;
    std::set<std::string> refused;
    std::vector<std::string> created;
    bool isFolder(const std::string& path) override { return folders.count(path) != 0; }
    bool createFolder(const std::string& path) override {
        if (refused.count(path) || folders.count(path)) return false;
        created.push_back(path);
        folders.insert(path);
        return true;
    }
};
}  // namespace

TEST(FolderCreation, CreatesEveryMissingParentThenTheFolder) {
    FakeFolders fs;
    fs.folders = {"C:\\", "C:\\dl\\"};
    ASSERT_TRUE(createFolderWithParents("C:\\dl\\new\\deeper", fs));
    EXPECT_EQ(fs.created, (std::vector<std::string>{"C:\\dl\\new\\", "C:\\dl\\new\\deeper"}));

    FakeFolders existing;
    existing.folders = {"C:\\dl"};
    EXPECT_TRUE(createFolderWithParents("C:\\dl", existing));
    EXPECT_TRUE(existing.created.empty());

    FakeFolders refused;
    refused.folders = {"C:\\"};
    refused.refused = {"C:\\locked\\"};
    EXPECT_FALSE(createFolderWithParents("C:\\locked\\x", refused));
    EXPECT_TRUE(refused.created.empty());

    FakeFolders tooLong;
    EXPECT_FALSE(createFolderWithParents("C:\\" + std::string(258, 'x'), tooLong));
    EXPECT_TRUE(tooLong.created.empty());
}

TEST(FolderCreation, NetworkRootIsNotCreatedAndDoubleByteBackslashIsNoSeparator) {
    FakeFolders net;
    ASSERT_TRUE(createFolderWithParents("\\\\server\\share\\dl\\x", net));
    EXPECT_EQ(net.created,
              (std::vector<std::string>{"\\\\server\\share\\dl\\", "\\\\server\\share\\dl\\x"}));

    // 0x95 0x5C is one Shift-JIS character whose second byte is "\".
    CodePageKind saved = currentCodePage();
    setCodePage(CODE_PAGE_932);
    FakeFolders sjis;
    sjis.folders = {"C:\\"};
    ASSERT_TRUE(createFolderWithParents("C:\\\x95\x5C\\y", sjis));
    EXPECT_EQ(sjis.created, (std::vector<std::string>{"C:\\\x95\x5C\\", "C:\\\x95\x5C\\y"}));
    setCodePage(saved);
}
