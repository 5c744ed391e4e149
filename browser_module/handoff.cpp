// DownloadHook::Download: decides whether a browser download goes to
// dorimel.exe and starts it with the URL and the referring page. The settings
// file is read anew on every call. Windows side.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "browser_module/download_hook.h"
#include "browser_module/handoff_text.h"
#include "browser_module/module_state.h"

namespace {

// Frees the moniker's display name on every path.
class TaskMemory {
public:
    TaskMemory() = default;
    TaskMemory(const TaskMemory&) = delete;
    TaskMemory& operator=(const TaskMemory&) = delete;
    ~TaskMemory() { CoTaskMemFree(text); }
    LPOLESTR text = nullptr;
};

// Releases a looked-up hook and frees the browser's answer on every path.
class RefererLookup {
public:
    RefererLookup() : hook(g_module.siteMap.acquire(GetCurrentThreadId())) {}
    RefererLookup(const RefererLookup&) = delete;
    RefererLookup& operator=(const RefererLookup&) = delete;
    ~RefererLookup() {
        SysFreeString(location);
        if (hook != nullptr) hook->Release();
    }
    DownloadHook* hook;
    BSTR location = nullptr;
};

// The address of the page shown by the browser registered for this thread,
// empty when there is none.
std::string currentReferer() {
    RefererLookup lookup;
    if (lookup.hook == nullptr || lookup.hook->browser() == nullptr) return {};
    if (FAILED(lookup.hook->browser()->get_LocationURL(&lookup.location))) return {};
    return toAnsi(lookup.location);
}

}  // namespace

HRESULT DownloadHook::takeOver(IMoniker* moniker, IBindCtx* bindContext) {
    const char* settings = g_module.settingsPath;
    int key = static_cast<int>(GetPrivateProfileIntA("Main", "SpecialVKey", 2, settings));
    UINT whenReleased = GetPrivateProfileIntA("Main", "DlIfReleased", 0, settings);
    bool held = GetAsyncKeyState(key) < 0;
    if (whenReleased == 0 ? !held : held) return E_FAIL;

    std::string referer = currentReferer();

    if (moniker == nullptr) return E_FAIL;
    TaskMemory name;
    if (FAILED(moniker->GetDisplayName(bindContext, nullptr, &name.text)) || name.text == nullptr)
        return E_FAIL;
    std::string url = toAnsi(name.text);
    bool https = GetPrivateProfileIntA("Main", "EnableHttps", 0, settings) != 0;
    if (!isTakeOverUrl(url, https)) return E_FAIL;

    char options[2048] = "";
    GetPrivateProfileStringA("Main", "Options", "", options, sizeof options, settings);
    std::string parameters = buildHandOffParameters(options, url, referer);

    std::string program = std::string(g_module.directory) + "\\dorimel.exe";
    HINSTANCE started = ShellExecuteA(nullptr, nullptr, program.c_str(), parameters.c_str(),
                                      nullptr, SW_SHOW);
    if (reinterpret_cast<INT_PTR>(started) > 32) return S_OK;
    MessageBoxA(nullptr, "Failed to execute Dormiel", "DorimelDLM", MB_OK | MB_ICONERROR);
    return E_FAIL;
}
