// The options file: private-profile read semantics, writes that keep every
// line they do not own, safe replacement, and the options-file path rule.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "foundation/code_page.h"
#include "app/options_file.h"

namespace {

class OptionsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dorimel-options-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/dorimel.ini";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    void writeFile(const std::string& contents) {
        std::ofstream(path_, std::ios::binary) << contents;
    }
    std::string readFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int filesInDir() const {
        int n = 0;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
        return n;
    }

    std::string dir_;
    std::string path_;
};

}  // namespace

TEST_F(OptionsFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    OptionsFile options(path_);
    EXPECT_EQ(options.readInt("MainOptions", "Timeout", 300), 300);
    EXPECT_EQ(options.readText("DefaultValues", "Proxy"), "");
    EXPECT_EQ(options.readText("DefaultValues", "Proxy", "p:8080"), "p:8080");
    writeFile("[MainOptions]\nFlags=3\n");
    EXPECT_EQ(options.readInt("MainOptions", "Timeout", 300), 300);
    EXPECT_EQ(options.readInt("Other", "Flags", 7), 7);
    EXPECT_EQ(options.readInt("MainOptions", "Flags", 7), 3);
}

TEST_F(OptionsFileTest, SectionsAndKeysIgnoreCaseAndBlanks) {
    writeFile("; comment=1\r\n[ mainoptions ]\r\n  TIMEOUT = 45 \r\n[DefaultValues]\r\nproxy =  host:8080  \r\n");
    OptionsFile options(path_);
    EXPECT_EQ(options.readInt("MainOptions", "Timeout", 300), 45);
    EXPECT_EQ(options.readText("DEFAULTVALUES", "Proxy"), "host:8080");
    EXPECT_EQ(options.readText("", "; comment"), "");
}

TEST_F(OptionsFileTest, IntegersComeFromTheLeadingDigits) {
    writeFile(
        "[S]\nabc=abc\nunit=30s\nneg=-5\nplus=+7\nempty=\nbig=4294967297\nquoted=\"12\"\nmixed=1x2\n"
        "first=1\nfirst=2\n");
    OptionsFile options(path_);
    struct Case {
        const char* key;
        int32_t expected;
    } cases[] = {{"abc", 0}, {"unit", 30}, {"neg", -5}, {"plus", 7}, {"empty", 99},
                 {"big", 1}, {"quoted", 12}, {"mixed", 1}, {"first", 1}};
    for (const Case& c : cases) EXPECT_EQ(options.readInt("S", c.key, 99), c.expected) << c.key;
}

TEST_F(OptionsFileTest, TextsLoseOnePairOfQuotesAndAreCutTo4095Bytes) {
    setCodePage(CODE_PAGE_UTF8);
    std::string twoByte;
    for (int i = 0; i < 2100; ++i) twoByte += "é";
    writeFile("[S]\nq=\"C:\\dl\\\"\nsingle='x'\nodd=\"x'\nlong=" + std::string(5000, 'a') + "\nwide=" +
              twoByte + "\n");
    OptionsFile options(path_);
    EXPECT_EQ(options.readText("S", "q"), "C:\\dl\\");
    EXPECT_EQ(options.readText("S", "single"), "x");
    EXPECT_EQ(options.readText("S", "odd"), "\"x'");
    EXPECT_EQ(options.readText("S", "long"), std::string(4095, 'a'));
    // 4095 would split a two-byte character: the cut moves before it.
    EXPECT_EQ(options.readText("S", "wide").size(), 4094u);
    setCodePage(CODE_PAGE_SINGLE_BYTE);
}

TEST_F(OptionsFileTest, WritesKeepUnknownLinesAndTheFileLineBreaks) {
    const std::string original =
        "; user notes\r\n"
        "[MainOptions]\r\n"
        "Flags=1\r\n"
        "MyOwnKey=keep me\r\n"
        "\r\n"
        "[Unknown]\r\n"
        "x=1\r\n";
    writeFile(original);
    OptionsFile options(path_);
    ASSERT_TRUE(options.writeInt("mainoptions", "FLAGS", -5));
    ASSERT_TRUE(options.writeText("MainOptions", "ScrollLock", "1"));
    ASSERT_TRUE(options.writeText("DefaultValues", "DestDir", "C:\\dl\\"));
    EXPECT_EQ(readFile(),
              "; user notes\r\n"
              "[MainOptions]\r\n"
              "FLAGS=-5\r\n"
              "MyOwnKey=keep me\r\n"
              "ScrollLock=1\r\n"
              "\r\n"
              "[Unknown]\r\n"
              "x=1\r\n"
              "[DefaultValues]\r\n"
              "DestDir=C:\\dl\\\r\n");
    EXPECT_EQ(options.readInt("MainOptions", "Flags", 0), -5);
    EXPECT_EQ(filesInDir(), 1);  // no temporary file left behind
}

