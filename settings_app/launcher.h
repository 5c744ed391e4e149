// The automation launcher of DorimelServer.exe: CLauncher ("DorimelServer.Launcher",
// one dispatch member yaru) with its class factory and registration, the
// application lock count that ends the automation server, and the browser's
// context-menu entry that reaches it through the script page. Windows side.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

// The folder of this program's executable with a trailing backslash; empty
// when it cannot be found.
std::string programFolder();

// Application lock count: each live CLauncher and each LockServer(TRUE) holds
// one. When the automation server's count falls to zero it ends.
void lockApplication();
void unlockApplication();

class CLauncher final : public IDispatch {
public:
    CLauncher();

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // Starts dorimel.exe from this program's folder with "URL" -rf "referer".
    static void yaru(const VARIANT& url, const VARIANT& referer);

private:
    ~CLauncher();
    ULONG references_ = 1;
};

// Text of a yaru argument: a string given directly or by reference (also a
// variant by reference that holds one) gives its ANSI text, anything else "".
std::string launcherArgumentText(const VARIANT& value);

// Registry entries of the launcher class: ProgID "DorimelServer.Launcher" and
// CLSID with this program as local server. Both return true on success.
bool registerLauncherClass();
bool unregisterLauncherClass();

// The browser's context-menu entry naming DorimelIEScript.htm beside this program.
bool installContextMenu();
bool removeContextMenu();

// Serves CLauncher objects to COM until the last one is released. Returns the
// process exit code.
int runAutomationServer();
