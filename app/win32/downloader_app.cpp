// DownloaderApp: the main program's start-up and shutdown around the modal
// download window, and the one static application object. Windows side.
#include "app/win32/downloader_app.h"

// The seam's header brings Winsock in before <windows.h>.
#include "platform/win32/win32_seam.h"

#include <commctrl.h>

#include "app/startup.h"
#include "platform/win32/abi_layout.h"
#include "foundation/string_table.h"
#include "app/win32/dialog.h"
#include "app/win32/download_window.h"
#include "platform/paths.h"
#include "platform/system_code_page.h"

namespace {

// Constructed before WinMain runs, destroyed after it returns.
DownloaderApp theDownloaderApp;

enum : unsigned {
    IDS_SOCKET_INIT_FAILED = 1,  // "ソケットの初期化に失敗しました。"
    IDS_COMMON_CONTROLS_FAILED = 86,  // "コモンコントロールの初期化に失敗しました。"
};

std::string stringText(unsigned id) {
    char text[256];
    loadStringEntry(id, text, sizeof text);
    return text;
}

// The extended common controls that the program uses (list view 0x1 and the
// extended combo box 0x200), looked up by name so that an old COMCTL32 without
// InitCommonControlsEx is only reported, not fatal.
void initExtendedCommonControls() {
    InitCommonControls();
    HMODULE comctl = LoadLibraryA("COMCTL32.DLL");
    if (!comctl) return;
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFunction>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    if (init) {
        INITCOMMONCONTROLSEX classes{8, ICC_LISTVIEW_CLASSES | ICC_USEREX_CLASSES};
        if (!init(&classes)) {
            MessageBoxA(nullptr, stringText(IDS_COMMON_CONTROLS_FAILED).c_str(),
                        stringText(IDS_ERROR_CAPTION).c_str(), MB_ICONWARNING);
        }
    }
    FreeLibrary(comctl);
}

// WSAStartup fills the structure of its own build (fields in another order in
// 64-bit programs).
static_assert(sizeof(WSADATA) == abiSize(400, 408), "WSADATA");

// Winsock 2.2, else 1.1. A start that succeeds with another version is undone
// at once so that the library's start count stays balanced.
bool startWinsock() {
    const WORD versions[] = {MAKEWORD(2, 2), MAKEWORD(1, 1)};
    for (WORD version : versions) {
        WSADATA data;
        if (WSAStartup(version, &data) != 0) continue;
        if (data.wVersion == version) return true;
        WSACleanup();
    }
    return false;
}

}  // namespace

DownloaderApp& downloaderApp() {
    return theDownloaderApp;
}

DownloaderApp::DownloaderApp() = default;

DownloaderApp::~DownloaderApp() = default;

bool DownloaderApp::Init(HINSTANCE moduleInstance, const char* line) {
    // Texts are bytes of the system's ANSI code page (932 on Japanese Windows).
    platformSetSystemCodePage();
    if (!Application::Init(moduleInstance, line)) return false;
    options.setPath(*optionsPath);
    return true;
}

bool DownloaderApp::InitInstance() {
    Application::InitInstance();
    initExtendedCommonControls();
    if (!startWinsock()) {
        showStringError(IDS_SOCKET_INIT_FAILED);
        return false;
    }
    winsockStarted = true;

    downloadWindow = std::make_unique<DownloadWindow>();
    mainWindow = downloadWindow.get();
    if (!readSettingsAndCommandLine()) {
        mainWindow = nullptr;
        downloadWindow.reset();
        return false;
    }
    armSessionTimeouts();

    downloadWindow->runModal(nullptr);
    mainWindow = nullptr;
    downloadWindow.reset();
    return false;
}

void DownloaderApp::ExitInstance() {
    if (winsockStarted) WSACleanup();
    winsockStarted = false;
    Application::ExitInstance();
}

bool DownloaderApp::readSettingsAndCommandLine() {
    const std::vector<std::string> arguments = splitCommandLine(commandLine.c_str());
    // A temporary download file named on the command line is loaded into the
    // job that the download window carries.
    DownloadJob& job = downloadWindow->job();
    TempFileLoader loader = [&job](const std::string& argument, AppSettings& settings) {
        return job.loadTempFile(argument, settings);
    };
    StartupError error;
    const bool started = runStartup(options, arguments, *this, platformStartupEnvironment(), loader, error);
    takeHandoffCookie(*this);
    if (started) return true;
    const UINT icon = error.icon == MESSAGE_ICON_ERROR ? MB_ICONERROR : MB_ICONWARNING;
    MessageBoxA(nullptr, error.text.c_str(), error.caption.c_str(), MB_OK | icon);
    return false;
}

void DownloaderApp::armSessionTimeouts() {
    // Each session counts Timeout x 10 ticks of 100 ms without progress; a
    // finished download (Dead) keeps its counters as loaded.
    DownloadJob& job = downloadWindow->job();
    for (int session = 0; session < 2; ++session) job.reloadTimeout(session);
}

int32_t DownloaderApp::readInt(const char* section, const char* key, int32_t defaultValue) const {
    return options.readInt(section, key, defaultValue);
}

std::string DownloaderApp::readText(const char* section, const char* key,
                                    const char* defaultValue) const {
    return options.readText(section, key, defaultValue);
}

bool DownloaderApp::writeInt(const char* section, const char* key, int32_t value) {
    return options.writeInt(section, key, value);
}

bool DownloaderApp::writeText(const char* section, const char* key, const char* text) {
    return options.writeText(section, key, text);
}
