// The download window: template 101, its toolbar, menus, system menu, the
// tick, the progress bar and the settings saved when it closes. Windows side.
#include "app/win32/download_window.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

#include "foundation/string_table.h"
#include "app/win32/application.h"
#include "app/win32/downloader_app.h"
#include "app/win32/hash_dialog.h"
#include "platform/win32/abi_layout.h"
#include "protocol/url.h"
#include "resources/download_window_ids.h"

namespace {

// One download window per process: the subclassed controls find it here and
// keep their previous procedures in these variables.
DownloadWindow* g_window = nullptr;
WNDPROC g_previousHostProcedure = nullptr;
WNDPROC g_previousProgressProcedure = nullptr;

// String-table IDs used here.
enum : unsigned {
    IDS_VERSION_BANNER = 3,
    IDS_CLOSE = 34,
    IDS_ABOUT_MENU = 47,
    IDS_HOME_PAGE_MENU = 48,
    IDS_CANCEL_QUESTION = 49,
    IDS_CONFIRM_CAPTION = 50,
    IDS_CANCEL = 51,
    IDS_TOO_LATE = 52,
    IDS_TOO_LATE_CAPTION = 53,
    IDS_DELETE_QUESTION = 54,
    IDS_TARGET_EXISTS = 55,
    IDS_MOVE_FAILED = 42,
    IDS_MOVE_FAILED_END = 43,
    IDS_SAVE_RETRY_QUESTION = 102,
    IDS_HOME_PAGE = 104,
};

constexpr DWORD kSettingsMenuGuardMs = 300;

std::string loadText(unsigned id) {
    char buffer[256] = "";
    loadStringEntry(id, buffer, sizeof buffer);
    return buffer;
}

// A literal of this source (UTF-8 in the compiler's wide strings) in the
// system's ANSI code page, for the A functions.
std::string ansiText(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

struct ToolTip {
    int command;
    const wchar_t* text;
};
const ToolTip kToolTips[] = {
    {CMD_RESUME, L"再開"}, {CMD_STOP, L"停止"}, {CMD_SCROLL_LOCK, L"ｽｸﾛｰﾙﾛｯｸ"}, {CMD_SETTINGS, L"設定"},
};

const wchar_t* toolTipText(UINT_PTR command) {
    for (const ToolTip& tip : kToolTips)
        if (static_cast<UINT_PTR>(tip.command) == command) return tip.text;
    return nullptr;
}

}  // namespace

// Control 1027 hosts the toolbar: its commands and tooltip requests arrive
// here, then go on to the button's own procedure.
static_assert(offsetof(NMTTDISPINFOA, lpszText) == abiSize(12, 24) && offsetof(NMTTDISPINFOW, lpszText) == abiSize(12, 24),
              "NMTTDISPINFO");
LRESULT CALLBACK toolbarHostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_window) {
        if (message == WM_COMMAND) {
            int command = LOWORD(wParam);
            if (command == CMD_RESUME || command == CMD_STOP || command == CMD_SETTINGS)
                g_window->onToolbarCommand(command);
        } else if (message == WM_NOTIFY) {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header->code == TTN_GETDISPINFOA) {
                auto* info = reinterpret_cast<NMTTDISPINFOA*>(lParam);
                if (const wchar_t* text = toolTipText(header->idFrom)) {
                    static std::string ansi;
                    ansi = ansiText(text);
                    info->lpszText = &ansi[0];
                }
            } else if (header->code == TTN_GETDISPINFOW) {
                auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
                if (const wchar_t* text = toolTipText(header->idFrom)) info->lpszText = const_cast<wchar_t*>(text);
            }
        }
    }
    return CallWindowProcA(g_previousHostProcedure, window, message, wParam, lParam);
}

// Control 1029: the window paints the progress bar. The static's own painting
// would only clear its client area, so the message ends here; the sunken edge
// belongs to the non-client area and is drawn as usual.
LRESULT CALLBACK progressProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT && g_window) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        g_window->paintProgress(dc, client);
        EndPaint(window, &paint);
        return 0;
    }
    return CallWindowProcA(g_previousProgressProcedure, window, message, wParam, lParam);
}

DownloadWindow::DownloadWindow()
    : Dialog(IDD_DOWNLOAD_WINDOW),
      newDownload_(downloaderApp(), downloaderApp().optionsFile()),
      job_(downloaderApp(), *this) {
    icon_ = LoadIconA(currentInstance(), MAKEINTRESOURCEA(IDI_STAGE_ENDED));  // loaded at construction
}

