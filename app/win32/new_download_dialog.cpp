// The new-download dialog: start-up defaults, the URL from the clipboard, the
// folder box with its history, collecting and checking the values at OK, and
// saving them as defaults. Windows side, user-interface thread only.
#include "app/win32/new_download_dialog.h"

#include <commctrl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/new_download_rules.h"
#include "foundation/string_table.h"
#include "platform/win32/abi_layout.h"
#include "protocol/url.h"
#include "resources/new_download_dialog_ids.h"
#include "state/records.h"

namespace {

// String-table IDs used by the dialog.
enum : unsigned {
    IDS_FOLDER_NAME_CHARACTERS = 32,  // "フォルダ名に以下の文字列は使えません。..."
    IDS_FOLDER_NAME_INVALID = 33,     // caption "フォルダ名が不正です"
    IDS_CONFIRM = 50,                 // caption "確認"
    IDS_CHOOSE_FOLDER = 56,           // "フォルダを選択"
    IDS_URL_REFUSED = 57,    // "URLが不正です。URLは HTTPおよびFTP のみ有効です。"
    IDS_ENCODE_URL = 58,     // "URLをエンコードしますか？"
    IDS_ENTER_URL = 59,      // "URL を入力してください。"
    IDS_ENTER_FOLDER = 60,   // "保存先を入力してください"
    IDS_NOT_A_FOLDER = 61,   // " はフォルダではありません。"
    IDS_FOLDER_PREFIX = 62,  // "保存先フォルダ "
    IDS_CREATE_FOLDER = 63,  // " は存在しません。\n\n新しく作成しますか？"
    IDS_CREATE_FAILED = 64,  // "フォルダを作成できませんでした。"
    IDS_ENTER_SPEED = 65,    // "速度制限値を設定してください。"
    IDS_SAVE_FAILED = 100,   // "設定の保存に失敗しました。"
    IDS_SAVE_FAILED_CONTINUE = 101,  // "設定の保存に失敗しました。続行しますか？"
};

// The most history keys a dialog start reads.
constexpr int32_t kMaxHistoryRead = 1024;

// The check boxes and the flag each one edits.
struct FlagBox {
    int itemId;
    uint32_t flag;
};
const FlagBox kFlagBoxes[] = {
    {IDC_ND_NO_CACHE, FLAG_PROXY_NO_CACHE},
    {IDC_ND_SPLIT, FLAG_SPLIT},
    {IDC_ND_SPEED_LIMIT, FLAG_SPEED_LIMIT},
    {IDC_ND_NO_REDIRECT, FLAG_NO_REDIRECT},
    {IDC_ND_RETRY_ON_ERROR, FLAG_RETRY_ON_ERROR},
    {IDC_ND_RESTART_IF_NO_RESUME, FLAG_RESTART_IF_NO_RESUME},
};

std::string loadText(unsigned id) {
    char buffer[256] = "";
    loadStringEntry(id, buffer, sizeof buffer);
    return buffer;
}

// The whole text of a window. Edit boxes are read in full: a URL or referer
// longer than the framework's 255-byte item text must not be cut.
std::string fullWindowText(HWND window) {
    if (!window) return std::string();
    int length = GetWindowTextLengthA(window);
    if (length <= 0) return std::string();
    std::string text(size_t(length) + 1, '\0');
    int got = GetWindowTextA(window, &text[0], length + 1);
    text.resize(got > 0 ? size_t(got) : 0);
    return text;
}

bool isBoxChecked(HWND dialog, int itemId) {
    return IsDlgButtonChecked(dialog, itemId) == BST_CHECKED;
}

void setBoxChecked(HWND dialog, int itemId, bool on) {
    CheckDlgButton(dialog, itemId, on ? BST_CHECKED : BST_UNCHECKED);
}

class WindowsFolderMaker : public FolderMaker {
  public:
    bool isFolder(const std::string& path) override {
        DWORD attributes = GetFileAttributesA(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    bool createFolder(const std::string& path) override {
        return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
    }
};

// The questions of checkEnteredUrl as message boxes owned by the dialog.
class DialogUrlPrompts : public EnteredUrlPrompts {
  public:
    explicit DialogUrlPrompts(HWND dialog) : dialog_(dialog) {}
    void showSchemeRefused() override {
        MessageBoxA(dialog_, loadText(IDS_URL_REFUSED).c_str(), nullptr, MB_ICONWARNING);
    }
    EncodeAnswer askEncode(const std::string&, const std::string&) override {
        switch (MessageBoxA(dialog_, loadText(IDS_ENCODE_URL).c_str(),
                            loadText(IDS_CONFIRM).c_str(), MB_YESNOCANCEL | MB_ICONQUESTION)) {
            case IDYES:
                return EncodeAnswer::Yes;
            case IDNO:
                return EncodeAnswer::No;
            default:
                return EncodeAnswer::Cancel;
        }
    }

  private:
    HWND dialog_;
};

}  // namespace

std::string urlFromClipboard(HWND owner, bool https) {
    if (!IsClipboardFormatAvailable(CF_TEXT) || !OpenClipboard(owner)) return std::string();
    std::string text;
    bool tooLong = false;
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* locked = static_cast<const char*>(GlobalLock(data))) {
            // The text ends at its NUL; the global block may be larger.
            size_t limit = GlobalSize(data);
            size_t length = 0;
            while (length < limit && locked[length] != '\0') {
                if (++length >= kClipboardUrlLimit) {
                    tooLong = true;
                    break;
                }
            }
            if (!tooLong) text.assign(locked, length);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    if (tooLong) return std::string();
    return urlFromClipboardText(text, https);
}

std::string desktopFolder(HWND owner) {
    char path[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(owner, path, CSIDL_DESKTOPDIRECTORY, FALSE) || !path[0])
        return std::string();
    Text folder(path);
    folder.addBackslash();
    return folder.str();
}

NewDownloadDialog::NewDownloadDialog(AppSettings& settings, const OptionsFile& options)
    : Dialog(IDD_NEW_DOWNLOAD), settings_(settings), options_(options) {}

void NewDownloadDialog::storeRecord(NewDownloadRecord& record) const {
    record.FirstInit = FirstInit;
    record.strURL = strURL.str();
    record.strReferer = strReferer.str();
    record.strProxy = strProxy.str();
    record.strTargetDir = strTargetDir.str();
}

void NewDownloadDialog::loadRecord(const NewDownloadRecord& record) {
    FirstInit = record.FirstInit;
    strURL = record.strURL;
    strReferer = record.strReferer;
    strProxy = record.strProxy;
    strTargetDir = record.strTargetDir;
}

INT_PTR NewDownloadDialog::handleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return onInitDialog();
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    onOk();
                    return TRUE;
                case IDCANCEL:
                    restoreStartValues();
                    EndDialog(hwnd, IDCANCEL);
                    return TRUE;
                case IDC_ND_BROWSE:
                    onBrowse();
                    return TRUE;
                case IDC_ND_SAVE_DEFAULT:
                    onSaveAsDefault();
                    return TRUE;
                case IDC_ND_SPEED_LIMIT:
                    EnableWindow(GetDlgItem(hwnd, IDC_ND_SPEED_VALUE),
                                 isBoxChecked(hwnd, IDC_ND_SPEED_LIMIT));
                    return TRUE;
                case IDC_ND_DESKTOP:
                    onDesktop();
                    return TRUE;
            }
            return FALSE;
    }
    return FALSE;
}

