// ToolbarControl: creates a ToolbarWindow32 inside its parent. Windows side.
#include "app/win32/toolbar_control.h"

#include <commctrl.h>

#include "app/win32/application.h"
#include "platform/win32/abi_layout.h"

// The toolbar compares the size given with TB_BUTTONSTRUCTSIZE with its own,
// and reads the buttons of TB_ADDBUTTONS at its own offsets.
static_assert(sizeof(TBBUTTON) == abiSize(20, 32) && offsetof(TBBUTTON, dwData) == abiSize(12, 16) &&
                  offsetof(TBBUTTON, iString) == abiSize(16, 24),
              "TBBUTTON");

bool ToolbarControl::create(DWORD style, const RECT& rect, HWND parent, int controlId) {
    HWND toolbar = CreateWindowExA(0, TOOLBARCLASSNAMEA, nullptr, style, rect.left, rect.top,
                                   rect.right - rect.left, rect.bottom - rect.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                                   currentInstance(), nullptr);
    if (!toolbar) return false;
    attach(toolbar, true);
    // The platform checks this against its own TBBUTTON (20 bytes in 32-bit
    // programs, 32 in 64-bit ones).
    sendMessage(TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON));
    return true;
}
