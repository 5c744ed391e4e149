// Text a server controls (a redirect's Location, header lines under
// --verbose, a Content-Disposition name) reaches the terminal, or the file or
// pipe standard error goes to, only with its control characters escaped: no
// cursor movement, no new title, no row hidden behind a carriage return.
#include <sys/stat.h>

#include <cctype>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/console/console_ui.h"
#include "tests/console/terminal_run.h"
#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

// Percent-encodes every byte that is not a letter or digit, for a fault
// server directive.
std::string encoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// The runs: a redirect whose Location carries an OSC title sequence and a
// bare CR; a file whose header line clears the screen and whose name carries
// a C1 CSI (UTF-8 C2 9B; the directive's value is read as Latin-1 bytes).
std::vector<std::vector<std::string>> hostileRuns(const FaultServer& server, const std::string& folder) {
    const std::string location = "/f/\x1b]0;owned\x07\rnone.bin";
    const std::string header = "X-Evil: \x1b[2J\x1b[H\rhidden";
    const std::string disposition = "attachment; filename=n\xc3\x82\xc2\x9b" "2Jm.bin";
    return {
        {"--verbose", "-td", folder, "-rf", "http://127.0.0.1/",
         server.url("/x/status=302,loc=" + encoded(location) + "/x.bin")},
        {"--verbose", "-td", folder,
         server.url("/x/hdr=" + encoded(header) + ",disp=" + encoded(disposition) + "/x.bin")},
    };
}

// What a server sent, seen escaped.
void expectEscapedForms(const std::string& output) {
    EXPECT_NE(output.find("\\x1b]0;owned\\x07"), std::string::npos) << output;
    EXPECT_NE(output.find("\\x1b[2J\\x1b[H hidden"), std::string::npos) << output;
    EXPECT_NE(output.find("n\\xc2\\x9b2Jm.bin"), std::string::npos) << output;
}

}  // namespace

TEST(ConsoleHostileText, ServerTextCannotDriveTheTerminalOrThePipe) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/x.bin", 3000));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    ASSERT_EQ(mkdir((dir.path() + "/t").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir.path() + "/p").c_str(), 0700), 0);

    // On a terminal: the only escape sequences are the console's own colours
    // and line erasing; no BEL, no raw C1.
    std::string screen;
    for (const std::vector<std::string>& args : hostileRuns(server, dir.path() + "/t")) {
        std::vector<std::string> argv{DORIMEL_CONSOLE};
        argv.insert(argv.end(), args.begin(), args.end());
        screen += runOnTerminal(argv, {"LC_ALL=", "LC_MESSAGES=", "LANG=C.UTF-8"}, 100).screen;
    }
    std::string foreign = std::regex_replace(screen, std::regex("\x1b\\[[0-9;]*[mK]"), "");
    EXPECT_EQ(foreign.find('\x1b'), std::string::npos) << screen;
    EXPECT_EQ(foreign.find('\x07'), std::string::npos);
    EXPECT_EQ(foreign.find("\xc2\x9b"), std::string::npos);
    expectEscapedForms(screen);
    bool headerWhole = false;
    for (const std::string& line : visibleLines(screen))
        headerWhole = headerWhole || (line.find("X-Evil:") != std::string::npos && line.find("hidden") != std::string::npos);
    EXPECT_TRUE(headerWhole) << screen;

    // Into a pipe: no control character at all but the line ends.
    std::string piped;
    for (const std::vector<std::string>& args : hostileRuns(server, dir.path() + "/p")) {
        std::vector<std::string> argv{DORIMEL_CONSOLE};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess child;
        ASSERT_TRUE(child.start(argv, "", true));
        int code = -1;
        ASSERT_TRUE(child.waitExit(60000, code));
        piped += child.takeOutput();
    }
    for (unsigned char c : piped) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f)) << int(c) << "\n" << piped;
        if (!(c == '\n' || (c >= 0x20 && c != 0x7f))) break;
    }
    EXPECT_EQ(piped.find("\xc2\x9b"), std::string::npos);
    expectEscapedForms(piped);
}

TEST(ConsoleHostileText, EscapingKeepsTextAndCatchesEveryFormOfAControl) {
    EXPECT_EQ(terminalSafe("完了しました。 a.zip ü"), "完了しました。 a.zip ü");
    // ESC, DEL, BEL; C1 CSI as UTF-8, encoded too long, and as a lone byte;
    // a sequence cut short at the end.
    EXPECT_EQ(terminalSafe("\x1b[2J\x7f\x07"), "\\x1b[2J\\x7f\\x07");
    EXPECT_EQ(terminalSafe("a\xc2\x9b" "b\xe0\x82\x9b" "c\x9b" "d\xe3\x81"),
              "a\\xc2\\x9bb\\xe0\\x82\\x9bc\\x9bd\\xe3\\x81");
}
