// The console program at a terminal (a pseudo-terminal): the question when
// the target exists, both ways; the labelled progress line with its retry
// counter and the final line; only the rows a person needs unless --verbose;
// Ctrl-C's labelled resume command.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/console/terminal_run.h"
#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

const std::vector<std::string> kEnglish{"LC_ALL=", "LC_MESSAGES=", "LANG=C.UTF-8"};

TerminalRun runDorimel(const std::vector<std::string>& args, const std::vector<std::string>& answers = {},
                       const std::function<void(const std::string&, int)>& onOutput = nullptr) {
    std::vector<std::string> argv{DORIMEL_CONSOLE};
    argv.insert(argv.end(), args.begin(), args.end());
    return runOnTerminal(argv, kEnglish, 100, answers, onOutput);
}

bool hasLine(const std::vector<std::string>& lines, const std::string& piece) {
    for (const std::string& l : lines)
        if (l.find(piece) != std::string::npos) return true;
    return false;
}

// Log rows ("HH:MM:SS s k text") of the given kind.
int rowsOfKind(const std::vector<std::string>& lines, char kind) {
    int n = 0;
    for (const std::string& l : lines)
        if (l.size() > 13 && l[2] == ':' && l[5] == ':' && l[10] == ' ' && l[11] == kind && l[12] == ' ') ++n;
    return n;
}

}  // namespace

TEST(ConsoleTerminal, AnExistingFileIsReplacedOnlyWhenTheUserSaysSo) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 6000));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    const std::string target = dir.path() + "/dst/f.bin";
    const std::vector<std::string> args{"-td", dir.path() + "/dst", nginx.url("/f.bin")};

    // Go on at the start, keep the file at the end.
    ASSERT_TRUE(writeFile(target, "precious"));
    TerminalRun kept = runDorimel(args, {"n", "n"});
    std::vector<std::string> lines = visibleLines(kept.screen);
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_TRUE(hasLine(lines, target + " already exists. Replace it? [y/N]")) << kept.screen;
    EXPECT_TRUE(hasLine(lines, target + " was not replaced. The downloaded data (complete) is in " + target +
                                   ".dorimelt."))
        << kept.screen;
    EXPECT_FALSE(hasLine(lines, "-ar 1")) << kept.screen;  // someone was asked
    ASSERT_TRUE(fileHasPattern(target + ".dorimelt", 6000));
    ASSERT_EQ(unlink((target + ".dorimelt").c_str()), 0);

    // Go on at the start, replace at the end: atomically, and the run succeeds.
    TerminalRun replaced = runDorimel(args, {"n", "y"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.screen;
    EXPECT_TRUE(fileHasPattern(target, 6000));
    EXPECT_FALSE(fileHasPattern(target + ".dorimelt", 6000));
    EXPECT_TRUE(hasLine(visibleLines(replaced.screen), "Replaced " + target + ".")) << replaced.screen;
}

TEST(ConsoleTerminal, TheProgressLineIsLabelledCountsRetriesAndEndsWithTheAverage) {
    TempDir dir;
    const uint64_t size = 200000;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/a-rather-long-file-name-that-cannot-fit.bin", size));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    // The first answer breaks off early: the engine waits and tries again,
    // which the counter shows.
    TerminalRun run = runDorimel({"-td", dir.path(), "-rn", "1",
                                  server.url("/x/close=50000,times=1/a-rather-long-file-name-that-cannot-fit.bin")});
    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_TRUE(fileHasPattern(dir.path() + "/a-rather-long-file-name-that-cannot-fit.bin", size));
    std::vector<std::string> lines = visibleLines(run.screen);
    // Every state of the progress line fits the 100 columns (99 drawn);
    // the figures are whole and labelled.
    bool labelled = false, retried = false;
    for (size_t from = run.screen.find("\r\x1b[K"); from != std::string::npos;
         from = run.screen.find("\r\x1b[K", from + 1)) {
        std::string drawn = run.screen.substr(from + 4, run.screen.find_first_of("\r\n", from + 4) - from - 4);
        if (drawn.empty() || drawn[0] == '\x1b') continue;  // a row
        EXPECT_LE(drawn.size(), 99u) << drawn;
        if (drawn.find("elapsed ") != std::string::npos && drawn.find("  retries ") != std::string::npos)
            labelled = true;
        if (drawn.find("retries 2 / 32") != std::string::npos) retried = true;
    }
    EXPECT_TRUE(labelled) << run.screen;
    EXPECT_TRUE(retried) << run.screen;
    // The last line: the name, the time and the average speed.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("a-rather-long-file-name-that-cannot-fit.bin  elapsed 00:00:", 0), 0u)
        << lines.back();
    EXPECT_NE(lines.back().find("  average "), std::string::npos) << lines.back();
    EXPECT_EQ(lines.back().find("average 0.00 kb/s"), std::string::npos) << lines.back();
    // A terminal shows information, errors, warnings and fatal rows only.
    EXPECT_GT(rowsOfKind(lines, '1'), 0);
    EXPECT_EQ(rowsOfKind(lines, '3') + rowsOfKind(lines, '4') + rowsOfKind(lines, '5'), 0) << run.screen;
}

TEST(ConsoleTerminal, VerboseShowsEveryRowAndCtrlCLabelsTheResumeCommand) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 300000));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    bool interrupted = false;
    const std::string temp = dir.path() + "/f.bin.dorimelt";
    // A slow drip; Ctrl-C once the temporary file holds data (past its
    // 512000-byte state block). The progress line redraws often enough to
    // look each time.
    TerminalRun run = runDorimel({"--verbose", "-td", dir.path(), server.url("/x/drip=2000:20/f.bin")}, {},
                                 [&](const std::string&, int pid) {
                                     struct stat st;
                                     if (!interrupted && stat(temp.c_str(), &st) == 0 && st.st_size > 512000 + 4000) {
                                         interrupted = true;
                                         kill(pid, SIGINT);
                                     }
                                 });
    EXPECT_EQ(run.exitCode, 1);
    std::vector<std::string> lines = visibleLines(run.screen);
    EXPECT_GT(rowsOfKind(lines, '4'), 0) << run.screen;
    EXPECT_GT(rowsOfKind(lines, '5'), 0) << run.screen;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "To resume: " + std::string(DORIMEL_CONSOLE) + " '" + dir.path() + "/f.bin.dorimelt'")
        << run.screen;
}
