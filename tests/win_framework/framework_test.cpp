// Tests of the Windows window framework (application object, Dialog, Window,
// ComboBoxExControl, ToolbarControl, centerWindow, WaitCursor), run under Wine
// with the real USER32 and COMCTL32. The test program is itself an
// Application: its InitInstance runs the checks inside the framework's start-up
// sequence, and the exit code is 1 when any check failed. Texts with Japanese
// characters are written as code page 932 bytes, as the program handles them.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/win32/application.h"
#include "app/win32/combo_box_ex_control.h"
#include "app/win32/dialog.h"
#include "app/win32/toolbar_control.h"
#include "app/win32/window.h"
#include "platform/system_code_page.h"
#include "tests/win_framework/framework_test_ids.h"

namespace {

int failures = 0;

void expect(bool condition, const char* what, int line) {
    if (condition) return;
    ++failures;
    fprintf(stderr, "framework_test.cpp:%d: FAILED: %s\n", line, what);
}
#define EXPECT(condition) expect((condition), #condition, __LINE__)

// A dialog that records what reaches its handler and runs a script at
// WM_INITDIALOG, then ends with a chosen value.
class ProbeDialog : public Dialog {
  public:
    explicit ProbeDialog(WORD templateId = IDD_PROBE) : Dialog(templateId) {}
    std::vector<UINT> messages;
    HWND handleAtInit = nullptr;
    bool throwOnCommand = false;
    std::function<void(ProbeDialog&)> atInit;

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM) override {
        messages.push_back(message);
        switch (message) {
            case WM_INITDIALOG:
                handleAtInit = hwnd;
                if (atInit) atInit(*this);
                PostMessageA(hwnd, WM_COMMAND, IDC_PROBE_BUTTON, 0);
                return TRUE;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDC_PROBE_BUTTON) {
                    if (throwOnCommand) {
                        throwOnCommand = false;
                        PostMessageA(hwnd, WM_COMMAND, IDC_PROBE_BUTTON, 0);
                        throw std::runtime_error("handler failure");
                    }
                    EndDialog(hwnd, 42);
                    return TRUE;
                }
                return FALSE;
            default:
                return FALSE;
        }
    }
};

void testDialogBinding() {
    ProbeDialog dialog;
    EXPECT(dialog.templateId() == IDD_PROBE);
    INT_PTR result = dialog.runModal(nullptr);
    EXPECT(result == 42);
    // Messages before WM_INITDIALOG (WM_SETFONT, WM_NCCREATE...) reach no object.
    EXPECT(!dialog.messages.empty() && dialog.messages.front() == WM_INITDIALOG);
    EXPECT(dialog.handleAtInit != nullptr);
    // The handle is cleared once the window is gone, so the object does not
    // destroy a stale handle later.
    EXPECT(dialog.messages.back() == WM_NCDESTROY);
    EXPECT(dialog.handle() == nullptr);
}

void testExceptionDoesNotEscape() {
    ProbeDialog dialog;
    dialog.throwOnCommand = true;
    // The first command throws; the dialog goes on and ends on the second.
    EXPECT(dialog.runModal(nullptr) == 42);
}

void testGuardedHandler() {
    EXPECT(runGuarded([] { return LRESULT(7); }, LRESULT(0)) == 7);
    EXPECT(runGuarded([]() -> LRESULT { throw std::runtime_error("failure"); }, LRESULT(-1)) == -1);
}

void testMissingTemplate() {
    ProbeDialog dialog(999);
    EXPECT(dialog.runModal(nullptr) == -1);
    EXPECT(dialog.messages.empty());
}

