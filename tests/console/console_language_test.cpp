// The console program's languages and its own options: --help and --version,
// whole log rows of a real download in English under a non-Japanese locale
// and exactly the Japanese rows under a Japanese one, and the message when
// the target exists and no one is at a terminal to ask.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/console/console_text.h"
#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

struct LocaleRun {
    int exitCode = -1;
    std::vector<std::string> lines;
};

// The program with LANG set to lang (LC_ALL and LC_MESSAGES unset), output
// and error merged.
LocaleRun runWithLocale(const std::string& lang, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "LANG=" + lang, DORIMEL_CONSOLE};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child;
    LocaleRun run;
    if (!child.start(argv, "", true)) return run;
    if (!child.waitExit(60000, run.exitCode)) child.stop();
    std::istringstream in(child.takeOutput());
    for (std::string line; std::getline(in, line);) run.lines.push_back(line);
    return run;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// The rows of a download without their time and without the request and
// response lines (kinds 4 and 5, which carry dates and server names).
std::vector<std::string> rowsWithoutTimeOrProtocol(const std::vector<std::string>& lines) {
    std::vector<std::string> rows;
    for (const std::string& l : lines)
        if (l.size() > 12 && l[11] != '4' && l[11] != '5') rows.push_back(l.substr(9));
    return rows;
}

}  // namespace

TEST(ConsoleLanguage, TheFirstSetLocaleVariableDecides) {
    EXPECT_TRUE(localeIsJapanese(nullptr, nullptr, "ja_JP.UTF-8"));
    EXPECT_TRUE(localeIsJapanese("", nullptr, "ja"));
    EXPECT_TRUE(localeIsJapanese(nullptr, "ja_JP.eucJP", "C.UTF-8"));
    EXPECT_FALSE(localeIsJapanese("C.UTF-8", "ja_JP.UTF-8", "ja_JP.UTF-8"));
    EXPECT_FALSE(localeIsJapanese("POSIX", nullptr, nullptr));
    EXPECT_FALSE(localeIsJapanese(nullptr, nullptr, nullptr));
    EXPECT_FALSE(localeIsJapanese(nullptr, nullptr, "jam_JM.UTF-8"));
}

