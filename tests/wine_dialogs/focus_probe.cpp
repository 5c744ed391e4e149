// Test tool: prints which control of a process's window holds the keyboard
// focus, as "focus<TAB>ID<TAB>class<TAB>parent ID" (parent 0: the window
// itself). Usage: focus_probe PID TITLE, or focus_probe park (the first visible top-level window of
// that process with exactly that caption).
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
struct Search {
    DWORD pid;
    std::wstring title;
    HWND found;
};

BOOL CALLBACK findWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
    wchar_t title[256] = L"";
    GetWindowTextW(window, title, 256);
    if (search->title != title) return TRUE;
    search->found = window;
    return FALSE;
}
}  // namespace

int main() {
    // The wide command line keeps the caption exact whatever the code page.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 2 && std::wstring(argv[1]) == L"park") {
        // Moves the pointer to the screen's bottom-right corner, away from
        // the dialogs: with no window manager, the window under the pointer
        // takes the input focus whenever a window above it goes away.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        return 0;
    }
    if (!argv || argc < 3) return 2;
    Search search{DWORD(std::wcstoul(argv[1], nullptr, 10)), argv[2], nullptr};
    // The window may still be coming back after a message box: bounded wait.
    for (int i = 0; i < 100 && !search.found; ++i) {
        EnumWindows(findWindow, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(100);
    }
    if (!search.found) {
        std::fprintf(stderr, "focus_probe: no such window\n");
        return 1;
    }
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(search.found, nullptr), &info) ||
        !info.hwndFocus) {
        std::printf("focus\tnone\n");
        return 0;
    }
    char cls[64] = "";
    GetClassNameA(info.hwndFocus, cls, sizeof cls);
    HWND parent = GetParent(info.hwndFocus);
    int parentId = parent && parent != search.found ? GetDlgCtrlID(parent) : 0;
    std::printf("focus\t%d\t%s\t%d\n", GetDlgCtrlID(info.hwndFocus), cls, parentId);
    return 0;
}
