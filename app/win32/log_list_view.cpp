// The session logs: list views inside the download window's tab control,
// coloured by custom draw in the tab control's replaced window procedure.
// Windows side.
#include "app/win32/log_list_view.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/code_page.h"
#include "app/options_file.h"
#include "app/win32/application.h"
#include "platform/win32/abi_layout.h"
#include "resources/download_window_ids.h"

// The list views, the tab control and their notifications read and write
// these at the system's offsets (the list views are also read from other
// processes by the UI tests).
static_assert(sizeof(LVITEMA) == abiSize(60, 88) && offsetof(LVITEMA, pszText) == abiSize(20, 24) &&
                  offsetof(LVITEMA, lParam) == abiSize(32, 40),
              "LVITEMA");
static_assert(sizeof(LVCOLUMNW) == abiSize(44, 56) && offsetof(LVCOLUMNW, pszText) == abiSize(12, 16), "LVCOLUMNW");
static_assert(sizeof(TCITEMA) == abiSize(28, 40) && offsetof(TCITEMA, pszText) == abiSize(12, 16), "TCITEMA");
static_assert(sizeof(NMHDR) == abiSize(12, 24) && offsetof(NMHDR, code) == abiSize(8, 16), "NMHDR");
static_assert(offsetof(NMLVCUSTOMDRAW, nmcd.dwDrawStage) == abiSize(12, 24) &&
                  offsetof(NMLVCUSTOMDRAW, nmcd.lItemlParam) == abiSize(44, 72) &&
                  offsetof(NMLVCUSTOMDRAW, clrText) == abiSize(48, 80) &&
                  offsetof(NMLVCUSTOMDRAW, clrTextBk) == abiSize(52, 84),
              "NMLVCUSTOMDRAW");

namespace {

// One download window per process: the tab control's previous procedure and
// the panel that owns it.
WNDPROC g_previousTabProcedure = nullptr;
LogPanel* g_panel = nullptr;

// A row contributes at most this many bytes to a copy.
constexpr size_t kMaxCopiedRow = 259;

struct ColorKey {
    const char* textKey;
    const char* backKey;
    COLORREF textDefault;
    COLORREF backDefault;
};

// By kind; kind 0 shares kind 1's colours. "QestionBack" is spelt as the
// options file has always spelt it.
const ColorKey kColorKeys[8] = {
    {"StarText", "StarBack", RGB(0, 0, 0), RGB(238, 238, 238)},
    {"StarText", "StarBack", RGB(0, 0, 0), RGB(238, 238, 238)},
    {"ErrorText", "ErrorBack", RGB(200, 0, 0), RGB(238, 238, 238)},
    {"QuestionText", "QestionBack", RGB(0, 0, 255), RGB(238, 238, 238)},
    {"UpText", "UpBack", RGB(0, 0, 0), RGB(192, 192, 192)},
    {"DownText", "DownBack", RGB(255, 255, 255), RGB(0, 0, 0)},
    {"WarningText", "WarningBack", RGB(0, 100, 0), RGB(238, 238, 238)},
    {"FatalText", "FatalBack", RGB(0, 0, 0), RGB(255, 0, 0)},
};

// The text of item row, sub-item 1, whole (the list view cuts to the buffer).
std::string itemText(HWND list, int row) {
    std::vector<char> buffer(1024);
    for (;;) {
        LVITEMA item{};
        item.iSubItem = 1;
        item.pszText = buffer.data();
        item.cchTextMax = static_cast<int>(buffer.size());
        size_t length = static_cast<size_t>(SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item)));
        if (length + 1 < buffer.size() || buffer.size() >= (1u << 20)) return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
        buffer.resize(buffer.size() * 4);
    }
}

// Cut to at most max bytes without splitting a double-byte character.
size_t cutLength(const std::string& text, size_t max) {
    const char* begin = text.c_str();
    const char* end = begin + text.size();
    const char* p = begin;
    while (p < end) {
        size_t n = charLength(p, end);
        if (n == 0 || static_cast<size_t>(p - begin) + n > max) break;
        p += n;
    }
    return static_cast<size_t>(p - begin);
}

}  // namespace

bool LogListView::create(HWND tabs, int index, HIMAGELIST images) {
    HWND list = CreateWindowExA(0, WC_LISTVIEWA, "",
                                WS_CHILD | LVS_REPORT | LVS_SHAREIMAGELISTS | LVS_NOSORTHEADER, 0, 0, 10, 10,
                                tabs, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LOG_FIRST + index)),
                                currentInstance(), nullptr);
    if (!list) return false;
    attach(list, true);  // the tab control destroys it
    sendMessage(LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
    RECT client{};
    GetClientRect(tabs, &client);
    int width = client.right - client.left;
    static const wchar_t* const kTitles[2] = {L"時刻", L"進行状況"};
    const int widths[2] = {width * 17 / 100 - 4, width * 80 / 100 - 4};
    for (int i = 0; i < 2; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(kTitles[i]);
        column.cx = widths[i];
        column.iSubItem = i;
        if (sendMessage(LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column)) < 0) return false;
    }
    return true;
}

bool LogListView::appendRow(int kind, const char* text) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    item.iItem = rowCount();
    item.pszText = time;
    item.iImage = kind;
    item.lParam = kind;
    int row = static_cast<int>(sendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    if (row < 0) return false;
    LVITEMA sub{};
    sub.iSubItem = 1;
    sub.pszText = const_cast<char*>(text ? text : "");
    return sendMessage(LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&sub)) != 0;
}

