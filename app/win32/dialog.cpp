// Dialog and the shared dialog procedure. Windows side.
#include "app/win32/dialog.h"

#include "foundation/string_table.h"
#include "app/win32/application.h"
#include "platform/win32/abi_layout.h"

// The dialog object lives in the dialog's pointer-sized user slot, the one
// after the message result and the dialog procedure.
static_assert(DWLP_USER == abiSize(8, 16) && sizeof(LONG_PTR) == sizeof(Dialog*), "DWLP_USER");

INT_PTR Dialog::runModal(HWND owner) {
    return DialogBoxParamA(currentInstance(), MAKEINTRESOURCEA(resourceId), owner, dialogProcedure,
                           reinterpret_cast<LPARAM>(this));
}

bool Dialog::attachControl(Window& control, int itemId) {
    HWND item = GetDlgItem(hwnd, itemId);
    if (!item) return false;
    control.attach(item, true);
    return true;
}

Text Dialog::getItemText(int itemId) const {
    char buffer[256] = "";
    GetDlgItemTextA(hwnd, itemId, buffer, sizeof buffer);
    return Text(buffer);
}

int Dialog::showStringWarning(unsigned stringId, const char* caption) {
    char text[256];
    loadStringEntry(stringId, text, sizeof text);
    return MessageBoxA(hwnd, text, caption, MB_ICONWARNING);
}

INT_PTR CALLBACK Dialog::dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* object = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        if (object) object->hwnd = dialog;
    }
    auto* object = reinterpret_cast<Dialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
    // Messages before WM_INITDIALOG (WM_SETFONT and the like) have no object yet.
    if (!object) return 0;
    INT_PTR result = 0;
    try {
        result = object->handleMessage(message, wParam, lParam);
    } catch (...) {
        // An exception must not cross the platform's dispatcher; the message
        // counts as not handled.
        result = 0;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(dialog, DWLP_USER, 0);
        object->detach();
    }
    return result;
}
