// The command-line grammar: every error text with its caption and icon, the
// values of each option, and the hand-over of a temporary download file to its
// loader with the second scan that lets the command line win.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/startup.h"

namespace {

// A Windows-like file system: relative paths live under C:\work\.
class FakeEnvironment : public StartupEnvironment {
public:
    std::set<std::string> folders{"C:\\dl\\", "C:\\work\\dl\\"};
    std::set<std::string> files{"C:\\file.txt", "C:\\job.dorimelt", "C:\\work\\job.dorimelt",
                                "C:\\other.dorimelt", "C:\\locked.dorimelt"};
    std::set<std::string> unreadable{"C:\\locked.dorimelt"};

    bool fullPath(const std::string& path, std::string& full) const override {
        if (path == "bad:") return false;
        full = path.compare(0, 3, "C:\\") == 0 ? path : "C:\\work\\" + path;
        return true;
    }
    bool isFolder(const std::string& path) const override { return folders.count(path) != 0; }
    bool exists(const std::string& path) const override {
        std::string full;
        return fullPath(path, full) && (files.count(full) != 0 || folders.count(full) != 0);
    }
    bool canOpenForReading(const std::string& path) const override {
        std::string full;
        fullPath(path, full);
        return files.count(full) != 0 && unreadable.count(full) == 0;
    }
    char pathSeparator() const override { return '\\'; }
};

using Args = std::vector<std::string>;

const std::string kCommandLineCaption = "コマンドラインエラー";

struct Outcome {
    bool ok;
    AppSettings settings;
    StartupError error;
};

Outcome parse(const Args& args, const TempFileLoader& loader = TempFileLoader()) {
    FakeEnvironment environment;
    Outcome outcome;
    outcome.ok = parseCommandLine(args, outcome.settings, environment, loader, outcome.error);
    return outcome;
}

}  // namespace

TEST(CommandLine, EachErrorHasItsExactTextCaptionAndIcon) {
    struct Case {
        Args args;
        std::string text;
        std::string caption;
    } cases[] = {
        {{"-to"}, "-to の引数がありません", kCommandLineCaption},
        {{"http://h/f", "-rf"}, "-rf の引数がありません", kCommandLineCaption},
        {{"-nd", "yes"}, "-nd の引数が不正です", kCommandLineCaption},
        {{"-sp", ""}, "-sp の引数が不正です", kCommandLineCaption},
        {{"-fs", "2"}, "-fs の引数が不正です", kCommandLineCaption},
        {{"-to", "0"}, "タイムアウト値が不正です。", kCommandLineCaption},
        {{"-to", "abc"}, "タイムアウト値が不正です。", kCommandLineCaption},
        {{"-to", "-30"}, "タイムアウト値が不正です。", kCommandLineCaption},
        {{"-ss", "-5"}, "-ss の引数が不正です", kCommandLineCaption},
        {{"-ss", "0"}, "-ss の引数が不正です", kCommandLineCaption},
        {{"-x"}, "知らないオプションです : -x", kCommandLineCaption},
        {{"-TO", "5"}, "知らないオプションです : -TO", kCommandLineCaption},
        {{"-"}, "知らないオプションです : -", kCommandLineCaption},
        {{"http://a/", "ftp://b/"}, "URLが複数指定されています", kCommandLineCaption},
        {{"-td", "C:\\file.txt"}, "C:\\file.txt\\ は存在しないかフォルダではありません", "エラー"},
        {{"-td", "missing"}, "C:\\work\\missing\\ は存在しないかフォルダではありません", "エラー"},
        {{"-td", "bad:"}, "bad: は存在しないかフォルダではありません", "エラー"},
        {{"HTTP://host/file"}, "ファイルが存在しません。 : HTTP://host/file", kCommandLineCaption},
        {{"-rf", "-to", "5"}, "ファイルが存在しません。 : 5", kCommandLineCaption},
        {{"C:\\locked.dorimelt"}, "ファイルを開けません : C:\\locked.dorimelt", kCommandLineCaption},
        {{"C:\\job.dorimelt"},
         "このファイルは壊れているか、より新しいDorimelにより作成されたファイルです。 : C:\\job.dorimelt",
         kCommandLineCaption},
        // The first error stops the scan.
        {{"-to", "0", "-x"}, "タイムアウト値が不正です。", kCommandLineCaption},
    };
    for (const Case& c : cases) {
        const Outcome outcome = parse(c.args);
        EXPECT_FALSE(outcome.ok) << c.text;
        EXPECT_EQ(outcome.error.text, c.text);
        EXPECT_EQ(outcome.error.caption, c.caption) << c.text;
        EXPECT_EQ(outcome.error.icon, MESSAGE_ICON_ERROR) << c.text;
    }
}

