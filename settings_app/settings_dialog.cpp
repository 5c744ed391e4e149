// The settings dialog of DorimelServer.exe (see settings_dialog.h). Windows side.
#include "settings_app/settings_dialog.h"

#include <mbstring.h>

#include <vector>

#include "browser_module/dorimel_ids.h"
#include "settings_app/app_list.h"
#include "settings_app/launcher.h"
#include "resources/dorimel_server_ids.h"

namespace {

const char kSection[] = "Main";
const wchar_t kMenuEntryKey[] =
    L"Software\\Microsoft\\Internet Explorer\\MenuExt\\Dorimel でタウンロード(&L)";
const char kHelperObjectKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\"
    DORIMEL_DOWNLOAD_HOOK_CLSID_TEXT;

struct SpecialKey {
    const char* text;
    int code;
};
const SpecialKey kSpecialKeys[] = {
    {"RButton", 2}, {"LButton", 1}, {"MButton", 4}, {"Ctrl", 17}, {"Shift", 16}, {"Alt", 18},
};

bool keyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool keyExistsW(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// 0 when none of the marks is present, 1 when all are, 2 otherwise.
int markState(int present, int total) { return present == 0 ? 0 : present == total ? 1 : 2; }

// "DownloadUI" names the module's class. A number value 0 or 1 reads as "0"
// or "1", which never equals a CLSID; other kinds count as absent.
bool downloadUiIsModule() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char value[1024] = "";
    DWORD type = 0;
    DWORD size = sizeof value - 1;
    bool match = false;
    if (RegQueryValueExA(key, "DownloadUI", nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        value[size < sizeof value ? size : sizeof value - 1] = '\0';
        match = _mbsicmp(reinterpret_cast<const unsigned char*>(value),
                         reinterpret_cast<const unsigned char*>(DORIMEL_DOWNLOAD_HOOK_CLSID_TEXT)) ==
                0;
    }
    RegCloseKey(key);
    return match;
}

bool writeNumber(const char* key, int value, const std::string& path) {
    char text[16];
    wsprintfA(text, "%d", value);
    return WritePrivateProfileStringA(kSection, key, text, path.c_str()) != FALSE;
}

// A wait cursor from construction until destruction.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

}  // namespace

SettingsDialog::SettingsDialog() : ModalDialog(IDD_SETTINGS) {
    folder_ = programFolder();
    if (!folder_.empty()) settingsPath_ = folder_ + "DorimelDLM.ini";
    readState();
}

void SettingsDialog::readState() {
    int menuMarks = 0;
    if (keyExists(HKEY_CLASSES_ROOT, "DorimelServer.Launcher")) ++menuMarks;
    if (keyExists(HKEY_CLASSES_ROOT, "CLSID\\" DORIMEL_LAUNCHER_CLSID_TEXT)) ++menuMarks;
    if (keyExistsW(HKEY_CURRENT_USER, kMenuEntryKey)) ++menuMarks;
    contextMenuState = markState(menuMarks, 3);

    int moduleMarks = 0;
    if (downloadUiIsModule()) ++moduleMarks;
    if (keyExists(HKEY_CLASSES_ROOT, "CLSID\\" DORIMEL_DOWNLOAD_HOOK_CLSID_TEXT)) ++moduleMarks;
    if (keyExists(HKEY_LOCAL_MACHINE, kHelperObjectKey)) ++moduleMarks;
    moduleState = markState(moduleMarks, 3);

    if (settingsPath_.empty()) return;  // no folder: the file's defaults
    const char* ini = settingsPath_.c_str();
    takeOverMode = static_cast<int>(GetPrivateProfileIntA(kSection, "DlIfReleased", 0, ini));
    applicationMode = static_cast<int>(GetPrivateProfileIntA(kSection, "AvailableApp", 0, ini));
    int count = static_cast<int>(GetPrivateProfileIntA(kSection, "AppCount", 0, ini));
    std::vector<std::string> names;
    for (int n = 0; n < count; ++n) {
        char key[32];
        wsprintfA(key, "App_%d", n);
        char block[APP_NAME_BLOCK_SIZE] = {};
        if (GetPrivateProfileStructA(kSection, key, block, sizeof block, ini) && block[0] != '\0') {
            block[APP_NAME_BLOCK_SIZE - 1] = '\0';
            names.emplace_back(block);
        }
    }
    applicationList = appListText(names);
}

void SettingsDialog::exchangeData(DataExchange& exchange) {
    exchange.check(IDC_CONTEXT_MENU, contextMenuState);
    exchange.check(IDC_OVERRIDE, moduleState);
    exchange.radio(IDC_WHILE_HELD, takeOverMode);
    exchange.radio(IDC_ALL_APPS, applicationMode);
    exchange.text(IDC_APP_NAMES, applicationList);
}

void SettingsDialog::onInitDialog() {
    // The check box is the frame's title: it must come after the frame in the
    // Z order, or the frame would paint over it.
    SetWindowPos(item(IDC_OVERRIDE), item(IDC_OVERRIDE_FRAME), 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    updateNamesEnabled();

    HWND combo = item(IDC_SPECIAL_KEY);
    int code = static_cast<int>(GetPrivateProfileIntA(kSection, "SpecialVKey", 2,
                                                      settingsPath_.c_str()));
    for (const SpecialKey& key : kSpecialKeys) {
        LRESULT index = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(key.text));
        if (index < 0) continue;
        SendMessageA(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), key.code);
        if (key.code == code) SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
}

void SettingsDialog::updateNamesEnabled() {
    bool named = SendMessageW(item(IDC_NAMED_APPS), BM_GETCHECK, 0, 0) == BST_CHECKED;
    EnableWindow(item(IDC_APP_NAMES), named);
}

void SettingsDialog::onCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDC_ALL_APPS:
    case IDC_NAMED_APPS:
        updateNamesEnabled();
        break;
    case IDC_CONTEXT_MENU:
    case IDC_OVERRIDE: {
        // Three-state boxes that the user toggles between ticked and not
        // ticked; the indeterminate state only shows a partial installation.
        HWND box = item(id);
        bool ticked = SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(box, BM_SETCHECK, ticked ? BST_UNCHECKED : BST_CHECKED, 0);
        break;
    }
    default:
        break;
    }
}

