// The settings program's dialog framework (see dialog_frame.h). Windows side.
#include "settings_app/dialog_frame.h"

#include "platform/win32/abi_layout.h"

// The dialog object lives in the dialog's pointer-sized user slot, the one
// after the message result and the dialog procedure.
static_assert(DWLP_USER == abiSize(8, 16) && sizeof(LONG_PTR) == sizeof(ModalDialog*), "DWLP_USER");

void DataExchange::check(int id, int& state) {
    HWND control = GetDlgItem(dialog_, id);
    if (saving_) {
        LRESULT value = SendMessageW(control, BM_GETCHECK, 0, 0);
        state = value == BST_CHECKED ? 1 : value == BST_INDETERMINATE ? 2 : 0;
    } else {
        WPARAM value = state == 1 ? BST_CHECKED : state == 2 ? BST_INDETERMINATE : BST_UNCHECKED;
        SendMessageW(control, BM_SETCHECK, value, 0);
    }
}

void DataExchange::radio(int firstId, int& index) {
    HWND control = GetDlgItem(dialog_, firstId);
    if (saving_) index = -1;
    int position = 0;
    while (control != nullptr) {
        if (saving_) {
            if (SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED) index = position;
        } else {
            SendMessageW(control, BM_SETCHECK, position == index ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        control = GetWindow(control, GW_HWNDNEXT);
        if (control == nullptr || (GetWindowLongW(control, GWL_STYLE) & WS_GROUP) != 0) break;
        ++position;
    }
}

void DataExchange::text(int id, std::string& value) {
    HWND control = GetDlgItem(dialog_, id);
    if (saving_) {
        int length = GetWindowTextLengthA(control);
        std::string buffer(static_cast<size_t>(length) + 1, '\0');
        int copied = GetWindowTextA(control, &buffer[0], length + 1);
        buffer.resize(static_cast<size_t>(copied > 0 ? copied : 0));
        value = buffer;
    } else {
        SetWindowTextA(control, value.c_str());
    }
}

INT_PTR ModalDialog::run(HWND owner) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), owner,
                           dialogProc, reinterpret_cast<LPARAM>(this));
}

void ModalDialog::updateData(bool saving) {
    DataExchange exchange(handle_, saving);
    exchangeData(exchange);
}

void ModalDialog::onOK() {
    updateData(true);
    end(IDOK);
}

INT_PTR CALLBACK ModalDialog::dialogProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
    ModalDialog* dialog = nullptr;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<ModalDialog*>(lParam);
        dialog->handle_ = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    } else {
        dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (dialog == nullptr) return FALSE;
    // No exception may cross the window procedure.
    try {
        return dialog->handleMessage(message, wParam, lParam);
    } catch (...) {
        return FALSE;
    }
}

INT_PTR ModalDialog::handleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        updateData(false);
        onInitDialog();
        return TRUE;
    case WM_COMMAND: {
        int id = LOWORD(wParam);
        int code = HIWORD(wParam);
        if (id == IDOK && code == BN_CLICKED)
            onOK();
        else if (id == IDCANCEL)
            onCancel();
        else
            onCommand(id, code);
        return TRUE;
    }
    default:
        return FALSE;
    }
}