TEST(CommandLine, OptionsTakeTheNextArgumentWhateverItLooksLike) {
    const Outcome outcome = parse({"-rf", "-to", "-sf", "-nd", "ftp://h/f"});
    ASSERT_TRUE(outcome.ok) << outcome.error.text;
    EXPECT_EQ(outcome.settings.InputReferer, "-to");
    EXPECT_EQ(outcome.settings.SoundFile, "-nd");
    EXPECT_EQ(outcome.settings.InputURL, "ftp://h/f");
}

TEST(CommandLine, ValuesOfEveryOption) {
    const Outcome on = parse({"-rf", "http://page/", "-to", "30s", "-fs", "1", "-sf", "C:\\done.wav", "-ap",
                              "me@", "-pr", "proxy:8080", "-ic", "1", "-ac", "1", "-pn", "1", "-td", "dl", "-sp",
                              "1", "-sl", "1", "-nr", "1", "-ie", "1", "-rn", "1", "-ss", "120", "-nd", "1xyz",
                              "-iw", "1", "-ar", "1", "-ik", "1", "xhttp://h/f"});
    ASSERT_TRUE(on.ok) << on.error.text;
    const AppSettings& s = on.settings;
    EXPECT_EQ(s.InputReferer, "http://page/");
    EXPECT_EQ(s.Timeout, 30);
    EXPECT_EQ(s.SoundOnF, 2);
    EXPECT_EQ(s.SoundFile, "C:\\done.wav");
    EXPECT_EQ(s.AnonyPass, "me@");
    EXPECT_EQ(s.Proxy, "proxy:8080");
    EXPECT_TRUE(s.UseIECache);
    EXPECT_TRUE(s.CloseAtEnd);
    EXPECT_EQ(s.DstDir, "C:\\work\\dl\\");
    EXPECT_EQ(s.downloadOptions.flags, 0x3Fu);
    EXPECT_EQ(s.downloadOptions.speedLimit, 120);
    EXPECT_TRUE(s.NoDialog);
    EXPECT_TRUE(s.IgnoreSFW);
    EXPECT_TRUE(s.AutoRename);
    EXPECT_TRUE(s.UseIECookie);
    EXPECT_EQ(s.InputURL, "xhttp://h/f");  // "http://" anywhere makes a URL
    EXPECT_FALSE(s.resuming);

    AppSettings preset;
    preset.downloadOptions.flags = 0xFF;  // bits the command line does not own stay
    preset.UseIECache = preset.CloseAtEnd = preset.NoDialog = true;
    FakeEnvironment environment;
    StartupError error;
    ASSERT_TRUE(parseCommandLine({"-pn", "0", "-sp", "0", "-sl", "0abc", "-nr", "0", "-ie", "0", "-rn", "0", "-ic",
                                  "0", "-ac", "0", "-nd", "0", "-fs", "0"},
                                 preset, environment, TempFileLoader(), error));
    EXPECT_EQ(preset.downloadOptions.flags, 0xC0u);
    EXPECT_FALSE(preset.UseIECache || preset.CloseAtEnd || preset.NoDialog);
    EXPECT_EQ(preset.SoundOnF, 0);
}

TEST(CommandLine, TheLastOfARepeatedOptionWins) {
    const Outcome outcome = parse({"-to", "5", "-pr", "a", "-to", "7", "-pr", "b", "-td", "C:\\dl\\", "-nd", "1",
                                   "-nd", "0"});
    ASSERT_TRUE(outcome.ok) << outcome.error.text;
    EXPECT_EQ(outcome.settings.Timeout, 7);
    EXPECT_EQ(outcome.settings.Proxy, "b");
    EXPECT_EQ(outcome.settings.DstDir, "C:\\dl\\");  // no second backslash
    EXPECT_FALSE(outcome.settings.NoDialog);
}