BOOL NewDownloadDialog::onInitDialog() {
    attachControl(urlBox_, IDC_ND_URL);
    attachControl(folderBox_, IDC_ND_FOLDER);
    attachControl(refererBox_, IDC_ND_REFERER);
    attachControl(proxyBox_, IDC_ND_PROXY);

    if (strURL.empty()) strURL = urlFromClipboard(hwnd, settings_.EnableHttps);

    if (FirstInit == 1) {
        strProxy = settings_.Proxy;
        setBoxChecked(hwnd, IDC_ND_NO_CACHE, settings_.downloadOptions.has(FLAG_PROXY_NO_CACHE));
        strTargetDir = settings_.DstDir;
        if (strTargetDir.empty()) strTargetDir = desktopFolder(hwnd);
    } else {
        // The download is already set up: splitting cannot change any more.
        EnableWindow(GetDlgItem(hwnd, IDC_ND_SPLIT), FALSE);
    }

    for (const FlagBox& box : kFlagBoxes)
        setBoxChecked(hwnd, box.itemId, settings_.downloadOptions.has(box.flag));
    setBoxChecked(hwnd, IDC_ND_CLOSE_AT_END, settings_.CloseAtEnd);

    urlBox_.setText(strURL.c_str());
    refererBox_.setText(strReferer.c_str());
    proxyBox_.setText(strProxy.c_str());

    folderBox_.insertItem(0, strTargetDir.c_str());
    folderBox_.select(0);
    OptionsFile options(options_.path());
    // A hand-edited count must not keep the dialog reading keys for ever.
    int32_t dirCount = options.readInt("TargetDirs", "DirCount", 0);
    if (dirCount > kMaxHistoryRead) dirCount = kMaxHistoryRead;
    for (int32_t i = 0; i < dirCount; ++i) {
        std::string key = "Dir" + std::to_string(i);
        std::string folder = options.readText("TargetDirs", key.c_str(), "");
        if (folder.empty()) continue;
        // An index beyond the list (after skipped repeats) appends.
        int count = folderBox_.count();
        folderBox_.insertIfAbsent(i <= count ? int(i) : count, folder.c_str());
    }

    char speed[16];
    wsprintfA(speed, "%d", int(settings_.downloadOptions.speedLimit));
    SetDlgItemTextA(hwnd, IDC_ND_SPEED_VALUE, speed);
    EnableWindow(GetDlgItem(hwnd, IDC_ND_SPEED_VALUE),
                 settings_.downloadOptions.has(FLAG_SPEED_LIMIT));

    FirstInit = 0;
    saveStartValues();
    return TRUE;
}