DownloadWindow::~DownloadWindow() {
    if (g_window == this) g_window = nullptr;
}

INT_PTR DownloadWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // Lookups, socket events and the tick go to the job through the seam.
    LRESULT seamResult = 0;
    if (handleSeamMessage(hwnd, message, wParam, lParam, &seamResult)) return seamResult;
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog();
    case WM_DESTROY:
        onDestroy();
        return 0;
    case WM_DRAWITEM:
        return 0;  // control 1027 draws nothing itself
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom == IDC_LOG_TABS && header->code == TCN_SELCHANGE) logs_.showSelectedLog();
        return 0;
    }
    case WM_COMMAND:
        onCommand(LOWORD(wParam));
        return 0;
    case WM_SYSCOMMAND:
        return onSysCommand(wParam);
    case WM_TIMER:
        return 0;  // a timer other than the tick
    case WM_INITMENUPOPUP:
        onInitMenuPopup(reinterpret_cast<HMENU>(wParam));
        return 0;
    case WM_START_DOWNLOAD:
        startDownload();
        return 0;
    case WM_TARGET_EXISTS:
        job_.onTargetExists();
        return 0;
    default:
        return 0;
    }
}

BOOL DownloadWindow::onInitDialog() {
    g_window = this;
    // Before anything can start a lookup, a socket or the tick.
    setSeamWindow(hwnd);
    setPlatformEvents(&job_);
    setStageIcon(STAGE_ENDED);

    HMENU system = GetSystemMenu(hwnd, FALSE);
    if (system) {
        RemoveMenu(system, SC_RESTORE, MF_BYCOMMAND);
        RemoveMenu(system, SC_MAXIMIZE, MF_BYCOMMAND);
        RemoveMenu(system, SC_SIZE, MF_BYCOMMAND);
        AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(system, MF_STRING, SYSCMD_ABOUT, loadText(IDS_ABOUT_MENU).c_str());
        AppendMenuA(system, MF_STRING, SYSCMD_HOME_PAGE, loadText(IDS_HOME_PAGE_MENU).c_str());
    }

    images_ = ImageList_LoadImageA(currentInstance(), MAKEINTRESOURCEA(IDB_LOG_KINDS), 16, 0, RGB(255, 255, 255),
                                   IMAGE_BITMAP, LR_CREATEDIBSECTION);
    if (images_) ImageList_SetBkColor(images_, GetSysColor(COLOR_WINDOW));

    attachControl(closeAtEnd_, IDC_CLOSE_AT_END);
    attachControl(url_, IDC_URL);
    attachControl(targetPath_, IDC_TARGET_PATH);
    attachControl(toolbarHost_, IDC_TOOLBAR_HOST);
    attachControl(tabs_, IDC_LOG_TABS);
    attachControl(progress_, IDC_PROGRESS);
    logs_.attach(tabs_.handle(), true);
    createToolbar();
    g_previousProgressProcedure = subclassWindow(progress_.handle(), progressProcedure);
    g_previousHostProcedure = subclassWindow(toolbarHost_.handle(), toolbarHostProcedure);

    logs_.createLogs(images_, downloaderApp().optionsFile(), toolbar_.handle());
    addLogRow(LOG_INFO, loadText(IDS_VERSION_BANNER), 0);

    centerWindow(hwnd, nullptr);

    DownloaderApp& app = downloaderApp();
    if (!app.resuming) {
        job_.setStage(STAGE_ENDED);
        newDownload_.strURL = app.InputURL;
        newDownload_.strReferer = normalizeReferer(app.InputReferer);
        newDownload_.FirstInit = 1;
    }
    closeAtEnd_.setChecked(app.CloseAtEnd);
    startTickTimer();
    PostMessageA(hwnd, WM_START_DOWNLOAD, 0, 0);
    return TRUE;
}

