// Test host for the Wine tests of the new-download and hash dialogs: runs the
// program's own dialog classes with settings given on its command line, owned
// by a plain top-level window, and writes what the dialog left behind into a
// result file (code page of the system, one "key=value" a line). The tests
// drive the dialogs through tests/win/uiauto.exe like a person would.
//
//   dialog_host new RESULT INI [key=value...]   keys: url referer proxy dst
//        flags speed closeAtEnd firstInit runs (runs=2 opens it again after OK,
//        as the download window's re-setup does)
//   dialog_host hash RESULT KIND(1 SHA-1, 2 MD5) FILE MOVED(0/1) MD5 SHA1
//        (an entered value "-" stands for the empty text)
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/app_settings.h"
#include "app/options_file.h"
#include "app/win32/hash_dialog.h"
#include "app/win32/new_download_dialog.h"
#include "platform/system_code_page.h"

// The framework asks for the program's instance; the host has no application object.
HINSTANCE currentInstance() {
    return GetModuleHandleA(nullptr);
}

namespace {

RECT lastDialogRect{};
HWND owner = nullptr;  // the host's top-level window that owns the dialogs

FILE* focusLog = nullptr;  // RESULT.focus: where the focus went, line by line

void logFocus(int id, const char* name) {
    if (!focusLog) return;
    if (name) {
        std::fprintf(focusLog, "focus %d %s\n", id, name);
    } else {
        std::fputs("box-closed\n", focusLog);
    }
    std::fflush(focusLog);
}

// Remembers where the last dialog window was when it was destroyed, and logs
// when a message box of a dialog closes ("box-closed").
LRESULT CALLBACK cbtHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_DESTROYWND) {
        char name[16] = "";
        HWND window = reinterpret_cast<HWND>(wParam);
        GetClassNameA(window, name, sizeof name);
        if (std::string(name) == "#32770") {
            HWND windowOwner = GetWindow(window, GW_OWNER);
            if (windowOwner && windowOwner != owner)
                logFocus(0, nullptr);
            else
                GetWindowRect(window, &lastDialogRect);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Logs every window of the dialogs that receives the focus ("focus ID class");
// the dialog window itself is "focus 0 #32770". Under Xvfb without a window
// manager the focus may move on to the dialog window after a message box has
// closed; this log shows where the dialog itself put it first.
LRESULT CALLBACK callWindowHook(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_SETFOCUS) {
        char name[32] = "";
        GetClassNameA(call->hwnd, name, sizeof name);
        bool child = (GetWindowLongA(call->hwnd, GWL_STYLE) & WS_CHILD) != 0;
        logFocus(child ? GetDlgCtrlID(call->hwnd) : 0, name);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

HWND createOwner() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "DialogHostOwner";
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    RegisterClassA(&windowClass);
    owner = CreateWindowA("DialogHostOwner", "dialog host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                          240, 120, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    return owner;
}

std::string option(int argc, char** argv, int first, const char* key, const char* fallback) {
    std::string prefix = std::string(key) + "=";
    for (int i = first; i < argc; ++i) {
        if (std::string(argv[i]).compare(0, prefix.size(), prefix) == 0)
            return argv[i] + prefix.size();
    }
    return fallback;
}

int runNewDownload(int argc, char** argv, FILE* out) {
    AppSettings settings;
    settings.Proxy = option(argc, argv, 4, "proxy", "");
    settings.DstDir = option(argc, argv, 4, "dst", "");
    settings.downloadOptions.flags =
        uint32_t(std::strtoul(option(argc, argv, 4, "flags", "0").c_str(), nullptr, 0));
    settings.downloadOptions.speedLimit = std::atoi(option(argc, argv, 4, "speed", "0").c_str());
    settings.CloseAtEnd = option(argc, argv, 4, "closeAtEnd", "0") == "1";
    OptionsFile options(argv[3]);

    NewDownloadDialog dialog(settings, options);
    dialog.strURL = option(argc, argv, 4, "url", "");
    dialog.strReferer = option(argc, argv, 4, "referer", "");
    dialog.FirstInit = std::atoi(option(argc, argv, 4, "firstInit", "1").c_str());
    if (dialog.FirstInit == 0) dialog.strProxy = option(argc, argv, 4, "dialogProxy", "");

    createOwner();
    int runs = std::atoi(option(argc, argv, 4, "runs", "1").c_str());
    INT_PTR result = 0;
    for (int run = 1; run <= runs; ++run) {
        result = dialog.runModal(owner);
        RECT ownerRect{};
        GetWindowRect(owner, &ownerRect);
        std::fprintf(out, "run=%d\nresult=%d\n", run, int(result));
        std::fprintf(out, "dialogLeft=%ld\ndialogTop=%ld\nownerLeft=%ld\nownerTop=%ld\n",
                     lastDialogRect.left, lastDialogRect.top, ownerRect.left, ownerRect.top);
        std::fprintf(out, "FirstInit=%d\nstrURL=%s\nstrReferer=%s\nstrProxy=%s\nstrTargetDir=%s\n",
                     int(dialog.FirstInit), dialog.strURL.c_str(), dialog.strReferer.c_str(),
                     dialog.strProxy.c_str(), dialog.strTargetDir.c_str());
        std::fprintf(out, "flags=%u\nspeed=%d\ncloseAtEnd=%d\n",
                     unsigned(settings.downloadOptions.flags),
                     int(settings.downloadOptions.speedLimit), settings.CloseAtEnd ? 1 : 0);
        std::fflush(out);
        if (result != IDOK) break;
    }
    DestroyWindow(owner);
    return 0;
}

int runHash(int argc, char** argv, FILE* out) {
    if (argc < 8) return 2;
    createOwner();
    std::string md5 = argv[6], sha1 = argv[7];
    if (md5 == "-") md5.clear();
    if (sha1 == "-") sha1.clear();
    std::string sha256;
    runHashDialog(owner, argv[3][0] == '2' ? HASH_MD5 : HASH_SHA1, argv[4], argv[5][0] == '1', md5,
                  sha1, sha256);
    std::fprintf(out, "enteredMd5=%s\nenteredSha1=%s\n", md5.c_str(), sha1.c_str());
    DestroyWindow(owner);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int argc = __argc;
    char** argv = __argv;
    if (argc < 4) return 2;
    platformSetSystemCodePage();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_USEREX_CLASSES};
    InitCommonControlsEx(&classes);
    SetWindowsHookExA(WH_CBT, cbtHook, nullptr, GetCurrentThreadId());
    SetWindowsHookExA(WH_CALLWNDPROC, callWindowHook, nullptr, GetCurrentThreadId());
    focusLog = std::fopen((std::string(argv[2]) + ".focus").c_str(), "w");

    FILE* out = std::fopen(argv[2], "w");
    if (!out) return 3;
    int code = 2;
    if (std::string(argv[1]) == "new") code = runNewDownload(argc, argv, out);
    if (std::string(argv[1]) == "hash") code = runHash(argc, argv, out);
    std::fprintf(out, "end=1\n");
    std::fclose(out);
    if (focusLog) std::fclose(focusLog);
    return code;
}
