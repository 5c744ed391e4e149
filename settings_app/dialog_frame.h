// A small modal-dialog framework for the settings program: the dialog object is
// stored at WM_INITDIALOG and every message goes to one handler; data exchange
// moves plain fields to and from the controls. Windows side.
#pragma once

#include <windows.h>

#include <string>

// Moves values between a dialog's controls and plain fields, in the direction
// chosen at construction (saving = from the controls into the fields).
class DataExchange {
public:
    DataExchange(HWND dialog, bool saving) : dialog_(dialog), saving_(saving) {}
    bool saving() const { return saving_; }

    // Check box state: 0 unchecked, 1 checked, 2 indeterminate.
    void check(int id, int& state);
    // Radio group beginning with firstId (up to the next control with
    // WS_GROUP): the index of the selected button, -1 when none is.
    void radio(int firstId, int& index);
    // Window text in the ANSI code page.
    void text(int id, std::string& value);

private:
    HWND dialog_;
    bool saving_;
};

class ModalDialog {
public:
    explicit ModalDialog(int templateId) : templateId_(templateId) {}
    virtual ~ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Runs the dialog; returns the code given to end (IDOK, IDCANCEL), or -1
    // when the dialog could not be created.
    INT_PTR run(HWND owner);

protected:
    HWND handle() const { return handle_; }
    HWND item(int id) const { return GetDlgItem(handle_, id); }
    void end(INT_PTR result) { EndDialog(handle_, result); }
    // Fields to controls (saving false) or controls to fields (saving true).
    void updateData(bool saving);

    virtual void exchangeData(DataExchange&) {}
    // Called after the controls show the fields; the default does nothing.
    virtual void onInitDialog() {}
    // A WM_COMMAND other than OK and Cancel.
    virtual void onCommand(int /*id*/, int /*code*/) {}
    virtual void onOK();
    virtual void onCancel() { end(IDCANCEL); }

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    HWND handle_ = nullptr;
};
