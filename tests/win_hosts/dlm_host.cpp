// COM test host for DorimelDLM.dll: loads the module, creates its object through
// COM, gives it a browser site, calls IDownloadManager::Download with a URL
// moniker, and reads the command lines of started processes. Prints one result
// a line on standard output. Windows side (test tool, console program).
//
//   dlm_host load DLL                 exit 0 "loaded", exit 3 "refused"
//   dlm_host com-checks DLL           class-object and object behaviour, one line each
//   dlm_host download URL [--site PAGE] [--site-without-address] [--press VK]
//                         [--other-thread] [--dropped-site-object PAGE] [--no-canonicalize]
//                         [--literal-moniker] [--threads N]
//                                     "result 0x%08X" of Download
//   dlm_host cmdline NAME [MS]        waits up to MS (default 20000) for a process
//                                     whose executable is NAME; "process<TAB>pid<TAB>command line"
#include <windows.h>
#include <downloadmgr.h>
#include <exdisp.h>
#include <ocidl.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "browser_module/dorimel_ids.h"
#include "platform/win32/abi_layout.h"
#include "tests/win_hosts/fake_browser.h"

namespace {

void printLine(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    std::printf("%s\n", utf8.c_str());
    std::fflush(stdout);
}

void printResult(const char* name, HRESULT result) {
    std::printf("%s 0x%08lX\n", name, static_cast<unsigned long>(result));
    std::fflush(stdout);
}

int loadModule(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr) {
        std::printf("refused\n");
        return 3;
    }
    std::printf("loaded\n");
    FreeLibrary(module);
    return 0;
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();

int comChecks(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr) {
        std::printf("refused\n");
        return 3;
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    if (getClassObject == nullptr || canUnload == nullptr) {
        std::printf("missing exports\n");
        return 1;
    }
    void* object = reinterpret_cast<void*>(1);
    printResult("wrong_class", getClassObject(IID_IDispatch, IID_IClassFactory, &object));
    std::printf("wrong_class_out %s\n", object == nullptr ? "null" : "set");
    printResult("can_unload_initial", canUnload());

    IClassFactory* factory = nullptr;
    printResult("class_object", getClassObject(CLSID_DorimelDownloadHook, IID_IClassFactory,
                                               reinterpret_cast<void**>(&factory)));
    if (factory == nullptr) return 1;
    printResult("can_unload_factory", canUnload());
    IUnknown* unknown = nullptr;
    printResult("factory_other_interface",
                factory->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&unknown)));
    printResult("lock_server", factory->LockServer(TRUE));
    IUnknown* outer = createFakeBrowserSite(nullptr);
    printResult("aggregation", factory->CreateInstance(outer, IID_IUnknown,
                                                        reinterpret_cast<void**>(&unknown)));
    IObjectWithSite* withSite = nullptr;
    printResult("create", factory->CreateInstance(nullptr, IID_IObjectWithSite,
                                                  reinterpret_cast<void**>(&withSite)));
    factory->Release();
    if (withSite == nullptr) return 1;
    printResult("can_unload_object", canUnload());

    IDownloadManager* manager = nullptr;
    printResult("download_face", withSite->QueryInterface(__uuidof(IDownloadManager),
                                                          reinterpret_cast<void**>(&manager)));
    IUnknown* viaManager = nullptr;
    IUnknown* viaSite = nullptr;
    manager->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaManager));
    withSite->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaSite));
    std::printf("identity %s\n", viaManager == viaSite && viaSite != nullptr ? "same" : "different");
    if (viaManager) viaManager->Release();
    if (viaSite) viaSite->Release();
    manager->Release();
    printResult("other_interface",
                withSite->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&unknown)));

    void* site = reinterpret_cast<void*>(1);
    printResult("get_site", withSite->GetSite(IID_IUnknown, &site));
    std::printf("get_site_out %s\n", site == nullptr ? "null" : "set");
    printResult("set_site_null", withSite->SetSite(nullptr));
    // The object itself answers no IServiceProvider: no browser, E_FAIL.
    printResult("set_site_without_provider", withSite->SetSite(withSite));
    IUnknown* browserSite = createFakeBrowserSite(L"http://127.0.0.1/page.html");
    printResult("set_site_browser", withSite->SetSite(browserSite));
    browserSite->Release();
    outer->Release();
    withSite->Release();
    printResult("can_unload_after", canUnload());
    return 0;
}

