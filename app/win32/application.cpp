// Application: the framework's start-up sequence, the process-wide accessors,
// showStringError and the entry point. Windows side.
#include "app/win32/application.h"

#include <clocale>

#include <commctrl.h>

#include "app/options_file.h"
#include "foundation/string_table.h"
#include "app/win32/dialog.h"
#include "platform/paths.h"
#include "platform/win32/abi_layout.h"

namespace {
Application* theApplication = nullptr;
}  // namespace

Application::Application() {
    theApplication = this;
}

Application::~Application() {
    if (theApplication == this) theApplication = nullptr;
}

bool Application::Init(HINSTANCE moduleInstance, const char* line) {
    setlocale(LC_ALL, "");
    instance = moduleInstance;
    commandLine = line ? line : "";
    std::string modulePath;
    if (!platformModulePath(modulePath)) return false;
    optionsPath = std::make_unique<std::string>(optionsPathForModule(modulePath));
    return true;
}

bool Application::InitApplication() {
    return true;
}

// The common controls compare dwSize with their own structure.
static_assert(sizeof(INITCOMMONCONTROLSEX) == abiSize(8, 8), "INITCOMMONCONTROLSEX");

bool Application::InitInstance() {
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), 0xFF};
    InitCommonControlsEx(&classes);
    return true;
}

void Application::ExitInstance() {}

void Application::OnExit() {}

int Application::Terminate() {
    optionsPath.reset();
    return static_cast<int>(lastMessage.wParam);
}

int Application::run(HINSTANCE moduleInstance, const char* line) {
    if (!Init(moduleInstance, line)) return Terminate();
    if (!InitApplication()) {
        OnExit();
        return Terminate();
    }
    if (InitInstance()) {
        while (GetMessageA(&lastMessage, nullptr, 0, 0) > 0) {
            TranslateMessage(&lastMessage);
            DispatchMessageA(&lastMessage);
        }
    }
    ExitInstance();
    OnExit();
    return Terminate();
}

Application* currentApp() {
    return theApplication;
}

Dialog* currentMainWindow() {
    return theApplication ? theApplication->mainWindow : nullptr;
}

HWND currentMainWindowHandle() {
    Dialog* window = currentMainWindow();
    return window ? window->handle() : nullptr;
}

HINSTANCE currentInstance() {
    if (theApplication && theApplication->instance) return theApplication->instance;
    return GetModuleHandleA(nullptr);
}

int showStringError(unsigned stringId) {
    char text[256];
    loadStringEntry(stringId, text, sizeof text);
    return MessageBoxA(currentMainWindowHandle(), text, "Error", MB_ICONWARNING);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    Application* app = currentApp();
    if (!app) return 0;
    try {
        return app->run(instance, commandLine);
    } catch (...) {
        // Nothing may escape into the runtime; the process still ends normally.
        return 0;
    }
}