void testControlsAndOwnership() {
    ProbeDialog dialog;
    dialog.atInit = [](ProbeDialog& d) {
        Window missing;
        EXPECT(!d.attachControl(missing, 4711));
        EXPECT(missing.handle() == nullptr);
        HWND editHandle = nullptr;
        {
            Window edit;
            EXPECT(d.attachControl(edit, IDC_PROBE_EDIT));
            EXPECT(edit.windowFlags() & Window::FLAG_NOT_OWNED);
            editHandle = edit.handle();
            // 300 bytes set, at most 255 read back.
            std::string longText(300, 'x');
            edit.setText(longText.c_str());
            EXPECT(d.getItemText(IDC_PROBE_EDIT).length() == 255);
            EXPECT(edit.getText().length() == 255);
            edit.setText("\x92\x5a\x82\xa2");
            EXPECT(d.getItemText(IDC_PROBE_EDIT) == "\x92\x5a\x82\xa2");
        }
        // A dialog item outlives its Window object: the dialog destroys it.
        EXPECT(IsWindow(editHandle));
        // An owned window dies with its object.
        HWND ownedHandle = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, d.handle(),
                                           nullptr, currentInstance(), nullptr);
        {
            Window owned;
            owned.attach(ownedHandle, false);
        }
        EXPECT(!IsWindow(ownedHandle));
        // The toolbar is created inside its parent, which destroys it.
        HWND toolbarHandle = nullptr;
        {
            ToolbarControl toolbar;
            RECT rect{0, 0, 100, 24};
            EXPECT(
                toolbar.create(WS_CHILD | CCS_NORESIZE | CCS_NOPARENTALIGN, rect, d.handle(), 77));
            EXPECT(toolbar.windowFlags() & Window::FLAG_NOT_OWNED);
            EXPECT(GetDlgCtrlID(toolbar.handle()) == 77);
            TBBUTTON button{};
            button.idCommand = 5;
            button.fsState = TBSTATE_ENABLED;
            button.fsStyle = BTNS_BUTTON;
            button.iBitmap = I_IMAGENONE;
            // Accepted only when the button-structure size was sent.
            EXPECT(toolbar.sendMessage(TB_ADDBUTTONSA, 1, reinterpret_cast<LPARAM>(&button)) != 0);
            EXPECT(toolbar.sendMessage(TB_BUTTONCOUNT) == 1);
            toolbarHandle = toolbar.handle();
        }
        EXPECT(IsWindow(toolbarHandle));
    };
    EXPECT(dialog.runModal(nullptr) == 42);
}

void testComboBoxEx() {
    ProbeDialog dialog(IDD_COMBO);
    dialog.atInit = [](ProbeDialog& d) {
        ComboBoxExControl combo;
        if (!d.attachControl(combo, IDC_COMBO)) {
            EXPECT(!"ComboBoxEx32 item attached");
            return;
        }
        EXPECT(combo.count() == 0);
        EXPECT(combo.insertItem(-1, "C:\\dl\\") == 0);
        EXPECT(combo.insertItem(-1,
                                "D:\\\x83\x5f\x83\x45\x83\x93\x83\x8d\x81\x5b\x83\x68"
                                "\\") == 1);
        // The search is exact but ignores case: no second copy.
        EXPECT(combo.insertIfAbsent(0, "c:\\DL\\") == 0);
        EXPECT(combo.count() == 2);
        // A text that only starts like an item is another item.
        EXPECT(combo.insertIfAbsent(0, "C:\\d") == 0);
        EXPECT(combo.count() == 3);
        char buffer[260];
        EXPECT(combo.getItem(2, buffer, sizeof buffer) &&
               std::string(buffer) ==
                   "D:\\\x83\x5f\x83\x45\x83\x93\x83\x8d\x81\x5b\x83\x68"
                   "\\");
        // A small buffer gets a terminated, cut copy.
        char small[4];
        combo.getItem(2, small, sizeof small);
        EXPECT(small[3] == '\0');
        EXPECT(!combo.getItem(9, buffer, sizeof buffer));
        combo.setEditText("E:\\\x90\x56\x82\xb5\x82\xa2");
        EXPECT(combo.getEditText() == "E:\\\x90\x56\x82\xb5\x82\xa2");
        combo.select(1);
        EXPECT(combo.sendMessage(CB_GETCURSEL) == 1);
        EXPECT(combo.getEditText() == "C:\\dl\\");
    };
    EXPECT(dialog.runModal(nullptr) == 42);
}

