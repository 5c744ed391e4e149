// How the download job reaches the user: log rows, the texts of the download
// window's controls, its title and icons, the status display, and the few
// questions that need a person. Portable interface; the Windows download window
// and the Linux console front end implement it. The job never blocks on it
// except inside the question calls, which a front end may answer at once.
#pragma once

#include <string>

// Kinds of log rows (the log's colours and images follow the kind).
enum : int {
    LOG_INFO = 1,      // information ("Star" colours)
    LOG_ERROR = 2,     // error
    LOG_WAITING = 3,   // waiting for something ("Question" colours)
    LOG_SENT = 4,      // a line sent to the server ("Up")
    LOG_RECEIVED = 5,  // a line received from the server ("Down")
    LOG_WARNING = 6,   // warning
    LOG_FATAL = 7,     // fatal
};

// Controls of the download window the job writes to.
enum : int {
    CTRL_RETRIES = 1026,      // "%d / %d": retry count and limit
    CTRL_URL = 1033,          // the URL box
    CTRL_TARGET_PATH = 1034,  // the full path of the target file ("保存先")
};

// Window icons per job stage (resource IDs); setStageIcon receives the stage.
enum : int {
    ICON_STAGE_ENDED = 102,
    ICON_STAGE_RUNNING = 115,
    ICON_STAGE_STOPPED = 117,
};

class DownloadUi {
public:
    virtual ~DownloadUi() = default;

    // One row in the log of session (0 or 1; anything else goes to log 0).
    // text is in the program's text encoding (code page bytes on Windows,
    // UTF-8 natively), exactly as the string table and the server gave it.
    virtual void addLogRow(int kind, const std::string& text, int session) = 0;

    // Sets the text of one of the CTRL_* controls.
    virtual void setControlText(int controlId, const std::string& text) = 0;

    // Sets the window title (the completion's relocation progress, the final
    // "ダウンロードの完了"). The running title is the status display's own work.
    virtual void setTitle(const std::string& text) = 0;

    // The job's stage changed (1 ended, 2 running, 4 stopped): show its icon.
    virtual void setStageIcon(int stage) = 0;

    // The label of the tab of session 0 or 1 (its progress text).
    virtual void setTabText(int session, const std::string& text) = 0;

    // The status display's part of the 100 ms tick (title, close button,
    // toolbar, elapsed time, speed, remaining time, progress bar). The job
    // calls it on every tick after its sessions' ticks, and once more during
    // the completion with the job's finalDisplay set.
    virtual void refreshDisplay() = 0;

    // The data writer found that the destination file already exists. The
    // front end must not ask inside this call: it arranges for
    // DownloadJob::onTargetExists to be called soon (Windows posts
    // WM_TARGET_EXISTS to the window; the console may call it from its loop).
    virtual void postTargetExists() = 0;

    // Question string 55: destinationPath + " はすでに存在します。..." with
    // caption string 50, Yes/No, No default. True = cancel the download.
    // A front end that cannot ask answers false (continue: the final move
    // never replaces the existing file without asking).
    virtual bool askCancelBecauseTargetExists(const std::string& destinationPath) = 0;

    // Question string 54 "ダウンロード中のファイルを削除しますか？", caption 50,
    // asked when the user closes the window before the end. True = delete.
    // A front end that cannot ask answers false (keep the file for a resume).
    virtual bool askDeleteTempFile() = 0;

    // Notice string 52 with caption string 53 (the download finished while
    // the user was closing the window).
    virtual void showTooLate() = 0;

    // Message box (caption "Dorimel", warning icon): string 42 + tempPath +
    // string 43: the final move failed and the finished file stays there.
    virtual void showMoveFailed(const std::string& tempPath) = 0;

    // Hides the window (while the delete question is asked on closing).
    virtual void hideWindow() = 0;

    // Ends the window (the user answered Yes to the target-exists question).
    virtual void endWindow() = 0;

    // Finish of a successful run: when the close-when-finished box is
    // checked, close the window (Windows posts WM_CLOSE); otherwise bring the
    // window to the front and enable open file, open folder and the hash menu.
    virtual void finishWindow() = 0;

    // The two options the engine reads from the options file at the moment
    // it needs them (a front end must answer both from the file, so neither
    // has a default here).
    // MainOptions/IsUseDirectDelete: delete a discarded temporary file at once
    // (true) instead of moving it to the recycle bin.
    virtual bool useDirectDelete() = 0;

    // MainOptions/IsAutoCancalFtpSpeedLimit: switch the speed limit off when
    // an FTP server reports the end of its data transfer.
    virtual bool autoCancelFtpSpeedLimit() = 0;
};
