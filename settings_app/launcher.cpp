// CLauncher, its class factory and registration, the application lock count and
// the browser's context-menu entry (see launcher.h). Windows side.
#include "settings_app/launcher.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <mbstring.h>

#include <new>

#include "browser_module/dorimel_ids.h"
#include "browser_module/handoff_text.h"

namespace {

const char kProgId[] = "DorimelServer.Launcher";
const char kLauncherClassKey[] = "CLSID\\" DORIMEL_LAUNCHER_CLSID_TEXT;
const wchar_t kMenuExtKey[] = L"Software\\Microsoft\\Internet Explorer\\MenuExt\\";
const wchar_t kMenuEntryName[] = L"Dorimel でタウンロード(&L)";
const char kScriptPage[] = "DorimelIEScript.htm";
const DWORD kMenuContexts = 34;  // images (2) and links (32)

// Idle limit of a server that COM started but that no client reached.
const UINT kIdleLimitMs = 120000;

LONG g_applicationLocks = 0;
bool g_serving = false;
DWORD g_serverThread = 0;

std::string bstrToAnsi(BSTR text) {
    if (text == nullptr) return {};
    int length = static_cast<int>(SysStringLen(text));
    if (length == 0) return {};
    int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], size, nullptr, nullptr);
    return out.substr(0, out.find('\0'));
}

std::wstring ansiToWide(const std::string& text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], size);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

bool writeStringKey(HKEY root, const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool keyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

class LauncherFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        CLauncher* launcher = new (std::nothrow) CLauncher();
        if (launcher == nullptr) return E_OUTOFMEMORY;
        HRESULT result = launcher->QueryInterface(riid, object);
        launcher->Release();
        return result;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            lockApplication();
        else
            unlockApplication();
        return S_OK;
    }

private:
    ~LauncherFactory() = default;
    ULONG references_ = 1;
};

}  // namespace

std::string programFolder() {
    char path[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::string(path) + "\\";
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(path), '\\');
    if (slash == nullptr) return {};
    slash[1] = '\0';
    return path;
}

void lockApplication() { ++g_applicationLocks; }

void unlockApplication() {
    if (--g_applicationLocks == 0 && g_serving) PostThreadMessageW(g_serverThread, WM_QUIT, 0, 0);
}

CLauncher::CLauncher() { lockApplication(); }

CLauncher::~CLauncher() { unlockApplication(); }

STDMETHODIMP CLauncher::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IDorimelLauncher)) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CLauncher::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) CLauncher::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP CLauncher::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP CLauncher::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CLauncher::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT result = S_OK;
    for (UINT i = 0; i < count; ++i) {
        // The first name is the member; further names would be its parameters,
        // which are not named.
        if (i == 0 && names[0] != nullptr && lstrcmpiW(names[0], L"yaru") == 0) {
            ids[0] = 1;
        } else {
            ids[i] = DISPID_UNKNOWN;
            result = DISP_E_UNKNOWNNAME;
        }
    }
    return result;
}

