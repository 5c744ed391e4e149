// DownloadWindow: the program's one top-level window (dialog template 101),
// run modally for the whole download. It shows URL, destination, progress,
// times, speed and retries, hosts the toolbar and the two session logs, turns
// the user's commands into calls on the job and implements the job's view of
// the user (DownloadUi). Windows side, user-interface thread only.
#pragma once

// The seam's header brings Winsock in before <windows.h>.
#include "platform/win32/win32_seam.h"

#include <commctrl.h>

#include <string>

#include "app/status_display.h"
#include "app/win32/dialog.h"
#include "app/win32/log_list_view.h"
#include "app/win32/new_download_dialog.h"
#include "app/win32/toolbar_control.h"
#include "engine/download_job.h"
#include "engine/download_ui.h"

// The window's own messages, beside the seam's WM_HOST_RESOLVED (0x8001),
// WM_SESSION_SOCKET (0x8002) and WM_DATA_SOCKET (0x8008).
enum : UINT {
    WM_START_DOWNLOAD = 0x8003,  // posted to itself by the initialisation
    WM_TARGET_EXISTS = 0x8004,   // posted by the data writer (postTargetExists)
};

class DownloadWindow : public Dialog, public DownloadUi {
public:
    DownloadWindow();
    ~DownloadWindow() override;

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // DownloadUi: what the job shows and asks.
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
    void hideWindow() override;
    void endWindow() override;
    void finishWindow() override;
    bool useDirectDelete() override;
    bool autoCancelFtpSpeedLimit() override;

    // The job it carries (start-up loads a temporary file into it and arms
    // its sessions' time-outs) and the new-download dialog it owns.
    DownloadJob& job() { return job_; }
    NewDownloadDialog& newDownloadDialog() { return newDownload_; }
    LogPanel& logs() { return logs_; }
    bool isScrollLocked() const;

private:
    friend LRESULT CALLBACK toolbarHostProcedure(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT CALLBACK progressProcedure(HWND, UINT, WPARAM, LPARAM);

    BOOL onInitDialog();
    void onDestroy();
    void onCommand(int command);
    void onToolbarCommand(int command);
    void onInitMenuPopup(HMENU menu);
    INT_PTR onSysCommand(WPARAM command);
    bool createToolbar();
    void showSettingsMenu();
    void showHashMenu();
    void closeOrCancel();
    void startDownload();
    void startJob();
    void reSetup();
    void openFile();
    void openFolder();
    void saveWindowSettings();
    void updateToolbarButtons(bool resumeEnabled, bool stopEnabled);
    void paintProgress(HDC dc, const RECT& client);
    // What the status display reads of the job and the application.
    JobStatus jobStatus() const;

    Window closeAtEnd_;
    Window url_;
    Window targetPath_;
    Window toolbarHost_;
    Window tabs_;
    Window progress_;
    ToolbarControl toolbar_;
    LogPanel logs_;
    HIMAGELIST images_ = nullptr;
    HIMAGELIST toolbarImages_ = nullptr;
    HICON icon_ = nullptr;
    // GetTickCount when the settings menu last closed (its button ignores a
    // click within 300 ms of that, the click that closed the menu).
    DWORD settingsMenuClosedAt_ = 0;
    bool settingsMenuEverShown_ = false;
    StatusTicker ticker_;
    // Declared last: built over the fields above, destroyed first.
    NewDownloadDialog newDownload_;
    DownloadJob job_;
};
