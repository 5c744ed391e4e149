// window_probe: the few ways of driving the download window that the general
// UI automation tool (tests/win/uiauto.exe) has no command for: mouse clicks
// posted to a control, list rows' kinds and scroll position read across
// processes, popup menus (found, read from the screen, answered by key), the
// system-menu command and the settings button's double-click guard. No test
// hooks in the product: only ordinary Win32 messages and the screen.
// Output: one item a line, tab-separated. Exit status 0 done, 1 failed.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/abi_layout.h"

namespace {

struct Options {
    std::wstring command;
    DWORD pid = 0;
    HWND hwnd = nullptr;
    int id = -1;
    int row = 0;
    int x = 0, y = 0;
    int key = 0;
    int vk = 0;
    DWORD timeoutMs = 20000;
};

void out(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& why) {
    std::fputs(("window_probe: " + why + "\n").c_str(), stderr);
    std::exit(1);
}

Options parse(int argc, wchar_t** argv) {
    Options o;
    if (argc < 2) fail("usage: window_probe COMMAND [--pid N] [--hwnd 0x..] [--id N] ...");
    o.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        const wchar_t* value = argv[i + 1];
        if (name == L"--pid") o.pid = static_cast<DWORD>(wcstoul(value, nullptr, 0));
        else if (name == L"--hwnd") o.hwnd = reinterpret_cast<HWND>(static_cast<INT_PTR>(wcstoull(value, nullptr, 0)));
        else if (name == L"--id") o.id = static_cast<int>(wcstol(value, nullptr, 0));
        else if (name == L"--row") o.row = static_cast<int>(wcstol(value, nullptr, 0));
        else if (name == L"--x") o.x = static_cast<int>(wcstol(value, nullptr, 0));
        else if (name == L"--y") o.y = static_cast<int>(wcstol(value, nullptr, 0));
        else if (name == L"--key") o.key = value[0];
        else if (name == L"--vk") o.vk = static_cast<int>(wcstol(value, nullptr, 0));
        else if (name == L"--timeout") o.timeoutMs = static_cast<DWORD>(wcstoul(value, nullptr, 0));
        else fail("unknown option");
    }
    return o;
}

std::string hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(p)));
    return text;
}

// ---- memory of the other process, for messages that take pointers ---------

class Remote {
public:
    Remote(HWND window, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (!process_) fail("cannot open the process");
        memory_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
        if (!memory_) fail("cannot allocate in the process");
    }
    ~Remote() {
        VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        CloseHandle(process_);
    }
    void write(const void* data, size_t size) {
        SIZE_T done = 0;
        if (!WriteProcessMemory(process_, memory_, data, size, &done)) fail("cannot write to the process");
    }
    void read(void* data, size_t size) {
        SIZE_T done = 0;
        if (!ReadProcessMemory(process_, memory_, data, size, &done)) fail("cannot read from the process");
    }
    LPARAM address() const { return reinterpret_cast<LPARAM>(memory_); }

private:
    HANDLE process_ = nullptr;
    void* memory_ = nullptr;
    size_t size_;
};

LRESULT sendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result))
        fail("the window does not answer");
    return static_cast<LRESULT>(result);
}

// ---- popup menus -------------------------------------------------------------

struct Found {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectPopup(HWND window, LPARAM parameter) {
    auto* found = reinterpret_cast<Found*>(parameter);
    wchar_t cls[64] = L"";
    GetClassNameW(window, cls, 64);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (wcscmp(cls, L"#32768") == 0 && IsWindowVisible(window) && (!found->pid || pid == found->pid))
        found->windows.push_back(window);
    return TRUE;
}

HWND findPopup(DWORD pid) {
    Found found{pid, {}};
    EnumWindows(collectPopup, reinterpret_cast<LPARAM>(&found));
    return found.windows.empty() ? nullptr : found.windows.front();
}

HWND waitPopup(const Options& o) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND popup = findPopup(o.pid)) return popup;
        if (GetTickCount() - start > o.timeoutMs) fail("no popup menu appeared");
        Sleep(20);
    }
}

