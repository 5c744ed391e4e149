// DorimelDLM.dll's entry point with its load gate, and the class-object exports.
// Windows side.
#include <windows.h>
#include <mbstring.h>
#include <objbase.h>

#include <new>

#include "browser_module/dorimel_ids.h"
#include "browser_module/download_hook.h"
#include "browser_module/module_state.h"

ModuleState g_module;

std::string moduleClsidText() {
    LPOLESTR text = nullptr;
    if (FAILED(StringFromIID(CLSID_DorimelDownloadHook, &text)) || text == nullptr) return {};
    char buffer[256] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    CoTaskMemFree(text);
    return buffer;
}

std::string toAnsi(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return {};
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

std::wstring fromAnsi(const char* text) {
    if (text == nullptr || *text == '\0') return {};
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], size);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

namespace {

unsigned char* asMb(char* text) { return reinterpret_cast<unsigned char*>(text); }
const unsigned char* asMb(const char* text) { return reinterpret_cast<const unsigned char*>(text); }

// The module's path with everything from its last "." replaced by ".ini"
// (".ini" appended when the name has no dot).
void buildSettingsPath(const char* modulePath) {
    lstrcpynA(g_module.settingsPath, modulePath, MAX_PATH);
    unsigned char* dot = _mbsrchr(asMb(g_module.settingsPath), '.');
    unsigned char* slash = _mbsrchr(asMb(g_module.settingsPath), '\\');
    if (dot != nullptr && (slash == nullptr || dot > slash)) *dot = '\0';
    lstrcatA(g_module.settingsPath, ".ini");
}

// Decides whether the host process may load the module. Runs under the
// loader lock: string work and one settings-file read only.
bool loadAllowed() {
    char allow[2048] = "";
    GetPrivateProfileStringA("Main", "AllowLoad", "", allow, sizeof allow, g_module.settingsPath);
    if (allow[0] == '*') return true;

    char hostPath[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(nullptr, hostPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    unsigned char* slash = _mbsrchr(asMb(hostPath), '\\');
    if (slash == nullptr) return false;
    char* name = reinterpret_cast<char*>(slash + 1);
    _mbslwr(asMb(name));

    // ";" (0x3B) is never the second byte of a Shift-JIS pair, so a byte split is safe.
    char* piece = allow;
    while (piece != nullptr && *piece != '\0') {
        char* end = piece;
        while (*end != '\0' && *end != ';') ++end;
        char saved = *end;
        *end = '\0';
        bool match = *piece != '\0' && _mbsicmp(asMb(piece), asMb(name)) == 0;
        if (match) return true;
        piece = saved == '\0' ? nullptr : end + 1;
    }
    return _mbsstr(asMb(name), asMb("regsvr32")) != nullptr ||
           _mbsstr(asMb(name), asMb("dorimelserver")) != nullptr;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char modulePath[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(instance, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    buildSettingsPath(modulePath);
    if (!loadAllowed()) return FALSE;

    g_module.instance = instance;
    DisableThreadLibraryCalls(instance);
    lstrcpynA(g_module.directory, modulePath, MAX_PATH);
    unsigned char* slash = _mbsrchr(asMb(g_module.directory), '\\');
    if (slash != nullptr) *slash = '\0';
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_DorimelDownloadHook)) return CLASS_E_CLASSNOTAVAILABLE;
    DownloadHookFactory* factory = new (std::nothrow) DownloadHookFactory(clsid);
    if (factory == nullptr) return E_OUTOFMEMORY;
    HRESULT result = factory->QueryInterface(riid, object);
    factory->Release();
    return result;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    EnterCriticalSection(&g_module.countLock);
    LONG live = g_module.liveObjects;
    LeaveCriticalSection(&g_module.countLock);
    return live != 0 ? S_FALSE : S_OK;
}
