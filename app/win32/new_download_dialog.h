// NewDownloadDialog: the new-download dialog (template 104, "新規ダウンロード")
// where the user confirms URL, referer, proxy, destination folder and transfer
// options before the first transfer and again from "再設定(&R)". Windows side.
//
// Use from the download window, which owns one object for its whole life:
//   NewDownloadDialog dialog(downloaderApp(), downloaderApp().optionsFile());
//   dialog.strURL = ...; dialog.FirstInit = 1;       // at start-up
//   if (dialog.runModal(windowHandle) == IDOK) ...    // read the four values
// OK edits the settings' downloadOptions and CloseAtEnd directly, writes the
// folder history, and moves the owner window to the dialog's top-left corner.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/app_settings.h"
#include "app/options_file.h"
#include "app/win32/combo_box_ex_control.h"
#include "app/win32/dialog.h"

struct NewDownloadRecord;

class NewDownloadDialog : public Dialog {
  public:
    // settings and options must outlive the object; the options file is
    // reached through its path at every read and write.
    NewDownloadDialog(AppSettings& settings, const OptionsFile& options);

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The persisted "NewDD" record of the temporary file.
    void storeRecord(NewDownloadRecord& record) const;
    void loadRecord(const NewDownloadRecord& record);

    // 1: the next dialog start applies the start-up defaults (proxy, no-cache,
    // destination); cleared at the end of every start.
    int32_t FirstInit = 1;
    Text strURL;
    Text strReferer;
    Text strProxy;
    Text strTargetDir;  // ends with "\" after a successful OK

  private:
    BOOL onInitDialog();
    void onOk();
    void onSaveAsDefault();
    void onBrowse();
    void onDesktop();
    // Collects the controls into the fields; with checking, the first failure
    // is shown and stops the collection (returns false).
    bool collect(bool check);
    bool collectFolder(bool check);
    bool writeFolderHistory();
    void keepEditTextInHistory();
    void focusControl(int itemId);
    // Cancel stores nothing: a failed OK or a save as default may already
    // have collected the controls into the fields and the settings, so Cancel
    // puts back what the dialog started with.
    void saveStartValues();
    void restoreStartValues();
    int messageBox(const char* text, const char* caption, UINT type);

    AppSettings& settings_;
    const OptionsFile& options_;
    Window urlBox_;
    Window refererBox_;
    Window proxyBox_;
    ComboBoxExControl folderBox_;
    struct StartValues {
        Text url, referer, proxy, targetDir;
        DownloadOptions options;
        bool closeAtEnd = false;
    } start_;
};

// The URL of the clipboard's plain text (empty when there is none, the
// clipboard cannot be opened or the text is 512 bytes or longer). With https,
// an "https://" URL counts as well.
std::string urlFromClipboard(HWND owner, bool https);

// The desktop folder with a trailing backslash; empty when it cannot be found.
std::string desktopFolder(HWND owner);