bool LogListView::copyRows(bool all, HWND owner) const {
    std::string copied;
    int row = -1;
    for (;;) {
        row = static_cast<int>(sendMessage(LVM_GETNEXTITEM, row, all ? LVNI_ALL : LVNI_SELECTED));
        if (row < 0) break;
        std::string text = itemText(hwnd, row);
        copied.append(text, 0, cutLength(text, kMaxCopiedRow));
        copied += "\r\n";
    }
    if (copied.empty()) return true;  // nothing to copy: the clipboard stays as it is
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, copied.size() + 1);
    if (!memory) return false;
    char* target = static_cast<char*>(GlobalLock(memory));
    if (!target) {
        GlobalFree(memory);
        return false;
    }
    std::memcpy(target, copied.c_str(), copied.size() + 1);
    GlobalUnlock(memory);
    if (!OpenClipboard(owner)) {
        GlobalFree(memory);
        return false;
    }
    EmptyClipboard();
    bool ok = SetClipboardData(CF_TEXT, memory) != nullptr;
    CloseClipboard();
    if (!ok) GlobalFree(memory);  // on success the clipboard owns it
    return ok;
}

void LogColors::read(const OptionsFile& options) {
    for (int kind = 0; kind < 8; ++kind) {
        text[kind] = static_cast<COLORREF>(
            options.readInt("ListViewColor", kColorKeys[kind].textKey, static_cast<int32_t>(kColorKeys[kind].textDefault)));
        back[kind] = static_cast<COLORREF>(
            options.readInt("ListViewColor", kColorKeys[kind].backKey, static_cast<int32_t>(kColorKeys[kind].backDefault)));
    }
}

bool LogColors::forKind(int kind, COLORREF& textColor, COLORREF& backColor) const {
    if (kind < 0 || kind > 7) return false;
    textColor = text[kind];
    backColor = back[kind];
    return true;
}

bool LogPanel::createLogs(HIMAGELIST images, const OptionsFile& options, HWND scrollLockToolbar) {
    toolbar_ = scrollLockToolbar;
    colors_.read(options);
    g_panel = this;
    g_previousTabProcedure = subclassWindow(hwnd, tabProcedure);
    if (!g_previousTabProcedure) return false;
    for (int i = 0; i < 2; ++i) {
        TCITEMA tab{};
        tab.mask = TCIF_TEXT;
        tab.pszText = const_cast<char*>("--- / ---");
        if (sendMessage(TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&tab)) < 0) return false;
        if (!logs_[i].create(hwnd, i, images)) return false;
    }
    showSelectedLog();
    return true;
}

void LogPanel::showSelectedLog() {
    int selected = static_cast<int>(sendMessage(TCM_GETCURSEL));
    if (selected != 1) selected = 0;
    RECT area{};
    GetClientRect(hwnd, &area);
    sendMessage(TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    area.left -= 2;
    area.top -= 2;
    area.right += 2;
    area.bottom += 1;
    HWND shown = logs_[selected].handle();
    HWND hidden = logs_[1 - selected].handle();
    // Directly behind the other list, then shown; the other one is hidden.
    SetWindowPos(shown, hidden, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_SHOWWINDOW);
    ShowWindow(hidden, SW_HIDE);
    const DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_FLATSB;
    SendMessageA(shown, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
}

bool LogPanel::addLogRow(int kind, const char* text, int session) {
    LogListView& list = log(session);
    if (!list.appendRow(kind, text)) return false;
    if (toolbar_ && SendMessageA(toolbar_, TB_ISBUTTONCHECKED, CMD_SCROLL_LOCK, 0)) return true;
    list.sendMessage(LVM_ENSUREVISIBLE, list.rowCount() - 1, FALSE);
    // Paint now, so that rows appear while a long operation keeps the message
    // loop busy.
    RedrawWindow(hwnd, nullptr, nullptr, RDW_UPDATENOW | RDW_NOINTERNALPAINT | RDW_ALLCHILDREN);
    return true;
}

void LogPanel::setTabText(int session, const char* text) {
    TCITEMA tab{};
    tab.mask = TCIF_TEXT;
    tab.pszText = const_cast<char*>(text ? text : "");
    sendMessage(TCM_SETITEMA, session == 1 ? 1 : 0, reinterpret_cast<LPARAM>(&tab));
}

LRESULT LogPanel::customDraw(NMLVCUSTOMDRAW* draw) const {
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        COLORREF text = 0, back = 0;
        if (colors_.forKind(static_cast<int>(draw->nmcd.lItemlParam), text, back)) {
            draw->clrText = text;
            draw->clrTextBk = back;
        }
        return CDRF_DODEFAULT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

void LogPanel::showContextMenu(int session) {
    HMENU menu = LoadMenuA(currentInstance(), MAKEINTRESOURCEA(IDR_MENU_LOG));
    if (!menu) return;
    POINT cursor{};
    GetCursorPos(&cursor);
    HWND owner = GetAncestor(hwnd, GA_ROOT);
    int command = TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY,
                                 cursor.x, cursor.y, 0, owner, nullptr);
    DestroyMenu(menu);
    LogListView& log = logs_[session];
    switch (command) {
    case CMD_LOG_COPY:
        log.copyRows(false, owner);
        break;
    case CMD_LOG_COPY_ALL:
        log.copyRows(true, owner);
        break;
    case CMD_LOG_DELETE_ALL:
        log.deleteAll();
        break;
    default:
        break;
    }
}

LRESULT CALLBACK LogPanel::tabProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NOTIFY && g_panel) {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        UINT_PTR id = header->idFrom;
        if (id == IDC_LOG_FIRST || id == IDC_LOG_FIRST + 1) {
            if (header->code == NM_CUSTOMDRAW)
                return g_panel->customDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
            if (header->code == NM_RCLICK) {
                g_panel->showContextMenu(static_cast<int>(id - IDC_LOG_FIRST));
                return 0;
            }
        }
    }
    return CallWindowProcA(g_previousTabProcedure, window, message, wParam, lParam);
}