struct DownloadRequest {
    std::wstring url;
    std::wstring page;
    bool site = false;
    bool siteWithoutAddress = false;
    bool droppedSiteObject = false;
    bool canonicalize = true;
    bool literalMoniker = false;
    int pressKey = 0;
};

IUnknown* createHook() {
    IUnknown* hook = nullptr;
    HRESULT result = CoCreateInstance(CLSID_DorimelDownloadHook, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IUnknown, reinterpret_cast<void**>(&hook));
    if (FAILED(result)) {
        printResult("create_failed", result);
        return nullptr;
    }
    return hook;
}

void pressKey(int key, bool down) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(key);
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &input, sizeof input);
}

// Runs on its own thread and apartment when asked: a thread without a
// registered object of its own.
HRESULT runDownload(const DownloadRequest& request) {
    IUnknown* siteObject = nullptr;
    if (request.site || request.siteWithoutAddress || request.droppedSiteObject) {
        // As in the browser: the Browser Helper Object gets the window's site.
        siteObject = createHook();
        if (siteObject == nullptr) return E_UNEXPECTED;
        IObjectWithSite* withSite = nullptr;
        siteObject->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite));
        IUnknown* site =
            createFakeBrowserSite(request.siteWithoutAddress ? nullptr : request.page.c_str());
        withSite->SetSite(site);
        site->Release();
        withSite->Release();
        if (request.droppedSiteObject) {
            siteObject->Release();  // the window closes: the object is freed
            siteObject = nullptr;
        }
    }
    IUnknown* hook = createHook();
    if (hook == nullptr) return E_UNEXPECTED;
    IDownloadManager* manager = nullptr;
    hook->QueryInterface(__uuidof(IDownloadManager), reinterpret_cast<void**>(&manager));
    IMoniker* moniker = nullptr;
    HRESULT result = S_OK;
    if (request.literalMoniker) {
        moniker = createFakeMoniker(request.url.c_str());
        if (moniker == nullptr) result = E_OUTOFMEMORY;
    } else {
        result = CreateURLMonikerEx(nullptr, request.url.c_str(), &moniker,
                                    request.canonicalize ? URL_MK_UNIFORM : URL_MK_NO_CANONICALIZE);
    }
    if (FAILED(result)) {
        printResult("moniker_failed", result);
    } else {
        IBindCtx* context = nullptr;
        CreateBindCtx(0, &context);
        if (request.pressKey != 0) pressKey(request.pressKey, true);
        result = manager->Download(moniker, context, 0, 0, nullptr, nullptr, nullptr, 0);
        if (request.pressKey != 0) pressKey(request.pressKey, false);
        if (context) context->Release();
        moniker->Release();
    }
    manager->Release();
    hook->Release();
    if (siteObject) siteObject->Release();
    return result;
}

DWORD WINAPI downloadThread(void* parameter) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT result = runDownload(*static_cast<DownloadRequest*>(parameter));
    CoUninitialize();
    return static_cast<DWORD>(result);
}