TEST_F(OptionsFileTest, WritesCreateTheFileAndFollowUnixLineBreaks) {
    OptionsFile options(path_);
    ASSERT_TRUE(options.writeInt("TargetDirs", "DirCount", 2));
    ASSERT_TRUE(options.writeText("TargetDirs", "Dir0", "C:\\a\\"));
    EXPECT_EQ(readFile(), "[TargetDirs]\r\nDirCount=2\r\nDir0=C:\\a\\\r\n");

    writeFile("[A]\nk=1");  // no line break at the end
    ASSERT_TRUE(options.writeText("A", "n", "2"));
    ASSERT_TRUE(options.writeText("B", "m", "3"));
    EXPECT_EQ(readFile(), "[A]\nk=1\nn=2\n[B]\nm=3\n");
}

TEST_F(OptionsFileTest, RefusedWritesLeaveTheFileAlone) {
    const std::string original = "[MainOptions]\nScrollLock=0\n";
    writeFile(original);
    OptionsFile options(path_);
    EXPECT_FALSE(options.writeText("MainOptions", "ScrollLock", "1\n[Evil]"));
    EXPECT_FALSE(options.writeText("MainOptions", "a=b", "1"));
    EXPECT_FALSE(options.writeText("Main]Options", "a", "1"));
    EXPECT_FALSE(options.writeText("MainOptions", "", "1"));
    EXPECT_FALSE(options.writeText("MainOptions", nullptr, "1"));
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    EXPECT_FALSE(options.writeInt("MainOptions", "ScrollLock", 1));
    EXPECT_EQ(readFile(), original);
    EXPECT_EQ(filesInDir(), 1);

    OptionsFile nowhere(dir_ + "/missing/dorimel.ini");
    EXPECT_FALSE(nowhere.writeInt("MainOptions", "ScrollLock", 1));

    // Something that exists but cannot be read as the file is never replaced.
    const std::string folder = dir_ + "/folder.ini";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    OptionsFile unreadable(folder);
    EXPECT_FALSE(unreadable.writeInt("MainOptions", "ScrollLock", 1));
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(OptionsFileTest, WritesKeepThePermissionsOfTheFile) {
    writeFile("[S]\nk=1\n");
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
    OptionsFile options(path_);
    ASSERT_TRUE(options.writeInt("S", "k", 2));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(OptionsFileTest, WritesThroughASymbolicLinkKeepTheLink) {
    const std::string target = dir_ + "/real.ini";
    std::ofstream(target, std::ios::binary) << "[S]\nk=1\n";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    OptionsFile options(path_);
    ASSERT_TRUE(options.writeInt("S", "k", 2));
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(), "[S]\nk=2\n");
}

TEST(OptionsPath, ReplacesTheExtensionOfTheModuleName) {
    struct Case {
        const char* module;
        const char* ini;
    } cases[] = {
        {"C:\\Tools\\dorimel.exe", "C:\\Tools\\dorimel.ini"},
        {"C:\\Tools\\x.y.exe", "C:\\Tools\\x.y.ini"},
        {"/opt/dorimel/dorimel", "/opt/dorimel/dorimel.ini"},
        {"/opt/x.y/dorimel", "/opt/x.y/dorimel.ini"},  // a dot in a folder does not count
        {"C:\\a.b\\prog", "C:\\a.b\\prog.ini"},
        {"dorimel", "dorimel.ini"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(optionsPathForModule(c.module), c.ini) << c.module;

    // In code page 932 the 0x5C of 表 is no folder separator: the dot before it
    // belongs to the file name.
    setCodePage(CODE_PAGE_932);
    EXPECT_EQ(optionsPathForModule("C:\\a.\x95\x5C" "b"), "C:\\a.ini");
    setCodePage(CODE_PAGE_SINGLE_BYTE);
    EXPECT_EQ(optionsPathForModule("C:\\a.\x95\x5C" "b"), "C:\\a.\x95\x5C" "b.ini");
}
