// The console program end to end: it downloads from real servers on
// 127.0.0.1, writes its log rows to standard error, stops on Ctrl-C keeping a
// temporary file that resumes to an identical file, and never replaces an
// existing file when it moves the finished one into place.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

// Every program these tests start speaks Japanese, whatever the caller's locale.
[[maybe_unused]] const bool kJapaneseChildren = setChildEnvironment("ja_JP.UTF-8");

struct Outcome {
    int exitCode = -1;
    std::vector<std::string> lines;  // standard output and error, by line
    bool has(const std::string& text) const {
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool startConsole(ChildProcess& child, const std::vector<std::string>& args) {
    std::vector<std::string> argv{DORIMEL_CONSOLE};
    argv.insert(argv.end(), args.begin(), args.end());
    return child.start(argv, "", true);
}

Outcome runConsole(const std::vector<std::string>& args, int timeoutMs = 60000) {
    ChildProcess child;
    Outcome outcome;
    if (!startConsole(child, args)) return outcome;
    if (!child.waitExit(timeoutMs, outcome.exitCode)) child.stop();
    outcome.lines = splitLines(child.takeOutput());
    return outcome;
}

// Polls for something only the file system shows, at most timeoutMs.
bool waitForFileLargerThan(const std::string& path, off_t size, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_size > size) return true;
        timespec t{0, 10 * 1000 * 1000};
        nanosleep(&t, nullptr);
    }
    return false;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(ConsoleRun, SplitDownloadFinishesIdenticalWithPlainRowsOffATerminal) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 100001));
    ASSERT_TRUE(makeDirs(dir.path() + "/dst"));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    Outcome out = runConsole({"-nd", "1", "-sp", "1", "-td", dir.path() + "/dst", nginx.url("/f.bin")});
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/f.bin", 100001));
    EXPECT_FALSE(exists(dir.path() + "/dst/f.bin.dorimelt"));
    EXPECT_TRUE(out.has("完了しました。"));
    // Every row: time, session, kind, text; no colour codes when not a
    // terminal, no progress line.
    std::regex row("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] [01] [1-7] .+$");
    ASSERT_FALSE(out.lines.empty());
    for (const std::string& line : out.lines) {
        EXPECT_TRUE(std::regex_match(line, row)) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    }
}

// -ic, -ac, -fs/-sf and -ik are the Windows program's (browser cache, close,
// sound, cookies): accepted and without effect here, so the download is an
// ordinary one.
TEST(ConsoleRun, WindowsOnlySwitchesChangeNothing) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 70000));
    ASSERT_TRUE(makeDirs(dir.path() + "/dst"));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    Outcome out = runConsole({"-ic", "1", "-ac", "1", "-fs", "1", "-sf", dir.path() + "/none.wav", "-ik", "1",
                              "-td", dir.path() + "/dst", nginx.url("/f.bin")});
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/f.bin", 70000));
}

TEST(ConsoleRun, CtrlCKeepsTheTemporaryFileAndItResumesToAnIdenticalFile) {
    TempDir dir;
    const uint64_t size = 300000;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", size));
    ASSERT_TRUE(makeDirs(dir.path() + "/dst"));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    const std::string temp = dir.path() + "/dst/f.bin.dorimelt";

    // A slow drip for the first request only, so that the resume is quick.
    ChildProcess child;
    ASSERT_TRUE(startConsole(child, {"-nd", "1", "-td", dir.path() + "/dst",
                                     server.url("/x/drip=2000:20,times=1/f.bin")}));
    // The temporary file holds the 512000-byte state block, then the data.
    ASSERT_TRUE(waitForFileLargerThan(temp, 512000 + 4000, 20000));
    child.signal(SIGINT);
    int exitCode = -1;
    ASSERT_TRUE(child.waitExit(20000, exitCode));
    std::vector<std::string> lines = splitLines(child.takeOutput());
    EXPECT_EQ(exitCode, 1);
    ASSERT_TRUE(exists(temp));
    EXPECT_FALSE(exists(dir.path() + "/dst/f.bin"));
    ASSERT_FALSE(lines.empty());
    // The last line is the command that resumes.
    EXPECT_NE(lines.back().find("'" + temp + "'"), std::string::npos) << lines.back();

    Outcome resumed = runConsole({temp});
    EXPECT_EQ(resumed.exitCode, 0);
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/f.bin", size));
    EXPECT_FALSE(exists(temp));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("Range: bytes="), std::string::npos) << requests[1];
    EXPECT_EQ(requests[1].find("Range: bytes=0-"), std::string::npos) << requests[1];
}