void NewDownloadDialog::saveStartValues() {
    start_.url = strURL;
    start_.referer = strReferer;
    start_.proxy = strProxy;
    start_.targetDir = strTargetDir;
    start_.options = settings_.downloadOptions;
    start_.closeAtEnd = settings_.CloseAtEnd;
}

void NewDownloadDialog::restoreStartValues() {
    strURL = start_.url;
    strReferer = start_.referer;
    strProxy = start_.proxy;
    strTargetDir = start_.targetDir;
    settings_.downloadOptions = start_.options;
    settings_.CloseAtEnd = start_.closeAtEnd;
}

int NewDownloadDialog::messageBox(const char* text, const char* caption, UINT type) {
    return MessageBoxA(hwnd, text, caption, type);
}

void NewDownloadDialog::focusControl(int itemId) {
    HWND control = GetDlgItem(hwnd, itemId);
    if (itemId == IDC_ND_FOLDER) {
        // The folder box takes the focus in its edit field.
        if (HWND edit = reinterpret_cast<HWND>(folderBox_.sendMessage(CBEM_GETEDITCONTROL)))
            control = edit;
    }
    if (!control) return;
    SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

bool NewDownloadDialog::collectFolder(bool check) {
    HWND edit = reinterpret_cast<HWND>(folderBox_.sendMessage(CBEM_GETEDITCONTROL));
    std::string typed = fullWindowText(edit);
    if (check && typed.empty()) {
        showStringWarning(IDS_ENTER_FOLDER, nullptr);
        focusControl(IDC_ND_FOLDER);
        return false;
    }
    strTargetDir = typed;
    if (check && !strTargetDir.isValidFolderPath()) {
        messageBox(loadText(IDS_FOLDER_NAME_CHARACTERS).c_str(),
                   loadText(IDS_FOLDER_NAME_INVALID).c_str(), MB_ICONWARNING);
        focusControl(IDC_ND_FOLDER);
        return false;
    }
    strTargetDir.stripTrailingBackslash();
    if (check) {
        DWORD attributes = GetFileAttributesA(strTargetDir.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                std::string text = strTargetDir.str() + loadText(IDS_NOT_A_FOLDER);
                messageBox(text.c_str(), nullptr, MB_ICONWARNING);
                focusControl(IDC_ND_FOLDER);
                return false;
            }
        } else {
            std::string question =
                loadText(IDS_FOLDER_PREFIX) + strTargetDir.str() + loadText(IDS_CREATE_FOLDER);
            if (messageBox(question.c_str(), loadText(IDS_CONFIRM).c_str(),
                           MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
                focusControl(IDC_ND_FOLDER);
                return false;
            }
            strTargetDir.stripTrailingBackslash();
            WindowsFolderMaker maker;
            if (!createFolderWithParents(strTargetDir.str(), maker)) {
                showStringWarning(IDS_CREATE_FAILED, nullptr);
                focusControl(IDC_ND_FOLDER);
                return false;
            }
        }
    }
    strTargetDir.addBackslash();
    return true;
}

bool NewDownloadDialog::collect(bool check) {
    strURL = fullWindowText(urlBox_.handle());
    if (check) {
        if (strURL.empty()) {
            showStringWarning(IDS_ENTER_URL, nullptr);
            focusControl(IDC_ND_URL);
            return false;
        }
        std::string url = strURL.str();
        DialogUrlPrompts prompts(hwnd);
        bool accepted = checkEnteredUrl(url, prompts, settings_.EnableHttps);
        strURL = url;
        if (!accepted) {
            focusControl(IDC_ND_URL);
            return false;
        }
    }

    if (!collectFolder(check)) return false;

    strReferer = fullWindowText(refererBox_.handle());
    strProxy = fullWindowText(proxyBox_.handle());

    uint32_t flags = 0;
    for (const FlagBox& box : kFlagBoxes) {
        if (isBoxChecked(hwnd, box.itemId)) flags |= box.flag;
    }
    settings_.downloadOptions.flags = flags;
    settings_.CloseAtEnd = isBoxChecked(hwnd, IDC_ND_CLOSE_AT_END);

    if (flags & FLAG_SPEED_LIMIT) {
        std::string speed = fullWindowText(GetDlgItem(hwnd, IDC_ND_SPEED_VALUE));
        int32_t value = 0;
        if (parseSpeedLimit(speed, value)) {
            settings_.downloadOptions.speedLimit = value;
        } else if (check) {
            showStringWarning(IDS_ENTER_SPEED, nullptr);
            focusControl(IDC_ND_SPEED_VALUE);
            return false;
        }
    }
    return true;
}

bool NewDownloadDialog::writeFolderHistory() {
    std::vector<std::string> items;
    int count = folderBox_.count();
    for (int i = 0; i < count; ++i) {
        char buffer[MAX_PATH] = "";
        if (folderBox_.getItem(i, buffer, sizeof buffer)) items.push_back(buffer);
    }
    std::vector<std::string> history = folderHistory(strTargetDir.str(), items);
    OptionsFile options(options_.path());
    bool ok = options.writeInt("TargetDirs", "DirCount", int32_t(history.size()));
    for (size_t i = 0; i < history.size(); ++i) {
        std::string key = "Dir" + std::to_string(i);
        if (!options.writeText("TargetDirs", key.c_str(), history[i].c_str())) ok = false;
    }
    return ok;
}

void NewDownloadDialog::onOk() {
    if (!collect(true)) return;

    // The download window takes the dialog's place on the screen.
    HWND owner = GetWindow(hwnd, GW_OWNER);
    RECT rect;
    if (owner && GetWindowRect(hwnd, &rect)) {
        SetWindowPos(owner, nullptr, rect.left, rect.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    if (!writeFolderHistory() && messageBox(loadText(IDS_SAVE_FAILED_CONTINUE).c_str(), "Dorimel",
                                            MB_YESNO | MB_ICONWARNING) != IDYES) {
        return;
    }
    EndDialog(hwnd, IDOK);
}

void NewDownloadDialog::onSaveAsDefault() {
    collect(false);
    OptionsFile options(options_.path());
    bool ok = options.writeText("DefaultValues", "Proxy", strProxy.c_str());
    ok = options.writeText("DefaultValues", "DestDir", strTargetDir.c_str()) && ok;
    ok = options.writeInt("MainOptions", "Flags", int32_t(settings_.downloadOptions.flags)) && ok;
    ok =
        options.writeInt("MainOptions", "SuppressSize", settings_.downloadOptions.speedLimit) && ok;
    if (!ok) showStringWarning(IDS_SAVE_FAILED, nullptr);
}

void NewDownloadDialog::keepEditTextInHistory() {
    HWND edit = reinterpret_cast<HWND>(folderBox_.sendMessage(CBEM_GETEDITCONTROL));
    std::string typed = fullWindowText(edit);
    if (!typed.empty()) folderBox_.insertIfAbsent(0, typed.c_str());
}

static_assert(sizeof(BROWSEINFOA) == abiSize(32, 64) && offsetof(BROWSEINFOA, ulFlags) == abiSize(16, 32),
              "BROWSEINFOA");

void NewDownloadDialog::onBrowse() {
    keepEditTextInHistory();
    std::string title = loadText(IDS_CHOOSE_FOLDER);
    char displayName[MAX_PATH] = "";
    BROWSEINFOA info{};
    info.hwndOwner = hwnd;
    info.pszDisplayName = displayName;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (!chosen) return;
    char path[MAX_PATH] = "";
    if (SHGetPathFromIDListA(chosen, path) && path[0]) folderBox_.setEditText(path);
    CoTaskMemFree(chosen);
}

void NewDownloadDialog::onDesktop() {
    keepEditTextInHistory();
    folderBox_.setEditText(desktopFolder(hwnd).c_str());
}