void DownloadWindow::startDownload() {
    ShowWindow(hwnd, SW_SHOWNA);
    EnableWindow(GetDlgItem(hwnd, IDC_OPEN_FILE), FALSE);
    DownloaderApp& app = downloaderApp();
    if (app.resuming) {
        // A later re-setup starts from the values saved with the job.
        newDownload_.loadRecord(job_.newDownload);
        // The loaded display state tells what the saving window's controls
        // showed; this window's controls show their template texts, so the
        // first tick must set them all, as for a new job (else the close
        // button keeps "閉じる" while the resumed download runs).
        job_.record().displayState = DISPLAY_CLOSE_SHOWS_ENDED | DISPLAY_TOOLBAR_STOPPED;
        job_.start();
        updateToolbarButtons(false, true);
        SetDlgItemTextA(hwnd, IDC_URL, job_.newDownload.strURL.c_str());
        return;
    }
    if (app.NoDialog) {
        // The values are taken as given: the referer is not normalised here.
        newDownload_.strURL = app.InputURL;
        newDownload_.strReferer = app.InputReferer;
        newDownload_.strProxy = app.Proxy;
        newDownload_.strTargetDir = app.DstDir;
    } else {
        if (newDownload_.runModal(hwnd) != IDOK) {
            EndDialog(hwnd, IDCANCEL);
            return;
        }
        closeAtEnd_.setChecked(app.CloseAtEnd);
    }
    startJob();
}

void DownloadWindow::startJob() {
    DownloaderApp& app = downloaderApp();
    job_.newDownload.strURL = newDownload_.strURL.str();
    job_.newDownload.strReferer = newDownload_.strReferer.str();
    job_.newDownload.strProxy = newDownload_.strProxy.str();
    job_.newDownload.strTargetDir = newDownload_.strTargetDir.str();
    app.Proxy = newDownload_.strProxy.str();
    app.DstDir = newDownload_.strTargetDir.str();
    job_.start();
}

bool DownloadWindow::createToolbar() {
    RECT rect = {0, 0, 210, 100};
    if (!toolbar_.create(WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_NODIVIDER | CCS_NORESIZE |
                             CCS_TOP,
                         rect, toolbarHost_.handle(), IDC_TOOLBAR))
        return false;
    // Image index = button position; white is transparent, so the disabled
    // images the toolbar derives from the mask look right.
    toolbarImages_ = ImageList_LoadImageA(currentInstance(), MAKEINTRESOURCEA(IDB_TOOLBAR), 16, 0,
                                          RGB(255, 255, 255), IMAGE_BITMAP, LR_CREATEDIBSECTION);
    toolbar_.sendMessage(TB_SETBITMAPSIZE, 0, MAKELPARAM(16, 15));
    toolbar_.sendMessage(TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolbarImages_));
    bool scrollLock = downloaderApp().readInt("MainOptions", "ScrollLock", 0) != 0;
    TBBUTTON buttons[5] = {};
    buttons[0] = {0, CMD_RESUME, 0, BTNS_BUTTON, {0}, 0, 0};
    buttons[1] = {1, CMD_STOP, 0, BTNS_BUTTON, {0}, 0, 0};
    buttons[2] = {8, 0, TBSTATE_ENABLED, BTNS_SEP, {0}, 0, 0};  // iBitmap: the separator's width
    buttons[3] = {2, CMD_SCROLL_LOCK, static_cast<BYTE>(TBSTATE_ENABLED | (scrollLock ? TBSTATE_CHECKED : 0)),
                  BTNS_CHECK, {0}, 0, 0};
    buttons[4] = {3, CMD_SETTINGS, TBSTATE_ENABLED, BTNS_BUTTON, {0}, 0, 0};
    return toolbar_.sendMessage(TB_ADDBUTTONSA, 5, reinterpret_cast<LPARAM>(buttons)) != 0;
}

bool DownloadWindow::isScrollLocked() const {
    return toolbar_.sendMessage(TB_ISBUTTONCHECKED, CMD_SCROLL_LOCK) != 0;
}

void DownloadWindow::onDestroy() {
    stopTickTimer();
    if (images_) {
        // The lists share it and are destroyed after this window: they must
        // not draw with it once it is gone.
        for (int i = 0; i < 2; ++i) logs_.log(i).sendMessage(LVM_SETIMAGELIST, LVSIL_SMALL, 0);
        ImageList_Destroy(images_);
        images_ = nullptr;
    }
    saveWindowSettings();
    if (toolbarImages_) {
        ImageList_Destroy(toolbarImages_);
        toolbarImages_ = nullptr;
    }
    // Nothing may reach the job through this window any more.
    setPlatformEvents(nullptr);
    setSeamWindow(nullptr);
}