TEST(ConsoleLanguage, HelpAndVersionEndWithExitZeroInEitherLanguage) {
    LocaleRun help = runWithLocale("C.UTF-8", {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    const std::string text = joined(help.lines);
    EXPECT_EQ(help.lines.at(0), "Usage: dorimel [options] URL");
    for (const char* option : {"-rf", "-to", "-fs", "-sf", "-ap", "-pr", "-ic", "-ac", "-pn", "-td", "-sp", "-sl",
                               "-nr", "-ie", "-rn", "-ss", "-nd", "-iw", "-ar", "-ik", "--md5", "--sha1",
                               "--sha256", "--verbose", "--version", "dorimel.ini", "EnableHttps", "Exit codes"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    LocaleRun japanese = runWithLocale("ja_JP.UTF-8", {"-to", "5", "--help"});
    EXPECT_EQ(japanese.exitCode, 0);
    EXPECT_EQ(japanese.lines.at(0), "使い方: dorimel [オプション] URL");
    // A value that only looks like --help or --md5 is the referer's: no help,
    // no digest, and no URL to download, a command-line error (2) in either
    // language; so are options without a URL, and no arguments at all.
    for (const char* value : {"--help", "--md5"}) {
        LocaleRun referer = runWithLocale("C.UTF-8", {"-rf", value});
        EXPECT_EQ(referer.exitCode, 2) << value;
        EXPECT_EQ(joined(referer.lines), "dorimel: no URL to download\n") << value;
    }
    LocaleRun noUrl = runWithLocale("ja_JP.UTF-8", {"-sp", "1"});
    EXPECT_EQ(noUrl.exitCode, 2);
    EXPECT_EQ(joined(noUrl.lines), "dorimel: ダウンロードする URL がありません\n");
    LocaleRun usage = runWithLocale("C.UTF-8", {});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.lines.at(0), "Usage: dorimel [options] URL");
    // The digest options' own errors.
    LocaleRun digest = runWithLocale("C.UTF-8", {"--sha1", "12", "http://127.0.0.1/x"});
    EXPECT_EQ(digest.exitCode, 2);
    EXPECT_EQ(joined(digest.lines), "dorimel: --sha1 needs 40 hexadecimal digits: 12\n");

    LocaleRun version = runWithLocale("POSIX", {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_FALSE(version.lines.empty());
    EXPECT_EQ(version.lines[0], "dorimel 0.11");

    LocaleRun error = runWithLocale("en_GB.UTF-8", {"-x"});
    EXPECT_EQ(error.exitCode, 2);
    EXPECT_EQ(joined(error.lines), "Command line error: Unknown option: -x\n");
}

TEST(ConsoleLanguage, RowsAreEnglishUnderANonJapaneseLocaleAndJapaneseUnderAJapaneseOne) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 70000));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    const std::string url = nginx.url("/f.bin");
    const std::string connect = "127.0.0.1(127.0.0.1)";
    struct Case {
        const char* lang;
        std::vector<std::string> rows;
    } cases[] = {
        {"C.UTF-8",
         {"0 1 New download(" + url + ")", "0 3 Connecting to the server..." + connect,
          "0 1 Connected to the server.", "0 3 Waiting for the server's answer...", "0 1 Download started",
          "0 1 Moving the data into place. This takes a while.", "0 1 Moving the file...", "0 1 Finished."}},
        {"ja_JP.UTF-8",
         {"0 1 新規ダウンロード(" + url + ")", "0 3 サーバに接続しています・・・" + connect,
          "0 1 サーバに接続しました。", "0 3 サーバからの応答を待っています・・・", "0 1 ダウンロードを開始しました",
          "0 1 ファイルを再配置しています。この処理は時間がかかります。", "0 1 ファイルを移動しています・・・",
          "0 1 完了しました。"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dst = dir.path() + "/dst" + std::to_string(n++);
        ASSERT_TRUE(makeDirs(dst));
        LocaleRun run = runWithLocale(c.lang, {"-nd", "1", "-td", dst, url});
        EXPECT_EQ(run.exitCode, 0) << c.lang;
        EXPECT_TRUE(fileHasPattern(dst + "/f.bin", 70000)) << c.lang;
        EXPECT_EQ(rowsWithoutTimeOrProtocol(run.lines), c.rows) << c.lang;
        // The request line is never translated.
        EXPECT_NE(joined(run.lines).find(" 0 4 GET /f.bin HTTP/1.0\n"), std::string::npos) << c.lang;
    }
}

TEST(ConsoleLanguage, WithoutATerminalAnExistingFileIsKeptAndTheMessageSaysWhereAndHow) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 5000));
    ASSERT_TRUE(writeFile(dir.path() + "/dst/f.bin", "precious"));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    LocaleRun run = runWithLocale("C.UTF-8", {"-nd", "1", "-td", dir.path() + "/dst", nginx.url("/f.bin")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(readFile(dir.path() + "/dst/f.bin"), "precious");
    const std::string kept = dir.path() + "/dst/f.bin.dorimelt";
    EXPECT_TRUE(fileHasPattern(kept, 5000));
    const std::string text = joined(run.lines);
    EXPECT_NE(text.find("Dorimel: " + dir.path() + "/dst/f.bin was not replaced. The downloaded data (complete) is in " +
                        kept + ".\nIt is not a file to resume: rename it to use it"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("With -ar 1 it would have been saved under a free name."), std::string::npos) << text;

    // -ar 1 gives the free name and exit code 0.
    LocaleRun renamed = runWithLocale("C.UTF-8", {"-nd", "1", "-ar", "1", "-td", dir.path() + "/dst", nginx.url("/f.bin")});
    EXPECT_EQ(renamed.exitCode, 0);
}