void testCenterWindow() {
    RECT area;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                  currentInstance(), nullptr);
    HWND reference = CreateWindowExA(0, "STATIC", "", WS_POPUP, 300, 200, 400, 300, nullptr,
                                     nullptr, currentInstance(), nullptr);
    RECT r;
    centerWindow(window, reference);
    GetWindowRect(window, &r);
    EXPECT(r.left == 400 && r.top == 300 && r.right - r.left == 200 && r.bottom - r.top == 100);
    // Over a reference at the top left corner: pushed inside the work area.
    MoveWindow(reference, area.left - 150, area.top - 150, 200, 200, FALSE);
    centerWindow(window, reference);
    GetWindowRect(window, &r);
    EXPECT(r.left == area.left && r.top == area.top);
    // At the bottom right corner likewise.
    MoveWindow(reference, area.right - 50, area.bottom - 50, 200, 200, FALSE);
    centerWindow(window, reference);
    GetWindowRect(window, &r);
    EXPECT(r.right == area.right && r.bottom == area.bottom);
    // No reference: the desktop.
    centerWindow(window, nullptr);
    GetWindowRect(window, &r);
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN),
              screenHeight = GetSystemMetrics(SM_CYSCREEN);
    EXPECT(r.left == (screenWidth - 200) / 2 && r.top == (screenHeight - 100) / 2);
    DestroyWindow(window);
    DestroyWindow(reference);
}

void testWaitCursor() {
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    HCURSOR cross = LoadCursorA(nullptr, IDC_CROSS);
    SetCursor(cross);
    {
        WaitCursor outer;
        EXPECT(GetCursor() == wait);
        {
            WaitCursor inner;
            EXPECT(GetCursor() == wait);
        }
        // The inner scope's end only counts down.
        EXPECT(GetCursor() == wait);
    }
    EXPECT(GetCursor() == cross);
    // With no cursor before, the arrow comes back.
    SetCursor(nullptr);
    { WaitCursor scope; }
    EXPECT(GetCursor() == arrow);
}

// The framework's application object, checked from the inside: the virtual
// start-up operations run in their order, and Terminate's value is the exit
// code (here 1 when any check failed: a count could read as ctest's skip
// code 125, or wrap to 0 at 256).
class TestApp : public Application {
  public:
    std::string calls;
    bool Init(HINSTANCE instance, const char* commandLine) override {
        calls += "Init ";
        // The tests run with a Japanese locale: the system code page is 932.
        platformSetSystemCodePage();
        EXPECT(GetACP() == 932);
        EXPECT(currentCodePage() == CODE_PAGE_932);
        return Application::Init(instance, commandLine);
    }
    bool InitApplication() override {
        calls += "InitApplication ";
        return true;
    }
    bool InitInstance() override {
        calls += "InitInstance ";
        Application::InitInstance();
        EXPECT(currentApp() == this);
        EXPECT(currentMainWindow() == nullptr && currentMainWindowHandle() == nullptr);
        EXPECT(commandLine == "first \"second arg\"");
        // The options file is named after the program: framework_test.ini.
        const std::string suffix = "\\framework_test.ini";
        EXPECT(optionsPath && optionsPath->size() > suffix.size() &&
               optionsPath->compare(optionsPath->size() - suffix.size(), suffix.size(), suffix) ==
                   0);
        testDialogBinding();
        testExceptionDoesNotEscape();
        testGuardedHandler();
        testMissingTemplate();
        testControlsAndOwnership();
        testComboBoxEx();
        testCenterWindow();
        testWaitCursor();
        // The program runs modally inside InitInstance: no message loop after it.
        return false;
    }
    void ExitInstance() override { calls += "ExitInstance "; }
    void OnExit() override { calls += "OnExit "; }
    int Terminate() override {
        calls += "Terminate";
        EXPECT(calls == "Init InitApplication InitInstance ExitInstance OnExit Terminate");
        int base = Application::Terminate();
        EXPECT(base == 0);
        EXPECT(!optionsPath);
        fprintf(stderr, "%d failure(s)\n", failures);
        return failures ? 1 : 0;
    }
};

TestApp testApp;

}  // namespace