void DownloadWindow::saveWindowSettings() {
    // Read both states before asking anything: the question's message loop
    // must not see half-destroyed controls.
    int closeAtEnd = closeAtEnd_.isChecked() ? 1 : 0;
    int scrollLock = isScrollLocked() ? 1 : 0;
    DownloaderApp& app = downloaderApp();
    for (;;) {
        bool ok = app.writeInt("MainOptions", "CloseWithComplete", closeAtEnd);
        ok = app.writeInt("MainOptions", "ScrollLock", scrollLock) && ok;
        if (ok) return;
        if (MessageBoxA(hwnd, loadText(IDS_SAVE_RETRY_QUESTION).c_str(), "Dorimel", MB_YESNO | MB_ICONWARNING) != IDYES)
            return;
    }
}

void DownloadWindow::onCommand(int command) {
    DownloadOptions& options = downloaderApp().downloadOptions;
    switch (command) {
    case IDCANCEL:
        closeOrCancel();
        break;
    case IDC_OPEN_FILE:
        openFile();
        break;
    case IDC_OPEN_FOLDER:
        openFolder();
        break;
    case IDC_HASH_MENU:
        showHashMenu();
        break;
    case CMD_OPT_RESTART_IF_NO_RESUME:
        options.set(FLAG_RESTART_IF_NO_RESUME, !options.has(FLAG_RESTART_IF_NO_RESUME));
        break;
    case CMD_OPT_NO_REDIRECT:
        options.set(FLAG_NO_REDIRECT, !options.has(FLAG_NO_REDIRECT));
        break;
    case CMD_OPT_RETRY_ON_ERROR:
        options.set(FLAG_RETRY_ON_ERROR, !options.has(FLAG_RETRY_ON_ERROR));
        break;
    case CMD_OPT_SPEED_LIMIT:
        options.set(FLAG_SPEED_LIMIT, !options.has(FLAG_SPEED_LIMIT));
        // Data held back by the limit flows at once.
        if (!options.has(FLAG_SPEED_LIMIT)) job_.speedLimitSwitchedOff();
        break;
    case CMD_OPT_RESETUP:
        reSetup();
        break;
    default:
        break;
    }
}

void DownloadWindow::onToolbarCommand(int command) {
    switch (command) {
    case CMD_RESUME:
        job_.resume();
        break;
    case CMD_STOP:
        job_.stopJob();
        break;
    case CMD_SETTINGS:
        showSettingsMenu();
        break;
    default:
        break;
    }
}

void DownloadWindow::showSettingsMenu() {
    if (settingsMenuEverShown_ && GetTickCount() - settingsMenuClosedAt_ < kSettingsMenuGuardMs) return;
    HMENU menu = LoadMenuA(currentInstance(), MAKEINTRESOURCEA(IDR_MENU_OPTION));
    if (!menu) return;
    RECT button{};
    toolbar_.sendMessage(TB_GETRECT, CMD_SETTINGS, reinterpret_cast<LPARAM>(&button));
    POINT corner = {button.left - 2, button.bottom};
    ClientToScreen(toolbar_.handle(), &corner);
    toolbar_.sendMessage(TB_PRESSBUTTON, CMD_SETTINGS, TRUE);
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_LEFTBUTTON, corner.x, corner.y, 0, hwnd, nullptr);
    toolbar_.sendMessage(TB_PRESSBUTTON, CMD_SETTINGS, FALSE);
    DestroyMenu(menu);
    settingsMenuClosedAt_ = GetTickCount();
    settingsMenuEverShown_ = true;
}

void DownloadWindow::showHashMenu() {
    JobRecord& record = job_.record();
    bool moved = record.moveSucceeded != 0;
    HMENU menu = LoadMenuA(currentInstance(), MAKEINTRESOURCEA(moved ? IDR_MENU_HASH_POST : IDR_MENU_HASH_PRE));
    if (menu) {
        POINT cursor{};
        GetCursorPos(&cursor);
        int command = TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RETURNCMD | TPM_NONOTIFY, cursor.x,
                                     cursor.y, 0, hwnd, nullptr);
        DestroyMenu(menu);
        HashKind kind = HASH_SHA1;
        bool chosen = true;
        switch (command) {
        case CMD_HASH_MD5_COMPUTE:
        case CMD_HASH_MD5_ENTER:
            kind = HASH_MD5;
            break;
        case CMD_HASH_SHA1_COMPUTE:
        case CMD_HASH_SHA1_ENTER:
            kind = HASH_SHA1;
            break;
        case CMD_HASH_SHA256_COMPUTE:
        case CMD_HASH_SHA256_ENTER:
            kind = HASH_SHA256;
            break;
        default:
            chosen = false;
            break;
        }
        if (chosen) {
            // The file the digest is about: where the download is (or will
            // be) kept, never the temporary file, which is only hashed once
            // it has been moved into place.
            std::string path = job_.destinationPath();
            runHashDialog(hwnd, kind, path, moved, record.enteredMd5, record.enteredSha1, record.enteredSha256);
        }
    }
    CheckDlgButton(hwnd, IDC_HASH_MENU, BST_UNCHECKED);
}

