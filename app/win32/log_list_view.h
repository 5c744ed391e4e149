// The two session logs of the download window: report-style list views of
// time-stamped rows coloured by kind, one per tab of tab control 1004, with a
// context menu to copy and clear them. Windows side, user-interface thread.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/win32/window.h"

class OptionsFile;

// One session's log (list view 100 + index, child of the tab control).
class LogListView : public Window {
public:
    // Creates the hidden list with its two columns (widths from the tab
    // control's client width) and the shared image list.
    bool create(HWND tabs, int index, HIMAGELIST images);
    // Appends a row: local time, kind (image and item data), text. False when
    // the list refuses the item or its text.
    bool appendRow(int kind, const char* text);
    // Copies the message texts of the selected rows (all rows when all is
    // true), each cut to 259 bytes and followed by "\r\n", to the clipboard
    // as CF_TEXT, opened for owner. Nothing to copy leaves the clipboard as it
    // is. False when the clipboard could not be written.
    bool copyRows(bool all, HWND owner) const;
    void deleteAll() const { sendMessage(LVM_DELETEALLITEMS); }
    int rowCount() const { return static_cast<int>(sendMessage(LVM_GETITEMCOUNT)); }
};

// Row colours by kind, read once from the options file's ListViewColor section.
struct LogColors {
    COLORREF text[8];
    COLORREF back[8];
    void read(const OptionsFile& options);
    // False for kinds without colours of their own (the list's defaults apply).
    bool forKind(int kind, COLORREF& textColor, COLORREF& backColor) const;
};

// The tab control with the two logs.
class LogPanel : public Window {
public:
    // scrollLockToolbar: the toolbar whose button 402 freezes scrolling.
    // Reads the colours, subclasses the tab control, creates both lists and
    // tabs ("--- / ---"), gives them the image list and shows log 0.
    bool createLogs(HIMAGELIST images, const OptionsFile& options, HWND scrollLockToolbar);
    // Places the selected tab's list over the display area and shows it.
    void showSelectedLog();
    // The one log output: log 1 for session 1, log 0 otherwise.
    bool addLogRow(int kind, const char* text, int session);
    void setTabText(int session, const char* text);
    LogListView& log(int session) { return logs_[session == 1 ? 1 : 0]; }

private:
    static LRESULT CALLBACK tabProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT customDraw(NMLVCUSTOMDRAW* draw) const;
    void showContextMenu(int session);

    LogListView logs_[2];
    LogColors colors_{};
    HWND toolbar_ = nullptr;
};