int download(int argc, wchar_t** argv) {
    DownloadRequest request;
    request.url = argv[2];
    bool otherThread = false;
    int threads = 0;
    for (int i = 3; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--site" && i + 1 < argc) {
            request.site = true;
            request.page = argv[++i];
        } else if (option == L"--site-without-address") {
            request.siteWithoutAddress = true;
        } else if (option == L"--dropped-site-object" && i + 1 < argc) {
            request.droppedSiteObject = true;
            request.page = argv[++i];
        } else if (option == L"--press" && i + 1 < argc) {
            request.pressKey = _wtoi(argv[++i]);
        } else if (option == L"--no-canonicalize") {
            request.canonicalize = false;  // the display name keeps the text as given
        } else if (option == L"--literal-moniker") {
            request.literalMoniker = true;  // the display name is the text exactly
        } else if (option == L"--other-thread") {
            otherThread = true;
        } else if (option == L"--threads" && i + 1 < argc) {
            threads = _wtoi(argv[++i]);
        }
    }
    HRESULT result;
    if (threads > 0) {
        // Browser windows on several threads at once: thread i has its own
        // site object (page PAGE?t=i) and downloads URL?t=i.
        std::vector<DownloadRequest> requests(static_cast<size_t>(threads), request);
        std::vector<HANDLE> handles;
        for (int i = 0; i < threads; ++i) {
            std::wstring tag = L"?t=" + std::to_wstring(i);
            requests[static_cast<size_t>(i)].url += tag;
            requests[static_cast<size_t>(i)].page += tag;
            handles.push_back(CreateThread(nullptr, 0, downloadThread, &requests[static_cast<size_t>(i)],
                                           0, nullptr));
        }
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
        result = S_OK;
        for (HANDLE handle : handles) {
            DWORD code = 0;
            GetExitCodeThread(handle, &code);
            if (static_cast<HRESULT>(code) != S_OK) result = static_cast<HRESULT>(code);
            CloseHandle(handle);
        }
    } else if (otherThread) {
        // The site object stays on the main thread; the download runs elsewhere.
        IUnknown* siteObject = nullptr;
        if (request.site) {
            siteObject = createHook();
            IObjectWithSite* withSite = nullptr;
            if (siteObject) siteObject->QueryInterface(IID_IObjectWithSite,
                                                       reinterpret_cast<void**>(&withSite));
            if (withSite) {
                IUnknown* site = createFakeBrowserSite(request.page.c_str());
                withSite->SetSite(site);
                site->Release();
                withSite->Release();
            }
            request.site = false;
        }
        HANDLE thread = CreateThread(nullptr, 0, downloadThread, &request, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        result = static_cast<HRESULT>(code);
        if (siteObject) siteObject->Release();
    } else {
        result = runDownload(request);
    }
    printResult("result", result);
    return 0;
}

// The command line of another process, read from its process parameters (a
// process of this program's bitness: the offsets are this build's).
static_assert(offsetof(PROCESS_BASIC_INFORMATION, PebBaseAddress) == abiSize(4, 8) &&
                  offsetof(PEB, ProcessParameters) == abiSize(0x10, 0x20) &&
                  offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) == abiSize(0x40, 0x70),
              "process parameters");
bool readCommandLine(DWORD pid, std::wstring& text) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    PROCESS_BASIC_INFORMATION basic = {};
    ULONG length = 0;
    bool ok = false;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                  &length) == 0 &&
        basic.PebBaseAddress != nullptr) {
        PEB peb = {};
        RTL_USER_PROCESS_PARAMETERS parameters = {};
        SIZE_T read = 0;
        if (ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &read) &&
            ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters,
                              &read)) {
            std::vector<wchar_t> buffer(parameters.CommandLine.Length / sizeof(wchar_t) + 1, L'\0');
            if (ReadProcessMemory(process, parameters.CommandLine.Buffer, buffer.data(),
                                  parameters.CommandLine.Length, &read)) {
                text.assign(buffer.data(), parameters.CommandLine.Length / sizeof(wchar_t));
                ok = true;
            }
        }
    }
    CloseHandle(process);
    return ok;
}

int commandLines(const wchar_t* name, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        int found = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        if (snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry)) {
            do {
                if (lstrcmpiW(entry.szExeFile, name) != 0) continue;
                std::wstring text;
                if (!readCommandLine(entry.th32ProcessID, text)) continue;
                printLine(L"process\t" + std::to_wstring(entry.th32ProcessID) + L"\t" + text);
                ++found;
            } while (Process32NextW(snapshot, &entry));
        }
        if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
        if (found > 0) return 0;
        if (GetTickCount() - start >= waitMs) {
            std::printf("none\n");
            return 4;
        }
        Sleep(100);  // polling another process's start: there is nothing to wait on
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dlm_host load|com-checks|download|cmdline ...\n");
        return 2;
    }
    // The Windows process ID first, so that a test can pick this process's
    // message boxes out of all the windows on the Wine server.
    std::printf("pid %lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    std::wstring command = argv[1];
    if (command == L"load") return loadModule(argv[2]);
    if (command == L"cmdline") return commandLines(argv[2], argc > 3 ? _wtoi(argv[3]) : 20000);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int code = 2;
    if (command == L"com-checks") code = comChecks(argv[2]);
    else if (command == L"download") code = download(argc, argv);
    CoUninitialize();
    return code;
}
