// The console's DownloadUi: the row format, the colours from the options
// file, and questions only where someone can answer them.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "app/console/console_ui.h"
#include "app/options_file.h"
#include "tests/servers/test_servers.h"

namespace {

// A ConsoleUi writing into memory.
struct CapturedUi {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    OptionsFile options;
    ConsoleUi ui;
    CapturedUi(bool interactive, bool canAsk) : ui(out, interactive, canAsk, options) {}
    ~CapturedUi() {
        fclose(out);
        free(buffer);
    }
    std::string text() {
        fflush(out);
        return std::string(buffer, size);
    }
};

}  // namespace

TEST(ConsoleUi, RowsAreTimeSessionKindTextOnOneLine) {
    EXPECT_EQ(formatLogRow(9, 5, 7, 1, 2, "受信できません。"), "09:05:07 1 2 受信できません。");
    // Anything but session 1 is session 0's log; a server's line break cannot
    // start a forged row.
    EXPECT_EQ(formatLogRow(23, 59, 0, 7, 5, "a\r\n12:00:00 0 1 完了しました。"),
              "23:59:00 0 5 a  12:00:00 0 1 完了しました。");

    CapturedUi plain(false, false);
    plain.ui.addLogRow(4, "GET / HTTP/1.0", 0);
    std::string written = plain.text();
    ASSERT_EQ(written.size(), 9 + 4 + 14 + 1);
    EXPECT_EQ(written.substr(8), " 0 4 GET / HTTP/1.0\n");  // no colours off a terminal

    CapturedUi coloured(true, false);
    coloured.ui.addLogRow(7, "x", 0);
    // Fatal rows: black (0) on red (255 = RGB 255, 0, 0) by default.
    const std::string fatal = "\x1b[38;2;0;0;0m\x1b[48;2;255;0;0m";
    std::string shown = coloured.text();
    EXPECT_EQ(shown.substr(0, fatal.size()), fatal) << shown;
    const std::string end = " 0 7 x\x1b[0m\n";
    EXPECT_EQ(shown.substr(shown.size() - end.size()), end);
}

TEST(ConsoleUi, ColoursComeFromListViewColorWithTheLogListDefaults) {
    testservers::TempDir dir;
    OptionsFile missing(dir.path() + "/none.ini");
    EXPECT_EQ(logColours(missing, 2).text, 200u);
    EXPECT_EQ(logColours(missing, 3).text, 16711680u);
    EXPECT_EQ(logColours(missing, 5).back, 0u);
    EXPECT_EQ(logColours(missing, 0).back, logColours(missing, 1).back);
    // The question background's key is spelt "QestionBack".
    ASSERT_TRUE(testservers::writeFile(dir.path() + "/d.ini",
                                       "[ListViewColor]\nQuestionText=1\nQestionBack=2\nQuestionBack=3\n"));
    OptionsFile options(dir.path() + "/d.ini");
    EXPECT_EQ(logColours(options, 3).text, 1u);
    EXPECT_EQ(logColours(options, 3).back, 2u);
}

TEST(ConsoleUi, QuestionsAreAskedOnlyWhenSomeoneCanAnswer) {
    CapturedUi unattended(false, false);
    bool read = false;
    unattended.ui.readAnswer = [&](std::string&) { return read = true; };
    EXPECT_FALSE(unattended.ui.askCancelBecauseTargetExists("/d/a.zip"));
    EXPECT_FALSE(unattended.ui.askDeleteTempFile());
    EXPECT_FALSE(read);

    CapturedUi attended(false, true);
    attended.ui.readAnswer = [](std::string& line) {
        line = "y";
        return true;
    };
    EXPECT_TRUE(attended.ui.askCancelBecauseTargetExists("/d/a.zip"));
    std::string prompt = attended.text();
    EXPECT_NE(prompt.find("確認: /d/a.zip はすでに存在します。"), std::string::npos) << prompt;
    // Closing early on the console keeps the file, whatever the answer.
    EXPECT_FALSE(attended.ui.askDeleteTempFile());
    attended.ui.readAnswer = [](std::string& line) {
        line = "";
        return true;
    };
    EXPECT_FALSE(attended.ui.askCancelBecauseTargetExists("/d/a.zip"));
}
