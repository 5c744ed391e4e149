// Application: the framework's application object (one per process, a static
// global constructed before WinMain runs) with its table of virtual start-up
// operations, and the process-wide accessors. Windows side.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

class Dialog;

class Application {
  public:
    // Registers the object as the process-wide current application.
    Application();
    virtual ~Application();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Sets the runtime library's locale to the user default, stores instance
    // and command line, and builds optionsPath: the module's own full path with
    // everything from its last "." replaced by ".ini". False only when the
    // module path cannot be obtained.
    virtual bool Init(HINSTANCE instance, const char* commandLine);
    // Hook; true.
    virtual bool InitApplication();
    // Initialises the common controls with all classes; true.
    virtual bool InitInstance();
    // Hook run on every path after InitInstance has been entered.
    virtual void ExitInstance();
    // Hook.
    virtual void OnExit();
    // Frees optionsPath; returns lastMessage.wParam (the process exit code).
    virtual int Terminate();

    // The entry point's sequence: Init, InitApplication, InitInstance (and the
    // message loop when it returns true), ExitInstance, OnExit, Terminate.
    int run(HINSTANCE instance, const char* commandLine);

    // The one top-level window object while it exists (owned by the derived
    // application), null before its creation and after its destruction.
    Dialog* mainWindow = nullptr;
    HINSTANCE instance = nullptr;
    // Filled by the message loop; zeroed at construction; wParam is the exit code.
    MSG lastMessage{};
    // The raw command line as passed to the entry point.
    std::string commandLine;
    // Full path of the options file; freed by Terminate.
    std::unique_ptr<std::string> optionsPath;
};

// The process-wide application object (null outside its lifetime).
Application* currentApp();
// Its main window object, or null.
Dialog* currentMainWindow();
// The main window's handle, or null when there is no window (yet).
HWND currentMainWindowHandle();
// The program's module instance (the application's, else the process module).
HINSTANCE currentInstance();

// Loads string stringId from the string table and shows it in a message box
// owned by the main window (none when there is no window), caption "Error",
// warning icon. Returns the box's result.
int showStringError(unsigned stringId);
