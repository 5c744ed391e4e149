// Window, centerWindow, WaitCursor and the subclassing helper. Windows side.
#include "app/win32/window.h"

Window::~Window() {
    // A dialog item or a child is destroyed by its parent: forget it first.
    if (flags & FLAG_NOT_OWNED) hwnd = nullptr;
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    hwnd = nullptr;
}

void Window::attach(HWND window, bool notOwned) {
    hwnd = window;
    flags = notOwned ? (flags | FLAG_NOT_OWNED) : (flags & ~FLAG_NOT_OWNED);
}

Text Window::getText() const {
    char buffer[256] = "";
    if (hwnd) GetWindowTextA(hwnd, buffer, sizeof buffer);
    return Text(buffer);
}

void centerWindow(HWND window, HWND reference) {
    RECT own, ref;
    if (!GetWindowRect(window, &own)) return;
    if (!reference || !GetWindowRect(reference, &ref)) GetWindowRect(GetDesktopWindow(), &ref);
    RECT area;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0)) {
        area.left = 0;
        area.top = 0;
        area.right = GetSystemMetrics(SM_CXSCREEN);
        area.bottom = GetSystemMetrics(SM_CYSCREEN);
    }
    const long width = own.right - own.left, height = own.bottom - own.top;
    long x = ref.left + ((ref.right - ref.left) - width) / 2;
    long y = ref.top + ((ref.bottom - ref.top) - height) / 2;
    // Kept inside at the left and top first, then at the right and bottom.
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    if (x + width > area.right) x = area.right - width;
    if (y + height > area.bottom) y = area.bottom - height;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {
int waitCursorLevel = 0;
HCURSOR cursorBeforeWait = nullptr;
}  // namespace

WaitCursor::WaitCursor() {
    if (waitCursorLevel++ == 0) cursorBeforeWait = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
}

WaitCursor::~WaitCursor() {
    if (--waitCursorLevel == 0) {
        SetCursor(cursorBeforeWait ? cursorBeforeWait : LoadCursorA(nullptr, IDC_ARROW));
        cursorBeforeWait = nullptr;
    }
}

WNDPROC subclassWindow(HWND window, WNDPROC procedure) {
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}
