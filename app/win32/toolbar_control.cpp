// ToolbarControl: creates a ToolbarWindow32 inside its parent. Windows side.
#include "app/win32/toolbar_control.h"

#include <commctrl.h>

#include "app/win32/application.h"

bool ToolbarControl::create(DWORD style, const RECT& rect, HWND parent, int controlId) {
    HWND toolbar = CreateWindowExA(0, TOOLBARCLASSNAMEA, nullptr, style, rect.left, rect.top,
                                   rect.right - rect.left, rect.bottom - rect.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                                   currentInstance(), nullptr);
    if (!toolbar) return false;
    attach(toolbar, true);
    // The platform checks this against its own TBBUTTON (20 bytes in 32-bit
    // programs, larger in 64-bit ones).
    sendMessage(TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON));
    return true;
}