STDMETHODIMP CLauncher::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters,
                               VARIANT* result, EXCEPINFO*, UINT*) {
    if (id != 1) return DISP_E_MEMBERNOTFOUND;
    if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (parameters == nullptr || parameters->cArgs != 2) return DISP_E_BADPARAMCOUNT;
    if (parameters->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (result != nullptr) VariantInit(result);
    try {
        // Arguments arrive last first.
        yaru(parameters->rgvarg[1], parameters->rgvarg[0]);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::string launcherArgumentText(const VARIANT& value) {
    const VARIANT* v = &value;
    // Script hosts pass a variable as a reference to the variant that holds it.
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
    if (v->vt == VT_BSTR) return bstrToAnsi(v->bstrVal);
    if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal != nullptr) return bstrToAnsi(*v->pbstrVal);
    return {};
}

void CLauncher::yaru(const VARIANT& url, const VARIANT& referer) {
    std::string folder = programFolder();
    if (folder.empty()) return;  // never search the PATH for the main program
    std::string program = folder + "Dorimel.exe";
    std::string parameters =
        buildLauncherParameters(launcherArgumentText(url), launcherArgumentText(referer));
    ShellExecuteA(nullptr, "open", program.c_str(), parameters.c_str(), nullptr, SW_SHOW);
}

bool registerLauncherClass() {
    char exe[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::string classKey = kLauncherClassKey;
    bool ok = writeStringKey(HKEY_CLASSES_ROOT, kProgId, kProgId);
    ok = writeStringKey(HKEY_CLASSES_ROOT, std::string(kProgId) + "\\CLSID",
                        DORIMEL_LAUNCHER_CLSID_TEXT) && ok;
    ok = writeStringKey(HKEY_CLASSES_ROOT, classKey, kProgId) && ok;
    ok = writeStringKey(HKEY_CLASSES_ROOT, classKey + "\\LocalServer32",
                        std::string("\"") + exe + "\" /Automation") && ok;
    ok = writeStringKey(HKEY_CLASSES_ROOT, classKey + "\\ProgID", kProgId) && ok;
    return ok;
}

bool unregisterLauncherClass() {
    SHDeleteKeyA(HKEY_CLASSES_ROOT, kProgId);
    SHDeleteKeyA(HKEY_CLASSES_ROOT, kLauncherClassKey);
    return !keyExists(HKEY_CLASSES_ROOT, kProgId) && !keyExists(HKEY_CLASSES_ROOT, kLauncherClassKey);
}

bool installContextMenu() {
    std::string script = programFolder() + kScriptPage;
    if (GetFileAttributesA(script.c_str()) == INVALID_FILE_ATTRIBUTES) {
        wchar_t text[512];
        wsprintfW(text, L"%s が見つかりません。\n\nインストールを続けますか？", L"DorimelIEScript.htm");
        if (MessageBoxW(nullptr, text, L"Dorimel インストール", MB_YESNO | MB_ICONWARNING) != IDYES)
            return false;
    }
    HKEY menuExt = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kMenuExtKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                        &menuExt, nullptr) != ERROR_SUCCESS)
        return false;
    HKEY entry = nullptr;
    LONG created = RegCreateKeyExW(menuExt, kMenuEntryName, 0, nullptr, 0, KEY_WRITE, nullptr,
                                   &entry, nullptr);
    RegCloseKey(menuExt);
    if (created != ERROR_SUCCESS) return false;
    std::wstring path = ansiToWide(script);
    bool ok = RegSetValueExW(entry, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) ==
              ERROR_SUCCESS;
    ok = RegSetValueExW(entry, L"Contexts", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&kMenuContexts), sizeof kMenuContexts) ==
             ERROR_SUCCESS && ok;
    RegCloseKey(entry);
    return ok;
}

bool removeContextMenu() {
    HKEY menuExt = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kMenuExtKey, 0, KEY_WRITE, &menuExt) == ERROR_SUCCESS) {
        RegDeleteKeyW(menuExt, kMenuEntryName);
        RegCloseKey(menuExt);
    }
    std::wstring full = std::wstring(kMenuExtKey) + kMenuEntryName;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, full.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return true;
    RegCloseKey(key);
    return false;
}

int runAutomationServer() {
    g_serverThread = GetCurrentThreadId();
    g_serving = true;
    LauncherFactory* factory = new (std::nothrow) LauncherFactory();
    if (factory == nullptr) return 1;
    DWORD cookie = 0;
    // One process serves every object (multiple use).
    if (FAILED(CoRegisterClassObject(CLSID_DorimelLauncher, factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie))) {
        factory->Release();
        return 1;
    }
    UINT_PTR idleTimer = SetTimer(nullptr, 0, kIdleLimitMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr &&
            message.wParam == idleTimer) {
            // Started by COM, but no client ever kept an object: do not linger.
            if (g_applicationLocks == 0) break;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    KillTimer(nullptr, idleTimer);
    CoRevokeClassObject(cookie);
    factory->Release();
    return 0;
}