TEST(CommandLine, ValuesBeyond32BitsSaturate) {
    const Outcome outcome = parse({"-to", "99999999999", "-ss", "2147483648"});
    ASSERT_TRUE(outcome.ok) << outcome.error.text;
    EXPECT_EQ(outcome.settings.Timeout, 2147483647);
    EXPECT_EQ(outcome.settings.downloadOptions.speedLimit, 2147483647);
    EXPECT_FALSE(parse({"-to", "-99999999999"}).ok);
}

TEST(CommandLine, ALoadedTemporaryFileIsOverriddenByTheCommandLineWherever) {
    int loads = 0;
    std::string loadedArgument;
    const TempFileLoader loader = [&](const std::string& argument, AppSettings& settings) {
        ++loads;
        loadedArgument = argument;
        settings.Timeout = 99;  // as the file's "App" record says
        settings.Proxy = "fromfile";
        settings.NoDialog = false;
        return TempFileLoadResult{true, ""};
    };
    const Outcome outcome =
        parse({"-to", "60", "http://h/f", "job.dorimelt", "C:\\other.dorimelt", "missing.dorimelt"}, loader);
    ASSERT_TRUE(outcome.ok) << outcome.error.text;
    EXPECT_EQ(loads, 1);  // later temporary-file paths are ignored, even missing ones
    EXPECT_EQ(loadedArgument, "job.dorimelt");
    EXPECT_EQ(outcome.settings.Timeout, 60);
    EXPECT_EQ(outcome.settings.Proxy, "fromfile");
    EXPECT_EQ(outcome.settings.InputURL, "http://h/f");
    EXPECT_TRUE(outcome.settings.NoDialog);
    EXPECT_TRUE(outcome.settings.resuming);
    EXPECT_EQ(outcome.settings.tempFilePath, "C:\\work\\job.dorimelt");
}

TEST(CommandLine, AUrlBesideAFileThatCarriesOneIsRefused) {
    const TempFileLoader loader = [](const std::string&, AppSettings& settings) {
        settings.InputURL = "http://loaded/f";
        return TempFileLoadResult{true, ""};
    };
    const Outcome outcome = parse({"http://h/f", "C:\\job.dorimelt"}, loader);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error.text, "URLが複数指定されています");
}

TEST(CommandLine, ALoaderFailureIsShownAsACommandLineError) {
    const TempFileLoader loader = [](const std::string& argument, AppSettings&) {
        return TempFileLoadResult{false, "broken : " + argument};
    };
    const Outcome outcome = parse({"C:\\job.dorimelt"}, loader);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error.text, "broken : C:\\job.dorimelt");
    EXPECT_EQ(outcome.error.caption, kCommandLineCaption);
    EXPECT_FALSE(outcome.settings.resuming);
}

TEST(CommandLineSplit, BlanksQuotesAndBackslashesFollowTheWindowsRules) {
    struct Case {
        const char* line;
        Args args;
    } cases[] = {
        {"", {}},
        {"  a \t b  ", {"a", "b"}},
        {"\"C:\\Program Files\\x\" -rf \"\"", {"C:\\Program Files\\x", "-rf", ""}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\"b", {"a\"b"}},
        {"C:\\dl\\ x", {"C:\\dl\\", "x"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"http://h/?q=\"1 2\"&r", {"http://h/?q=1 2&r"}},
    };
    for (const Case& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.args) << c.line;
    EXPECT_TRUE(splitCommandLine(nullptr).empty());

    // In code page 932 the second byte of 表 (0x5C) does not escape the quote.
    setCodePage(CODE_PAGE_932);
    EXPECT_EQ(splitCommandLine("\"\x95\x5C\" x"), (Args{"\x95\x5C", "x"}));
    setCodePage(CODE_PAGE_SINGLE_BYTE);
    EXPECT_EQ(splitCommandLine("\"\x95\x5C\" x"), (Args{"\x95\" x"}));
}
