// DownloaderApp: the main program's application object. It holds the settings
// of the one download (AppSettings, read directly by every part of the
// program), the options file, and runs start-up: common controls, Winsock, the
// download window object, settings and command line, the modal window.
// Windows side.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/app_settings.h"
#include "app/options_file.h"
#include "app/win32/application.h"

class DownloadWindow;

class DownloaderApp : public Application, public AppSettings {
  public:
    DownloaderApp();
    ~DownloaderApp() override;

    bool Init(HINSTANCE instance, const char* commandLine) override;
    // Common controls (and the extended ones by name), Winsock 2.2 else 1.1,
    // the download window object, settings and command line, the session
    // time-outs, then the download window modally. Always false: the window's
    // own modal loop has run the whole download.
    bool InitInstance() override;
    // WSACleanup when Winsock was started, then the base version.
    void ExitInstance() override;

    // The options file beside the program, key by key (no cache).
    int32_t readInt(const char* section, const char* key, int32_t defaultValue) const;
    std::string readText(const char* section, const char* key,
                         const char* defaultValue = nullptr) const;
    bool writeInt(const char* section, const char* key, int32_t value);
    bool writeText(const char* section, const char* key, const char* text);
    const OptionsFile& optionsFile() const { return options; }

    // InputURL / InputReferer (empty when unset).
    std::string getInputUrl() const { return InputURL; }
    std::string getInputReferer() const { return InputReferer; }

  private:
    // Reads the settings and the command line; shows the message of a
    // failure (a box without owner) and returns false.
    bool readSettingsAndCommandLine();
    // Sets both sessions' time-out counters to Timeout x 10 ticks unless the
    // download has already finished (Dead).
    void armSessionTimeouts();

    OptionsFile options;
    bool winsockStarted = false;
    std::unique_ptr<DownloadWindow> downloadWindow;
};

// The one application object of the process.
DownloaderApp& downloaderApp();
