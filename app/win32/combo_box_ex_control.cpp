// ComboBoxExControl: the messages of the extended combo box. Windows side.
#include "app/win32/combo_box_ex_control.h"

#include <commctrl.h>

#include "platform/win32/abi_layout.h"

static_assert(sizeof(COMBOBOXEXITEMA) == abiSize(36, 56) && offsetof(COMBOBOXEXITEMA, pszText) == abiSize(8, 16),
              "COMBOBOXEXITEMA");

int ComboBoxExControl::count() const {
    return static_cast<int>(sendMessage(CB_GETCOUNT));
}

int ComboBoxExControl::insertItem(int index, const char* text) {
    COMBOBOXEXITEMA item{};
    item.mask = CBEIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(text);
    return static_cast<int>(sendMessage(CBEM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

int ComboBoxExControl::insertIfAbsent(int index, const char* text) {
    // CB_FINDSTRINGEXACT on the extended combo box: case-insensitive, whole text.
    auto found = static_cast<int>(
        sendMessage(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text)));
    if (found != CB_ERR) return found;
    return insertItem(index, text);
}

bool ComboBoxExControl::getItem(int index, char* buffer, int size) const {
    if (!buffer || size <= 0) return false;
    buffer[0] = '\0';
    COMBOBOXEXITEMA item{};
    item.mask = CBEIF_TEXT;
    item.iItem = index;
    item.pszText = buffer;
    item.cchTextMax = size;
    bool ok = sendMessage(CBEM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
    buffer[size - 1] = '\0';
    return ok;
}

Text ComboBoxExControl::getEditText() const {
    char buffer[256] = "";
    if (auto edit = reinterpret_cast<HWND>(sendMessage(CBEM_GETEDITCONTROL)))
        GetWindowTextA(edit, buffer, sizeof buffer);
    return Text(buffer);
}

void ComboBoxExControl::setEditText(const char* text) const {
    if (auto edit = reinterpret_cast<HWND>(sendMessage(CBEM_GETEDITCONTROL)))
        SetWindowTextA(edit, text);
}

void ComboBoxExControl::select(int index) const {
    sendMessage(CB_SETCURSEL, static_cast<WPARAM>(index));
}
