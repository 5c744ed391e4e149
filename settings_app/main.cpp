// Entry point of DorimelServer.exe: the settings dialog, or the automation
// server when COM starts the program, or the class registration switches.
// Windows side.
#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <shellapi.h>

#include <string>

#include "settings_app/launcher.h"
#include "resources/dorimel_server_ids.h"
#include "settings_app/settings_dialog.h"

namespace {

enum class StartMode { Dialog, Automation, RegisterClass, UnregisterClass };

// The switches COM and installers pass: "-Embedding" / "-Automation" (or with
// "/"), "/RegServer", "/UnregServer"; case-insensitive. Anything else is ignored.
StartMode startMode(const wchar_t* commandLine) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    StartMode mode = StartMode::Dialog;
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        const wchar_t* argument = arguments[i];
        if (argument[0] != L'-' && argument[0] != L'/') continue;
        const wchar_t* name = argument + 1;
        if (lstrcmpiW(name, L"Embedding") == 0 || lstrcmpiW(name, L"Automation") == 0) {
            mode = StartMode::Automation;
        } else if (lstrcmpiW(name, L"RegServer") == 0) {
            mode = StartMode::RegisterClass;
            break;
        } else if (lstrcmpiW(name, L"UnregServer") == 0) {
            mode = StartMode::UnregisterClass;
            break;
        }
    }
    if (arguments != nullptr) LocalFree(arguments);
    return mode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (FAILED(OleInitialize(nullptr))) {
        wchar_t text[512] = L"";
        LoadStringW(instance, IDS_OLE_INIT_FAILED, text, 512);
        MessageBoxW(nullptr, text, L"DorimelServer", MB_OK);
        return 1;
    }
    // Three-dimensional controls are the platform's default look (DS_3DLOOK).
    int exitCode = 0;
    switch (startMode(GetCommandLineW())) {
    case StartMode::Automation:
        exitCode = runAutomationServer();
        break;
    case StartMode::RegisterClass:
        exitCode = registerLauncherClass() ? 0 : 1;
        break;
    case StartMode::UnregisterClass:
        exitCode = unregisterLauncherClass() ? 0 : 1;
        break;
    case StartMode::Dialog: {
        SettingsDialog dialog;
        dialog.run(nullptr);
        break;
    }
    }
    OleUninitialize();
    return exitCode;
}
