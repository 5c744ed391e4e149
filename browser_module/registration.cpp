// DllRegisterServer and DllUnregisterServer: the browser's "DownloadUI" value,
// the class keys and the Browser Helper Object key, each done in three steps
// that always all run. Meant for an interactive user: may ask questions.
// Windows side.
#include <windows.h>
#include <mbstring.h>

#include <string>

#include "browser_module/module_state.h"

namespace {

const char kFriendlyName[] = "&DorimelDLManager";
const char kExplorerKey[] = "Software\\Microsoft\\Internet Explorer";
const char kHelperObjectsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
const wchar_t kExplorerKeyW[] = L"HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer";

bool equalNoCase(const char* a, const char* b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a),
                    reinterpret_cast<const unsigned char*>(b)) == 0;
}

bool setString(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// Reads a string value (at most size - 1 bytes); false when it is missing or
// not a string.
bool readString(HKEY key, const char* name, char* buffer, DWORD size) {
    DWORD type = 0;
    DWORD length = size - 1;
    buffer[0] = '\0';
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        buffer[0] = '\0';
        return false;
    }
    buffer[length < size ? length : size - 1] = '\0';
    return true;
}

bool keyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The download-manager step of registration: makes "DownloadUI" name this
// module, asking first when it names another installed class.
bool takeOverDownloadUi(const std::string& clsid) {
    HKEY explorer = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kExplorerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &explorer, nullptr) != ERROR_SUCCESS)
        return false;
    bool overwrite = true;
    char found[1024] = "";
    bool present = readString(explorer, "DownloadUI", found, sizeof found);
    bool ownClass = present && equalNoCase(found, clsid.c_str());
    if (present && !ownClass) {
        char server[1024] = "";
        HKEY classKey = nullptr;
        std::string path = std::string("CLSID\\") + found + "\\InprocServer32";
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &classKey) ==
            ERROR_SUCCESS) {
            readString(classKey, nullptr, server, sizeof server);
            RegCloseKey(classKey);
        }
        if (server[0] != '\0') {
            std::wstring text = kExplorerKeyW;
            text += L"\\";
            text += L"DownloadUI";
            text += L" にすでに以下のエントリーが登録されています。\r\n\r\n";
            text += L"CLSID = ";
            text += fromAnsi(found);
            text += L"\r\nFILE = ";
            text += fromAnsi(server);
            text += L"\r\n\r\n上書きしますか？";
            overwrite = MessageBoxW(nullptr, text.c_str(), L"DorimelDLM インストール",
                                    MB_YESNO | MB_ICONQUESTION) == IDYES;
        }
    }
    bool ok = false;
    if (overwrite) {
        ok = setString(explorer, "DownloadUI", clsid);
        // Registering again over our own value must not record our own class as
        // the one to restore: unregistering would then point the browser at a
        // class that no longer exists. The value saved the first time stays.
        if (ok && !ownClass)
            WritePrivateProfileStringA("Main", "PrevDownloadUI", found, g_module.settingsPath);
    }
    RegCloseKey(explorer);
    return ok;
}

bool registerClass(const std::string& clsid) {
    char modulePath[MAX_PATH + 1] = "";
    GetModuleFileNameA(g_module.instance, modulePath, MAX_PATH);
    struct Row {
        std::string key;
        const char* name;
        std::string data;
    };
    const Row rows[] = {
        {"CLSID\\" + clsid, nullptr, kFriendlyName},
        {"CLSID\\" + clsid + "\\InprocServer32", nullptr, modulePath},
        {"CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
    };
    bool ok = true;
    for (const Row& row : rows) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, row.key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS) {
            ok = false;
            continue;
        }
        if (!setString(key, row.name, row.data)) ok = false;
        RegCloseKey(key);
    }
    return ok;
}

bool registerHelperObject(const std::string& clsid) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kHelperObjectsKey + clsid).c_str(), 0, nullptr, 0,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool unregisterClass(const std::string& clsid) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ("CLSID\\" + clsid).c_str(), 0, KEY_WRITE, &key) ==
        ERROR_SUCCESS) {
        RegDeleteKeyA(key, "Implemented Categories");
        RegDeleteKeyA(key, "InprocServer32");
        RegCloseKey(key);
    }
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        if (!clsid.empty()) RegDeleteKeyA(key, clsid.c_str());
        RegCloseKey(key);
    }
    return !keyExists(HKEY_CLASSES_ROOT, "CLSID\\" + clsid);
}

bool unregisterHelperObject(const std::string& clsid) {
    if (clsid.empty()) return false;
    std::string path = kHelperObjectsKey + clsid;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return !keyExists(HKEY_LOCAL_MACHINE, path);
}

void showRemoveFailure() {
    MessageBoxA(nullptr, "Failed to remove value", "DorimelDLM Uninstall", MB_OK | MB_ICONERROR);
}

// The download-manager step of unregistration: gives "DownloadUI" back.
bool restoreDownloadUi(const std::string& clsid) {
    HKEY explorer = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kExplorerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &explorer, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    char current[1024] = "";
    if (readString(explorer, "DownloadUI", current, sizeof current) &&
        equalNoCase(current, clsid.c_str())) {
        char saved[1024] = "";
        GetPrivateProfileStringA("Main", "PrevDownloadUI", "", saved, sizeof saved,
                                 g_module.settingsPath);
        const wchar_t* caption = L"DorimelDLM アンインストール";
        bool restore = false;
        if (saved[0] != '\0') {
            std::wstring text = kExplorerKeyW;
            text += L"\\";
            text += L"DownloadUI";
            text += L" に上書きしたときの値を書き込みますか？\r\n\r\n";
            restore = MessageBoxW(nullptr, text.c_str(), caption, MB_YESNO | MB_ICONQUESTION) ==
                      IDYES;
        }
        if (restore) {
            if (!setString(explorer, "DownloadUI", saved)) {
                MessageBoxW(nullptr, L"上書きしたときの値を書き込むのに失敗しました。", caption,
                            MB_OK | MB_ICONERROR);
                ok = false;
            }
        } else if (RegDeleteValueA(explorer, "DownloadUI") != ERROR_SUCCESS) {
            showRemoveFailure();
            ok = false;
        }
    }
    RegCloseKey(explorer);
    return ok;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        std::string clsid = moduleClsidText();
        bool ok = takeOverDownloadUi(clsid);
        ok = registerClass(clsid) && ok;
        ok = registerHelperObject(clsid) && ok;
        return ok ? S_OK : E_FAIL;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    try {
        std::string clsid = moduleClsidText();
        bool ok = unregisterClass(clsid);
        ok = unregisterHelperObject(clsid) && ok;
        ok = restoreDownloadUi(clsid) && ok;
        return ok ? S_OK : E_FAIL;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
