// The thin object layer over one window handle, shared by every window of the
// main program, plus the small window helpers (centring, the wait cursor,
// subclassing). Windows side: user-interface thread only.
#pragma once

#include <windows.h>

#include "foundation/text.h"

// One window handle with its ownership flag. Plain attached controls (edit
// boxes, static texts, check boxes, the tab control) use this class directly.
class Window {
  public:
    // Flag: the window is a dialog item or a child that its parent destroys,
    // so this object must never destroy it.
    static constexpr unsigned FLAG_NOT_OWNED = 0x1;

    Window() = default;
    // Destroys the window with DestroyWindow unless it is not owned (its handle
    // is cleared first) or already gone.
    virtual ~Window();

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND handle() const { return hwnd; }
    unsigned windowFlags() const { return flags; }
    // Binds an existing window; notOwned sets FLAG_NOT_OWNED.
    void attach(HWND window, bool notOwned);
    // Forgets the handle without destroying the window (after WM_NCDESTROY).
    void detach() { hwnd = nullptr; }

    LRESULT sendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return SendMessageA(hwnd, message, wParam, lParam);
    }
    bool setText(const char* text) const { return SetWindowTextA(hwnd, text) != FALSE; }
    // The window's text, at most 255 bytes.
    Text getText() const;
    void enable(bool on) const { EnableWindow(hwnd, on ? TRUE : FALSE); }
    void show(int command) const { ShowWindow(hwnd, command); }
    // Check boxes and radio buttons.
    bool isChecked() const { return sendMessage(BM_GETCHECK) == BST_CHECKED; }
    void setChecked(bool on) const { sendMessage(BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED); }

  protected:
    HWND hwnd = nullptr;
    unsigned flags = 0;
};

// Places window centred over reference (the desktop when null), moved inside
// the work area (the whole screen when that is unavailable): first so that it
// is not cut at the left or top edge, then at the right or bottom edge. Size
// and Z order stay unchanged.
void centerWindow(HWND window, HWND reference);

// Shows the system's wait cursor for the life of the scope. Scopes nest: only
// the first level changes the cursor, and ending the last level restores the
// cursor that was current before (the arrow when there was none).
class WaitCursor {
  public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Runs handler and returns its result, or fallback when it throws: no
// exception may cross the platform's message dispatcher. For the window
// procedures of subclassed controls (the dialog procedure guards itself).
template <typename Handler, typename Result>
Result runGuarded(Handler&& handler, Result fallback) noexcept {
    try {
        return handler();
    } catch (...) {
        return fallback;
    }
}

// Replaces a control's window procedure and returns the previous one, which
// the new procedure must pass every message on to with CallWindowProcA. Each
// subclassed control keeps that previous procedure in a process-wide variable
// of its own (there is one download window per process). Null on failure.
WNDPROC subclassWindow(HWND window, WNDPROC procedure);
