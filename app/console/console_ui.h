// The Linux console front end's side of DownloadUi: log rows on standard
// error, a progress line when standard error is a terminal, and questions
// asked on the terminal (or answered with what loses nothing when there is no
// one to ask). Native only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "app/options_file.h"
#include "app/status_display.h"
#include "engine/download_ui.h"

// String-table IDs of the console's own texts.
enum : unsigned {
    IDS_SPEED_LIMITED_SUFFIX = 150,  // " （速度制限中）"
    IDS_LABEL_ELAPSED = 151,         // "経過"
    IDS_LABEL_REMAINING = 152,       // "残り"
    IDS_LABEL_SPEED = 153,           // "速度"
    IDS_LABEL_RETRIES = 154,         // "リトライ"
    IDS_TO_RESUME = 155,             // "再開するには:"
    IDS_LABEL_AVERAGE = 156,         // "平均"
    IDS_ASK_REPLACE = 157,           // " はすでに存在します。置き換えますか？"
    IDS_NOT_REPLACED = 158,          // "%1 は置き換えていません。...%2 にあります。"
    IDS_NOT_RESUMABLE = 159,         // "これは再開用のファイルではありません。..."
    IDS_FREE_NAME_HINT = 160,        // "-ar 1 を付ければ..."
    IDS_REPLACED = 161,              // "%1 を置き換えました。"
};

// The colours of one kind of log row (Windows COLORREF values, 0x00BBGGRR).
struct LogColours {
    uint32_t text;
    uint32_t back;
};

// The colours of a row kind from the options file's ListViewColor section,
// with the defaults of the log list.
LogColours logColours(const OptionsFile& options, int kind);

// text with every control character written as "\xNN" (its bytes): C0, DEL,
// C1 (U+0080 to U+009F, also encoded too long) and bytes that are not UTF-8.
// Servers control much of what the console shows (Location, header lines,
// file names, FTP replies, error texts); escaped, none of it can move the
// cursor, retitle the terminal or hide rows.
std::string terminalSafe(const std::string& text);

// One log row as the console writes it: "HH:MM:SS <session> <kind> <text>",
// a line break in text written as a space, other controls as terminalSafe
// does. hour, minute and second are the local time of the row.
std::string formatLogRow(int hour, int minute, int second, int session, int kind, const std::string& text);

class ConsoleUi : public DownloadUi {
public:
    // out receives rows and the progress line (standard error). colours and
    // the progress line are used only when interactive is true (a terminal);
    // questions are asked only when canAsk is true.
    // verbose: on a terminal too every row is shown (otherwise a terminal
    // shows the rows of kinds 1, 2, 6 and 7 only).
    ConsoleUi(FILE* out, bool interactive, bool canAsk, const OptionsFile& options, bool verbose = false);

    // What the run needs to know.
    std::function<void(int stage)> onStage;   // every setStageIcon
    std::function<void()> onTargetExists;     // the deferred target-exists question
    std::function<void()> onFinished;         // finishWindow
    std::function<void()> onEnded;            // endWindow
    // The status the progress line shows (null: no progress line).
    std::function<JobStatus()> status;
    // Where the speed-limit ratio goes after each display refresh, and the
    // ratio to start from (the job's "db_downrate").
    std::function<double&()> speedRatio;

    // The path the finished file is to be moved to (asked when the move
    // fails).
    std::function<std::string()> destinationPath;
    // Replaces an existing file by another; replaceable by tests.
    std::function<bool(const char* from, const char* to)> replaceFile;

    // Reads the answer of a question (a line of standard input); replaceable
    // by tests.
    std::function<bool(std::string& line)> readAnswer;

    void addLogRow(int kind, const std::string& text, int session) override;
    void setControlText(int controlId, const std::string& text) override;
    void setTitle(const std::string& text) override;
    void setStageIcon(int stage) override;
    void setTabText(int session, const std::string& text) override;
    void refreshDisplay() override;
    void postTargetExists() override;
    bool askCancelBecauseTargetExists(const std::string& destinationPath) override;
    bool askDeleteTempFile() override;
    void showTooLate() override;
    void showMoveFailed(const std::string& tempPath) override;
    void hideWindow() override {}
    void endWindow() override;
    void finishWindow() override;
    bool useDirectDelete() override;
    bool autoCancelFtpSpeedLimit() override;

    // Ends the progress line so that what follows starts on a fresh line.
    void endProgressLine();
    // Erases the progress line (Ctrl-C: the rows that follow take its place).
    void dropProgressLine();
    // On a terminal, replaces the progress line by the final line of a
    // finished download: its name, the elapsed time and the average speed
    // of bytes over that time.
    void showFinalLine(const std::string& name, uint64_t elapsedMilliseconds, uint64_t bytes);
    // Whether the finished file replaced an existing one (the user said yes).
    bool replacedExisting() const { return replaced_; }

private:
    void clearProgress();
    void drawProgress();
    bool ask(const std::string& question);

    FILE* out_;
    bool interactive_;
    bool canAsk_;
    bool verbose_;
    OptionsFile options_;  // read key by key when a rule needs a value
    LogColours colours_[8];
    std::string title_;
    std::string progress_;  // the progress line as last drawn (empty: none shown)
    std::string elapsed_, speed_, remaining_, retries_;
    bool replaced_ = false;
    StatusTicker ticker_;
};