void DownloadWindow::reSetup() {
    HWND focus = GetFocus();
    Text oldProxy = newDownload_.strProxy;
    Text oldUrl = newDownload_.strURL;
    if (newDownload_.runModal(hwnd) != IDOK) return;
    bool proxyChanged = newDownload_.strProxy != oldProxy;
    bool urlChanged = newDownload_.strURL != oldUrl;
    std::string referer = newDownload_.strReferer.str();
    std::string url = newDownload_.strURL.str();
    DownloaderApp& app = downloaderApp();
    app.Proxy = newDownload_.strProxy.str();
    app.DstDir = newDownload_.strTargetDir.str();
    job_.newDownload.strURL = url;
    job_.newDownload.strReferer = referer;
    job_.newDownload.strProxy = app.Proxy;
    job_.newDownload.strTargetDir = app.DstDir;
    for (int i = 0; i < 2; ++i) {
        TransferSession& session = job_.session(i);
        if (session.referer != referer) session.referer = referer;
        if (session.phase == PHASE_IDLE) continue;
        if (proxyChanged) session.phase = PHASE_RESOLVING;
        if (urlChanged) {
            SetDlgItemTextA(hwnd, IDC_URL, url.c_str());
            session.url = url;
            session.referer = referer;
            session.phase = PHASE_RESOLVING;
        }
    }
    SetDlgItemTextA(hwnd, IDC_TARGET_PATH, job_.destinationPath().c_str());
    // Back to the control that had the focus before the dialog.
    if (focus && IsChild(hwnd, focus)) SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    job_.setStage(STAGE_RUNNING);
    job_.restartSessions();
}

void DownloadWindow::openFile() {
    WaitCursor wait;
    std::string path = job_.record().moveSucceeded ? job_.destinationPath() : job_.tempPath();
    ShellExecuteA(hwnd, nullptr, path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    EndDialog(hwnd, IDC_OPEN_FILE);
}

namespace {

bool pathExists(const std::string& path) {
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when the shell's folder handler is the plain Explorer: the default
// value of HKEY_CLASSES_ROOT\Folder\shell can be read and is empty.
bool folderHandlerIsExplorer() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Folder\\shell", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char value[260] = "";
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && value[0] == '\0';
}

}  // namespace

void DownloadWindow::openFolder() {
    if (!job_.hasTempFile()) return;
    {
        WaitCursor wait;
        std::string path = job_.tempPath();
        if (!pathExists(path)) path = job_.destinationPath();
        if (!pathExists(path)) return;
        DWORD attributes = GetFileAttributesA(path.c_str());
        DownloaderApp& app = downloaderApp();
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            ShellExecuteA(hwnd, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        } else if (app.readInt("MainOptions", "OpenFolderWithExplorer", 0) != 0 || folderHandlerIsExplorer()) {
            char shortPath[MAX_PATH] = "";
            if (GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath) == 0 || shortPath[0] == '\0')
                lstrcpynA(shortPath, path.c_str(), sizeof shortPath);
            std::string parameters = std::string("/select,") + shortPath + ",/n";
            ShellExecuteA(hwnd, "open", "explorer.exe", parameters.c_str(), nullptr, SW_SHOWNORMAL);
        } else {
            Text folder(path);
            char* buffer = folder.reserve(path.size() + 1);
            PathRemoveFileSpecA(buffer);
            folder.refreshLength();
            ShellExecuteA(hwnd, "open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        }
    }
    if (downloaderApp().readInt("MainOptions", "CloseOnFolderOpen", 0) != 0) EndDialog(hwnd, IDC_OPEN_FOLDER);
}

void DownloadWindow::onInitMenuPopup(HMENU menu) {
    // Only the option menu carries these items.
    if (GetMenuState(menu, CMD_OPT_SPEED_LIMIT, MF_BYCOMMAND) == static_cast<UINT>(-1)) return;
    const DownloaderApp& app = downloaderApp();
    const DownloadOptions& options = app.downloadOptions;
    auto check = [&](UINT id, bool on) { CheckMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); };
    auto enable = [&](UINT id, bool on) { EnableMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED)); };
    check(CMD_OPT_RESTART_IF_NO_RESUME, options.has(FLAG_RESTART_IF_NO_RESUME));
    enable(CMD_OPT_RESETUP, job_.stage() == STAGE_STOPPED);
    enable(CMD_OPT_SPEED_LIMIT, options.speedLimit != 0);
    check(CMD_OPT_SPEED_LIMIT, options.has(FLAG_SPEED_LIMIT));
    check(CMD_OPT_NO_REDIRECT, options.has(FLAG_NO_REDIRECT));
    check(CMD_OPT_RETRY_ON_ERROR, options.has(FLAG_RETRY_ON_ERROR));
}