void SettingsDialog::showString(unsigned id, UINT icon) {
    wchar_t text[512] = L"";
    LoadStringW(GetModuleHandleW(nullptr), id, text, 512);
    MessageBoxW(handle(), text, L"DorimelServer", MB_OK | icon);
}

void SettingsDialog::applyContextMenu() {
    WaitCursor wait;
    if (contextMenuState != 0) {
        bool ok = registerLauncherClass() && installContextMenu();
        if (ok)
            MessageBoxW(handle(),
                        L"インターネットエクスプローラーの右クリックメニューのインストールが成功しました。\r\n",
                        L"結果", MB_OK | MB_ICONINFORMATION);
        else
            MessageBoxW(handle(),
                        L"インターネットエクスプローラーの右クリックメニューのインストールが失敗しました。\r\n",
                        L"結果", MB_OK | MB_ICONWARNING);
    } else {
        bool ok = unregisterLauncherClass() && removeContextMenu();
        if (ok)
            MessageBoxW(handle(), L"右クリックメニューのアンインストールが成功しました。", L"結果",
                        MB_OK | MB_ICONINFORMATION);
        else
            MessageBoxW(handle(), L"右クリックメニューのアンインストールが失敗しました。", L"結果",
                        MB_OK | MB_ICONWARNING);
    }
}

