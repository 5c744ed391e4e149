// download_probe: what the download tests read and press that the general UI
// automation tool (tests/win/uiauto.exe) has no command for: a mouse click on
// a button of the download window's toolbar, and the progress bar as painted
// on the screen. No test hooks in the product: ordinary Win32 messages and the
// screen only. Windows test tool; output one item a line, tab-separated; exit
// status 0 done, 1 failed (the reason on standard error).
//
//   download_probe toolbar-click --hwnd WINDOW --id COMMAND
//   download_probe bar --hwnd WINDOW
//       bar<TAB>width<TAB>first-last,...   (runs of the active-caption colour
//                                           on the bar's middle row)
//   download_probe set-cookie URL "NAME=VALUE; expires=..."
//       stores a cookie in the browser's cookie store (WinInet), as a page
//       the user visited would
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Controls of the download window.
constexpr int kToolbarHost = 1027;
constexpr int kToolbar = 111;
constexpr int kProgress = 1029;

struct Options {
    std::wstring command;
    HWND hwnd = nullptr;
    int id = -1;
};

void out(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& why) {
    std::fputs(("download_probe: " + why + "\n").c_str(), stderr);
    std::exit(1);
}

Options parse(int argc, wchar_t** argv) {
    Options o;
    if (argc < 2) fail("usage: download_probe toolbar-click|bar --hwnd 0x.. [--id N]");
    o.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        const wchar_t* value = argv[i + 1];
        if (name == L"--hwnd")
            o.hwnd = reinterpret_cast<HWND>(static_cast<INT_PTR>(wcstoull(value, nullptr, 0)));
        else if (name == L"--id")
            o.id = static_cast<int>(wcstol(value, nullptr, 0));
        else
            fail("unknown option");
    }
    if (!o.hwnd || !IsWindow(o.hwnd)) fail("--hwnd names no window");
    return o;
}

LRESULT sendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result))
        fail("the window does not answer");
    return static_cast<LRESULT>(result);
}

HWND control(HWND parent, int id) {
    HWND child = GetDlgItem(parent, id);
    if (!child) fail("no control " + std::to_string(id));
    return child;
}

// Presses a toolbar button as a person would: a left click in its middle,
// refused when the button is disabled or hidden. The button's rectangle is
// read across processes.
void toolbarClick(const Options& o) {
    HWND toolbar = control(control(o.hwnd, kToolbarHost), kToolbar);
    LRESULT index = sendBounded(toolbar, TB_COMMANDTOINDEX, static_cast<WPARAM>(o.id), 0);
    if (index < 0) fail("the toolbar has no button " + std::to_string(o.id));
    if (!sendBounded(toolbar, TB_ISBUTTONENABLED, static_cast<WPARAM>(o.id), 0)) fail("the button is disabled");
    if (sendBounded(toolbar, TB_ISBUTTONHIDDEN, static_cast<WPARAM>(o.id), 0)) fail("the button is hidden");

    DWORD pid = 0;
    GetWindowThreadProcessId(toolbar, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) fail("cannot open the process");
    void* remote = VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE);
    if (!remote) fail("cannot allocate in the process");
    RECT rect{};
    bool got = sendBounded(toolbar, TB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote)) != 0;
    SIZE_T done = 0;
    got = got && ReadProcessMemory(process, remote, &rect, sizeof rect, &done);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    if (!got) fail("cannot read the button's rectangle");

    LPARAM point = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    PostMessageW(toolbar, WM_MOUSEMOVE, 0, point);
    PostMessageW(toolbar, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageW(toolbar, WM_LBUTTONUP, 0, point);
    // Returns once the window's thread has handled the click.
    sendBounded(toolbar, WM_NULL, 0, 0);
    sendBounded(o.hwnd, WM_NULL, 0, 0);
}

// The progress bar as the screen shows it: the runs of the active-caption
// colour along the middle row of control 1029's client area.
void bar(const Options& o) {
    HWND progress = control(o.hwnd, kProgress);
    // Let a pending repaint happen first.
    sendBounded(o.hwnd, WM_NULL, 0, 0);
    RedrawWindow(progress, nullptr, nullptr, RDW_UPDATENOW);
    RECT client;
    GetClientRect(progress, &client);
    POINT origin = {0, client.bottom / 2};
    ClientToScreen(progress, &origin);
    const int width = client.right;
    if (width <= 0) fail("the bar has no width");

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = 1;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, 1, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    COLORREF active = GetSysColor(COLOR_ACTIVECAPTION);
    const auto* pixels = static_cast<const unsigned char*>(bits);
    std::string runs;
    int start = -1;
    for (int x = 0; x <= width; ++x) {
        bool on = false;
        if (x < width) {
            const unsigned char* p = pixels + x * 4;  // blue, green, red, unused
            on = RGB(p[2], p[1], p[0]) == active;
        }
        if (on && start < 0) start = x;
        if (!on && start >= 0) {
            if (!runs.empty()) runs += ",";
            runs += std::to_string(start) + "-" + std::to_string(x);
            start = -1;
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    out("bar\t" + std::to_string(width) + "\t" + runs);
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc == 4 && std::wstring(argv[1]) == L"set-cookie") {
        if (!InternetSetCookieW(argv[2], nullptr, argv[3])) fail("InternetSetCookie failed");
        return 0;
    }
    Options o = parse(argc, argv);
    if (o.command == L"toolbar-click")
        toolbarClick(o);
    else if (o.command == L"bar")
        bar(o);
    else
        fail("unknown command");
    LocalFree(argv);
    return 0;
}