void waitPopupGone(const Options& o) {
    DWORD start = GetTickCount();
    while (findPopup(o.pid)) {
        if (GetTickCount() - start > o.timeoutMs) fail("the popup menu stays open");
        Sleep(20);
    }
}

int luminance(COLORREF c) {
    return (GetRValue(c) * 30 + GetGValue(c) * 59 + GetBValue(c) * 11) / 100;
}

int distance(COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) + std::abs(GetGValue(a) - GetGValue(b)) +
           std::abs(GetBValue(a) - GetBValue(b));
}

// Reads a popup menu from the screen (menus of another process cannot be
// asked for their items under Wine): one line a band of ink from top to
// bottom: "separator" for a thin line, else "item<TAB>checked=0/1<TAB>grey=0/1"
// (a check mark in the left column; text drawn in grey instead of black).
void popupState(const Options& o) {
    SetCursorPos(0, 0);  // no item may be highlighted under the pointer
    HWND popup = waitPopup(o);
    // Let the menu finish painting: a sent message is answered only after
    // the menu loop has handled what came before it.
    DWORD_PTR ignored;
    SendMessageTimeoutW(popup, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    RECT rect;
    GetWindowRect(popup, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    const COLORREF background = GetPixel(memory, width - 5, height / 2);
    const int checkRight = GetSystemMetrics(SM_CXMENUCHECK) + 3;
    bool inBand = false;
    int bandTop = 0, checkInk = 0, darkest = 255, textInk = 0;
    auto endBand = [&](int bottom) {
        int bandHeight = bottom - bandTop;
        if (bandHeight <= 3 && textInk > width / 2) out("separator");
        else if (bandHeight > 3)
            out(std::string("item\tchecked=") + (checkInk > 2 ? "1" : "0") + "\tgrey=" + (darkest > 80 ? "1" : "0"));
    };
    for (int y = 3; y < height - 3; ++y) {
        int rowCheck = 0, rowText = 0, rowDarkest = 255;
        for (int x = 3; x < width - 3; ++x) {
            COLORREF c = GetPixel(memory, x, y);
            if (distance(c, background) < 60) continue;
            if (x <= checkRight) ++rowCheck;
            else {
                ++rowText;
                if (luminance(c) < rowDarkest) rowDarkest = luminance(c);
            }
        }
        bool ink = rowCheck + rowText > 0;
        if (ink && !inBand) {
            inBand = true;
            bandTop = y;
            checkInk = textInk = 0;
            darkest = 255;
        }
        if (ink) {
            checkInk += rowCheck;
            textInk += rowText;
            if (rowDarkest < darkest) darkest = rowDarkest;
        } else if (inBand) {
            inBand = false;
            endBand(y);
        }
    }
    if (inBand) endBand(height - 3);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// A key for the menu's own loop, which reads every message of its thread.
void popupKey(const Options& o) {
    HWND popup = waitPopup(o);
    // --row N: first move N items down (for items without a mnemonic).
    for (int i = 0; i < o.row; ++i) {
        PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 1);
        PostMessageW(popup, WM_KEYUP, VK_DOWN, 0xC0000001);
    }
    if (o.vk) {
        PostMessageW(popup, WM_KEYDOWN, o.vk, 1);
        PostMessageW(popup, WM_KEYUP, o.vk, 0xC0000001);
    } else {
        PostMessageW(popup, WM_CHAR, o.key, 1);
    }
    waitPopupGone(o);
}

// ---- mouse -----------------------------------------------------------------

void postClick(HWND window, int x, int y, bool right) {
    LPARAM at = MAKELPARAM(x, y);
    PostMessageW(window, WM_MOUSEMOVE, 0, at);
    PostMessageW(window, right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN, right ? MK_RBUTTON : MK_LBUTTON, at);
    PostMessageW(window, right ? WM_RBUTTONUP : WM_LBUTTONUP, 0, at);
}

RECT listRowRect(HWND list, int row) {
    Remote remote(list, sizeof(RECT));
    RECT rect{};
    rect.left = LVIR_LABEL;
    remote.write(&rect, sizeof rect);
    if (!sendBounded(list, LVM_GETITEMRECT, row, remote.address())) fail("no such row");
    remote.read(&rect, sizeof rect);
    return rect;
}

RECT toolbarButtonRect(HWND toolbar, int command) {
    Remote remote(toolbar, sizeof(RECT));
    if (!sendBounded(toolbar, TB_GETRECT, command, remote.address())) fail("no such toolbar button");
    RECT rect{};
    remote.read(&rect, sizeof rect);
    return rect;
}

// Rests the pointer on a toolbar button until its tooltip shows; prints
// "tooltip<TAB>text" (UTF-8), then moves the pointer away.
BOOL CALLBACK collectTooltip(HWND window, LPARAM parameter) {
    auto* found = reinterpret_cast<Found*>(parameter);
    wchar_t cls[64] = L"";
    GetClassNameW(window, cls, 64);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (_wcsicmp(cls, L"tooltips_class32") == 0 && IsWindowVisible(window) && pid == found->pid)
        found->windows.push_back(window);
    return TRUE;
}

// The screen centre of a toolbar button, for a real pointer move.
void buttonOnScreen(const Options& o) {
    // Tooltips show only over the active window.
    SetForegroundWindow(GetAncestor(o.hwnd, GA_ROOT));
    RECT r = toolbarButtonRect(o.hwnd, o.id);
    POINT at = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    ClientToScreen(o.hwnd, &at);
    out("at\t" + std::to_string(at.x) + "\t" + std::to_string(at.y));
}

// Waits for a visible tooltip of the process; prints "tooltip<TAB>text".
void tooltip(const Options& o) {
    DWORD start = GetTickCount();
    for (;;) {
        Found found{o.pid, {}};
        EnumWindows(collectTooltip, reinterpret_cast<LPARAM>(&found));
        if (!found.windows.empty()) {
            wchar_t text[256] = L"";
            DWORD_PTR ignored;
            SendMessageTimeoutW(found.windows.front(), WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text),
                                SMTO_ABORTIFHUNG, 5000, &ignored);
            char utf8[1024] = "";
            WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
            out(std::string("tooltip\t") + utf8);
            return;
        }
        if (GetTickCount() - start > o.timeoutMs) fail("no tooltip appeared");
        Sleep(50);
    }
}

// ---- list rows -----------------------------------------------------------------

// Copied into the list's process, which reads it at its own offsets.
static_assert(sizeof(LVITEMW) == abiSize(60, 88) && offsetof(LVITEMW, iImage) == abiSize(28, 36) &&
                  offsetof(LVITEMW, lParam) == abiSize(32, 40),
              "LVITEMW");

void rows(const Options& o) {
    HWND list = o.hwnd;
    int count = static_cast<int>(sendBounded(list, LVM_GETITEMCOUNT, 0, 0));
    out("count\t" + std::to_string(count));
    out("top\t" + std::to_string(sendBounded(list, LVM_GETTOPINDEX, 0, 0)));
    out("perpage\t" + std::to_string(sendBounded(list, LVM_GETCOUNTPERPAGE, 0, 0)));
    Remote remote(list, sizeof(LVITEMW));
    for (int i = 0; i < count; ++i) {
        LVITEMW item{};
        item.mask = LVIF_PARAM | LVIF_IMAGE;
        item.iItem = i;
        remote.write(&item, sizeof item);
        sendBounded(list, LVM_GETITEMW, 0, remote.address());
        remote.read(&item, sizeof item);
        out("row\t" + std::to_string(i) + "\tkind=" + std::to_string(item.lParam) + "\timage=" +
            std::to_string(item.iImage));
    }
}

// ---- the settings button's guard -------------------------------------------

// Opens the settings menu, closes it with Esc, at once sends the button's
// command again (it must be ignored: the click that closes a menu must not
// reopen it), then after 400 ms sends it once more (it must open the menu).
// Prints "again<TAB>ignored|shown<TAB>ms since the menu closed" and
// "later<TAB>shown|ignored".
void settingsGuard(const Options& o) {
    HWND host = o.hwnd;
    PostMessageW(host, WM_COMMAND, MAKEWPARAM(403, 0), 0);
    HWND popup = waitPopup(o);
    PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 1);
    waitPopupGone(o);
    DWORD closed = GetTickCount();
    DWORD_PTR result = 0;
    // A shown menu keeps the handler (and so this call) waiting.
    BOOL returned = SendMessageTimeoutW(host, WM_COMMAND, MAKEWPARAM(403, 0), 0, SMTO_NORMAL, 3000, &result);
    DWORD elapsed = GetTickCount() - closed;
    bool shown = !returned || findPopup(o.pid);
    out(std::string("again\t") + (shown ? "shown" : "ignored") + "\t" + std::to_string(elapsed));
    if (shown) {
        if (HWND again = findPopup(o.pid)) PostMessageW(again, WM_KEYDOWN, VK_ESCAPE, 1);
        waitPopupGone(o);
    }
    Sleep(400);  // the guard is a time span: let it pass
    PostMessageW(host, WM_COMMAND, MAKEWPARAM(403, 0), 0);
    DWORD start = GetTickCount();
    HWND later = nullptr;
    while (!(later = findPopup(o.pid)) && GetTickCount() - start < o.timeoutMs) Sleep(20);
    out(std::string("later\t") + (later ? "shown" : "ignored"));
    if (later) {
        PostMessageW(later, WM_KEYDOWN, VK_ESCAPE, 1);
        waitPopupGone(o);
    }
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o = parse(argc, argv);
    const std::wstring& c = o.command;
    if (c == L"rows") {
        rows(o);
    } else if (c == L"rclick-row") {
        RECT r = listRowRect(o.hwnd, o.row);
        postClick(o.hwnd, (r.left + r.right) / 2, (r.top + r.bottom) / 2, true);
    } else if (c == L"rclick") {
        postClick(o.hwnd, o.x, o.y, true);
    } else if (c == L"toolbar-click") {
        RECT r = toolbarButtonRect(o.hwnd, o.id);
        postClick(o.hwnd, (r.left + r.right) / 2, (r.top + r.bottom) / 2, false);
    } else if (c == L"button-on-screen") {
        buttonOnScreen(o);
    } else if (c == L"tooltip") {
        tooltip(o);
    } else if (c == L"popup") {
        HWND popup = waitPopup(o);
        RECT r;
        GetWindowRect(popup, &r);
        out("popup\t" + hex(popup) + "\t" + std::to_string(r.left) + "\t" + std::to_string(r.top) + "\t" +
            std::to_string(r.right) + "\t" + std::to_string(r.bottom));
    } else if (c == L"popup-state") {
        popupState(o);
    } else if (c == L"popup-key") {
        popupKey(o);
    } else if (c == L"popup-gone") {
        waitPopupGone(o);
    } else if (c == L"syscommand") {
        PostMessageW(o.hwnd, WM_SYSCOMMAND, o.id, o.row);  // --row: lParam (SC_KEYMENU: the key)
    } else if (c == L"rect") {
        RECT r;
        GetWindowRect(o.hwnd, &r);
        out("rect\t" + std::to_string(r.left) + "\t" + std::to_string(r.top) + "\t" + std::to_string(r.right) +
            "\t" + std::to_string(r.bottom));
    } else if (c == L"style") {
        out("style\t" + hex(reinterpret_cast<void*>(GetWindowLongPtrW(o.hwnd, GWL_STYLE))));
    } else if (c == L"child") {
        HWND child = GetDlgItem(o.hwnd, o.id);
        if (!child) fail("no such control");
        out("child\t" + hex(child));
    } else if (c == L"send") {
        // A message without pointers, e.g. LVM_ENSUREVISIBLE to scroll a list.
        out("result\t" + std::to_string(sendBounded(o.hwnd, static_cast<UINT>(o.id), o.row, 0)));
    } else if (c == L"sync") {
        // Returns once the window's thread has handled what was posted before.
        sendBounded(o.hwnd, WM_NULL, 0, 0);
    } else if (c == L"settings-guard") {
        settingsGuard(o);
    } else {
        fail("unknown command");
    }
    LocalFree(argv);
    return 0;
}