INT_PTR DownloadWindow::onSysCommand(WPARAM command) {
    switch (command & 0xFFF0) {
    case SYSCMD_ABOUT: {
        std::string text = "\nDorimel ver0.11";
        text.append(19, ' ');
        text += "\r\n";
        text.append(28, ' ');
        MessageBoxA(hwnd, text.c_str(), "About", MB_ICONINFORMATION);
        return TRUE;
    }
    case SYSCMD_HOME_PAGE:
        ShellExecuteA(hwnd, nullptr, loadText(IDS_HOME_PAGE).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return TRUE;
    default:
        return 0;  // the default handling
    }
}

void DownloadWindow::closeOrCancel() {
    if (job_.stage() == STAGE_ENDED || !job_.hasTempFile()) {
        job_.cancelAllSessions();
        job_.setStage(STAGE_ENDED);
        EndDialog(hwnd, IDCANCEL);
        return;
    }
    if (MessageBoxA(hwnd, loadText(IDS_CANCEL_QUESTION).c_str(), loadText(IDS_CONFIRM_CAPTION).c_str(),
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;
    job_.cancelDownload();
    EndDialog(hwnd, IDCANCEL);
}

JobStatus DownloadWindow::jobStatus() const { return jobStatusOf(job_, downloaderApp()); }

void DownloadWindow::refreshDisplay() {
    JobStatus status = jobStatus();
    char current[512] = "";
    GetWindowTextA(hwnd, current, sizeof current);
    static const std::string suffix = " " + ansiText(L"（速度制限中）");
    // The display state, elapsed time and speed ratio live in the job (they
    // are saved with it); the tick's counters are the display's own.
    JobRecord& record = job_.record();
    ticker_.displayState = static_cast<unsigned>(record.displayState);
    ticker_.elapsedSeconds = record.elapsedSeconds;
    ticker_.speedRatio = record.speedRatio;
    TickUpdate u = ticker_.tick(status, current, suffix);
    record.displayState = static_cast<int32_t>(ticker_.displayState);
    record.elapsedSeconds = static_cast<uint32_t>(ticker_.elapsedSeconds);
    record.speedRatio = ticker_.speedRatio;
    if (u.setTitle) SetWindowTextA(hwnd, u.title.c_str());
    if (u.closeButtonChanged)
        SetDlgItemTextA(hwnd, IDCANCEL, loadText(u.closeShowsEnded ? IDS_CLOSE : IDS_CANCEL).c_str());
    if (u.toolbarChanged) updateToolbarButtons(u.resumeEnabled, u.stopEnabled);
    if (progress_.handle()) InvalidateRect(progress_.handle(), nullptr, FALSE);
    if (u.setElapsed) SetDlgItemTextA(hwnd, IDC_ELAPSED, u.elapsed.c_str());
    if (u.setSpeed) SetDlgItemTextA(hwnd, IDC_SPEED, u.speed.c_str());
    if (u.setRemaining) SetDlgItemTextA(hwnd, IDC_REMAINING, u.remaining.c_str());
}

void DownloadWindow::updateToolbarButtons(bool resumeEnabled, bool stopEnabled) {
    toolbar_.sendMessage(TB_ENABLEBUTTON, CMD_RESUME, MAKELPARAM(resumeEnabled ? TRUE : FALSE, 0));
    toolbar_.sendMessage(TB_ENABLEBUTTON, CMD_STOP, MAKELPARAM(stopEnabled ? TRUE : FALSE, 0));
}

void DownloadWindow::paintProgress(HDC dc, const RECT& client) {
    JobStatus status = jobStatus();
    std::vector<BarSegment> bar = progressBar(status, client.right - client.left);
    HBRUSH done = GetSysColorBrush(COLOR_ACTIVECAPTION);
    HBRUSH rest = GetSysColorBrush(COLOR_BTNFACE);
    for (const BarSegment& piece : bar) {
        RECT r = {client.left + piece.left, client.top, client.left + piece.right, client.bottom};
        if (piece.done) {
            r.top += 1;
            r.bottom -= 1;
        }
        FillRect(dc, &r, piece.done ? done : rest);
    }
}

void DownloadWindow::addLogRow(int kind, const std::string& text, int session) {
    logs_.addLogRow(kind, text.c_str(), session);
}

void DownloadWindow::setControlText(int controlId, const std::string& text) {
    SetDlgItemTextA(hwnd, controlId, text.c_str());
}

void DownloadWindow::setTitle(const std::string& text) {
    SetWindowTextA(hwnd, text.c_str());
}

void DownloadWindow::setStageIcon(int stage) {
    int id = stage == STATUS_STAGE_RUNNING ? IDI_STAGE_RUNNING
             : stage == STATUS_STAGE_STOPPED ? IDI_STAGE_STOPPED
                                             : IDI_STAGE_ENDED;
    // Each size from its own image of the icon (shared handles: nothing to free).
    auto load = [&](int size) {
        return reinterpret_cast<LPARAM>(
            LoadImageA(currentInstance(), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, LR_SHARED));
    };
    SendMessageA(hwnd, WM_SETICON, ICON_BIG, load(GetSystemMetrics(SM_CXICON)));
    SendMessageA(hwnd, WM_SETICON, ICON_SMALL, load(GetSystemMetrics(SM_CXSMICON)));
}

void DownloadWindow::setTabText(int session, const std::string& text) {
    logs_.setTabText(session, text.c_str());
}

void DownloadWindow::postTargetExists() {
    PostMessageA(hwnd, WM_TARGET_EXISTS, 0, 0);
}

bool DownloadWindow::askCancelBecauseTargetExists(const std::string& destinationPath) {
    std::string text = destinationPath + loadText(IDS_TARGET_EXISTS);
    return MessageBoxA(hwnd, text.c_str(), loadText(IDS_CONFIRM_CAPTION).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

bool DownloadWindow::askDeleteTempFile() {
    return MessageBoxA(hwnd, loadText(IDS_DELETE_QUESTION).c_str(), loadText(IDS_CONFIRM_CAPTION).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

void DownloadWindow::showTooLate() {
    MessageBoxA(hwnd, loadText(IDS_TOO_LATE).c_str(), loadText(IDS_TOO_LATE_CAPTION).c_str(),
                MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

void DownloadWindow::showMoveFailed(const std::string& tempPath) {
    std::string text = loadText(IDS_MOVE_FAILED) + tempPath + loadText(IDS_MOVE_FAILED_END);
    MessageBoxA(hwnd, text.c_str(), "Dorimel", MB_OK | MB_ICONWARNING);
}

void DownloadWindow::hideWindow() {
    ShowWindow(hwnd, SW_HIDE);
}

void DownloadWindow::endWindow() {
    EndDialog(hwnd, IDCANCEL);
}

void DownloadWindow::finishWindow() {
    if (closeAtEnd_.isChecked()) {
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        return;
    }
    SetForegroundWindow(hwnd);
    // Through the dialog manager, so that the default push button follows.
    SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hwnd, IDC_CLOSE_AT_END)), TRUE);
    EnableWindow(GetDlgItem(hwnd, IDC_OPEN_FILE), TRUE);
    EnableWindow(GetDlgItem(hwnd, IDC_OPEN_FOLDER), TRUE);
    EnableWindow(GetDlgItem(hwnd, IDC_HASH_MENU), TRUE);
}

bool DownloadWindow::useDirectDelete() {
    return downloaderApp().readInt("MainOptions", "IsUseDirectDelete", 0) != 0;
}

bool DownloadWindow::autoCancelFtpSpeedLimit() {
    return downloaderApp().readInt("MainOptions", "IsAutoCancalFtpSpeedLimit", 0) != 0;
}
