// Dialog: a Window bound to a dialog template, whose every message goes to one
// virtual handler through the shared dialog procedure. Windows side.
#pragma once

#include "app/win32/window.h"

class Dialog : public Window {
  public:
    explicit Dialog(WORD templateId) : resourceId(templateId) {}
    ~Dialog() override = default;

    // Every message of the dialog after WM_INITDIALOG (included). The result
    // is the dialog procedure's: non-zero = handled (for WM_INITDIALOG,
    // non-zero lets the platform set the default focus).
    virtual INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // Runs the template modally with the program's instance and the given owner
    // (none when null). Returns the value passed to EndDialog, or -1 when the
    // template cannot be created.
    INT_PTR runModal(HWND owner);

    // Looks item itemId up, binds it to control and marks it not owned.
    // False when the dialog has no such item.
    bool attachControl(Window& control, int itemId);

    // The item's text, at most 255 bytes.
    Text getItemText(int itemId) const;

    // Message box owned by the dialog: string-table text, the given caption
    // (null: the platform's default caption), warning icon. Returns its result.
    int showStringWarning(unsigned stringId, const char* caption);

    WORD templateId() const { return resourceId; }

    // The shared dialog procedure: binds the object passed as creation
    // parameter at WM_INITDIALOG (user data slot DWLP_USER), routes every later
    // message to handleMessage, returns 0 for messages before WM_INITDIALOG,
    // clears the object's handle after WM_NCDESTROY. No exception escapes it.
    static INT_PTR CALLBACK dialogProcedure(HWND dialog, UINT message, WPARAM wParam,
                                            LPARAM lParam);

  private:
    WORD resourceId;
};