void SettingsDialog::applyModuleRegistration() {
    using RegistrationExport = HRESULT(STDAPICALLTYPE*)();
    unsigned message = 0;
    HMODULE module = nullptr;
    RegistrationExport unregisterServer = nullptr;
    RegistrationExport registerServer = nullptr;
    if (folder_.empty()) {
        message = IDS_NO_PROGRAM_FOLDER;
    } else {
        module = LoadLibraryA((folder_ + "DorimelDLM.dll").c_str());
        if (module == nullptr) {
            message = IDS_NO_MODULE;
        } else {
            unregisterServer = reinterpret_cast<RegistrationExport>(
                reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
            registerServer = reinterpret_cast<RegistrationExport>(
                reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
            if (unregisterServer == nullptr || registerServer == nullptr)
                message = IDS_NO_ENTRY_POINT;
        }
    }
    if (message != 0) {
        showString(message, 0);
    } else if (moduleState != 0) {
        if (registerServer() < 0)
            showString(IDS_REGISTER_FAILED, 0);
        else
            showString(IDS_REGISTERED, MB_ICONINFORMATION);
    } else {
        if (unregisterServer() < 0)
            showString(IDS_UNREGISTER_FAILED, 0);
        else
            showString(IDS_UNREGISTERED, MB_ICONINFORMATION);
    }
    if (module != nullptr) FreeLibrary(module);
}

void SettingsDialog::writeSettingsFile() {
    const std::string& ini = settingsPath_;
    if (ini.empty()) {
        // Without the program folder there is no file to write (and an empty
        // name would send the profile functions to the system's own file).
        showString(IDS_SETTINGS_WRITE_FAILED, 0);
        return;
    }
    bool failed = false;
    if (!writeNumber("DlIfReleased", takeOverMode, ini)) failed = true;
    if (!writeNumber("AvailableApp", applicationMode, ini)) failed = true;

    // The edit control's lines, each read into a 260-byte buffer.
    HWND edit = item(IDC_APP_NAMES);
    int lineCount = static_cast<int>(SendMessageA(edit, EM_GETLINECOUNT, 0, 0));
    std::vector<std::string> lines;
    for (int i = 0; i < lineCount; ++i) {
        char buffer[APP_NAME_BLOCK_SIZE] = {};
        *reinterpret_cast<WORD*>(buffer) = APP_NAME_BLOCK_SIZE - 1;
        LRESULT copied = SendMessageA(edit, EM_GETLINE, static_cast<WPARAM>(i),
                                      reinterpret_cast<LPARAM>(buffer));
        if (copied < 0) copied = 0;
        if (copied > static_cast<LRESULT>(APP_NAME_BLOCK_SIZE - 1))
            copied = APP_NAME_BLOCK_SIZE - 1;
        lines.emplace_back(buffer, static_cast<size_t>(copied));
    }
    AppList list = buildAppList(lines);
    for (size_t n = 0; n < list.names.size(); ++n) {
        char key[32];
        wsprintfA(key, "App_%d", static_cast<int>(n));
        char block[APP_NAME_BLOCK_SIZE] = {};
        lstrcpynA(block, list.names[n].c_str(), APP_NAME_BLOCK_SIZE);
        if (!WritePrivateProfileStructA(kSection, key, block, sizeof block, ini.c_str()))
            failed = true;
    }
    if (!writeNumber("AppCount", static_cast<int>(list.names.size()), ini)) failed = true;
    std::string allow = allowLoadValue(applicationMode, list);
    if (!WritePrivateProfileStringA(kSection, "AllowLoad", allow.c_str(), ini.c_str()))
        failed = true;

    HWND combo = item(IDC_SPECIAL_KEY);
    LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR) {
        LRESULT code = SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0);
        writeNumber("SpecialVKey", static_cast<int>(code), ini);  // failure not reported
    }
    if (failed) showString(IDS_SETTINGS_WRITE_FAILED, 0);
}

void SettingsDialog::onOK() {
    updateData(true);
    applyContextMenu();
    applyModuleRegistration();
    writeSettingsFile();
    end(IDOK);
}