TEST(ConsoleRun, NeverReplacesAnExistingFileAndKeepsTheDownloadBeside) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 5000));
    ASSERT_TRUE(writeFile(dir.path() + "/dst/f.bin", "precious"));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    // No terminal: the "already exists" question takes the answer that loses
    // nothing (go on), and the final move refuses to replace.
    Outcome out = runConsole({"-nd", "1", "-td", dir.path() + "/dst", server.url("/f/f.bin")});
    EXPECT_EQ(out.exitCode, 1);
    EXPECT_EQ(readFile(dir.path() + "/dst/f.bin"), "precious");
    // The finished data stays under its temporary name: the name without the
    // extension is the existing file, which the rename does not replace.
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/f.bin.dorimelt", 5000));
    EXPECT_FALSE(exists(dir.path() + "/dst/f.bin[1]"));
}

TEST(ConsoleRun, DigestsGivenOnTheCommandLineCheckTheFinishedFile) {
    TempDir dir;
    ASSERT_TRUE(makeDirs(dir.path() + "/www"));
    {
        FILE* f = fopen((dir.path() + "/www/abc.txt").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("abc", f);
        fclose(f);
    }
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    // The report: one whole line for each digest, in the order given (the
    // English lines are in console_language_test.cpp).
    struct Case {
        std::vector<std::string> digestArgs;
        int exitCode;
        std::vector<std::string> reportLines;
    } cases[] = {
        {{"--md5", " 900150983CD24FB0D6963F7D28E17F72 "}, 0,
         {"MD5 900150983cd24fb0d6963f7d28e17f72 一致"}},
        {{"--sha1", "a9993e364706816aba3e25717850c26c9cd0d89d", "--md5",
          "900150983cd24fb0d6963f7d28e17f72"}, 0,
         {"SHA1 a9993e364706816aba3e25717850c26c9cd0d89d 一致", "MD5 900150983cd24fb0d6963f7d28e17f72 一致"}},
        {{"--sha1", "a9993e364706816aba3e25717850c26c9cd0d89e"}, 3,
         {"SHA1 不一致: 指定 a9993e364706816aba3e25717850c26c9cd0d89e、ファイル "
          "a9993e364706816aba3e25717850c26c9cd0d89d"}},
        {{"--md5", "1234"}, 2, {"dorimel: --md5 には16進数 32 桁が必要です: 1234"}},
        // An option's value is never read as an option: "--sha1" is the referer.
        {{"-rf", "--sha1"}, 0, {}},
        {{"--sha256", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"}, 0,
         {"SHA256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 一致"}},
        {{"--sha256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae"}, 3,
         {"SHA256 不一致: 指定 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae、ファイル "
          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}},
        {{"--sha256", "a9993e364706816aba3e25717850c26c9cd0d89d"}, 2,
         {"dorimel: --sha256 には16進数 64 桁が必要です: a9993e364706816aba3e25717850c26c9cd0d89d"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string dst = dir.path() + "/dst" + std::to_string(n++);
        ASSERT_TRUE(makeDirs(dst));
        std::vector<std::string> args = c.digestArgs;
        for (const char* a : {"-nd", "1", "-td"}) args.push_back(a);
        args.push_back(dst);
        args.push_back(nginx.url("/abc.txt"));
        Outcome out = runConsole(args);
        EXPECT_EQ(out.exitCode, c.exitCode) << c.digestArgs[1];
        ASSERT_GE(out.lines.size(), c.reportLines.size()) << c.digestArgs[1];
        EXPECT_EQ(std::vector<std::string>(out.lines.end() - c.reportLines.size(), out.lines.end()),
                  c.reportLines)
            << c.digestArgs[1];
        // A mismatch reports the file but never removes it.
        if (c.exitCode != 2) {
            EXPECT_TRUE(exists(dst + "/abc.txt"));
        }
    }
}

TEST(ConsoleRun, FailuresEndWithExitCodeOneInsteadOfWaiting) {
    TempDir dir;
    ASSERT_TRUE(makeDirs(dir.path() + "/www"));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    // A 404 stops the job; a URL without a host leaves nothing to retry.
    Outcome missing = runConsole({"-nd", "1", "-td", dir.path(), server.url("/f/none.bin")});
    EXPECT_EQ(missing.exitCode, 1);
    Outcome hostless = runConsole({"-nd", "1", "-td", dir.path(), "http:///none.bin"}, 30000);
    EXPECT_EQ(hostless.exitCode, 1);
}

TEST(ConsoleRun, KilledAtSeveralPointsOfALargeDownloadItStillResumesIdentical) {
    TempDir dir;
    const uint64_t size = 50u << 20;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/limited/big.bin", size));
    ASSERT_TRUE(makeDirs(dir.path() + "/dst"));
    NginxOptions options;
    options.limitRateKiB = 8192;  // about 6 s for the whole file
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www", options));
    const std::string temp = dir.path() + "/dst/big.bin.dorimelt";

    // kill -9 once early and once past the middle; each run resumes from
    // whatever state the temporary file held at that moment.
    std::vector<std::string> args{"-nd", "1", "-td", dir.path() + "/dst", nginx.url("/limited/big.bin")};
    for (off_t killAt : {off_t(6) << 20, off_t(30) << 20}) {
        ChildProcess child;
        ASSERT_TRUE(startConsole(child, args));
        ASSERT_TRUE(waitForFileLargerThan(temp, 512000 + killAt, 60000));
        child.signal(SIGKILL);
        int exitCode = 0;
        ASSERT_TRUE(child.waitExit(20000, exitCode));
        EXPECT_EQ(exitCode, 128 + SIGKILL);
        args = {temp};
    }
    Outcome last = runConsole(args, 90000);
    EXPECT_EQ(last.exitCode, 0);
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/big.bin", size));
    EXPECT_FALSE(exists(temp));
}

// IPv6 is on in the console: a split download from nginx bound to [::1] only,
// killed with -9, resumes from its temporary file (whose URL keeps the
// brackets) to an identical file.
TEST(ConsoleRun, KilledSplitDownloadFromLoopbackSixResumesIdentical) {
    TempDir dir;
    const uint64_t size = 24u << 20;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/limited/six.bin", size));
    ASSERT_TRUE(makeDirs(dir.path() + "/dst"));
    NginxOptions options;
    options.limitRateKiB = 4096;  // about 3 s for each half
    options.ipv6 = true;
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www", options));
    const std::string temp = dir.path() + "/dst/six.bin.dorimelt";
    ChildProcess child;
    ASSERT_TRUE(startConsole(child, {"-nd", "1", "-sp", "1", "-td", dir.path() + "/dst", nginx.url("/limited/six.bin")}));
    ASSERT_TRUE(waitForFileLargerThan(temp, 512000 + (4 << 20), 60000));
    child.signal(SIGKILL);
    int exitCode = 0;
    ASSERT_TRUE(child.waitExit(20000, exitCode));
    EXPECT_NE(readFile(temp).substr(0, 512000).find("http://[::1]:"), std::string::npos);
    Outcome last = runConsole({temp}, 90000);
    EXPECT_EQ(last.exitCode, 0);
    EXPECT_TRUE(fileHasPattern(dir.path() + "/dst/six.bin", size));
}
