// Start-up of the Linux console front end. Native only.
#include "app/console/console_startup.h"

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/options_file.h"
#include "platform/paths.h"
#include "platform/system_code_page.h"

namespace {

// String-table entries: the short usage and the missing URL.
constexpr unsigned kUsage = 200, kNoUrl = 201;

}  // namespace

int startConsole(int argc, char** argv, AppSettings& settings, const TempFileLoader& loader) {
    std::setlocale(LC_ALL, "");
    platformSetSystemCodePage();
    if (argc < 2) {
        // The Windows program opens the new-download dialog here; a terminal
        // has none, so say how to call the program instead.
        std::fprintf(stderr, "%s\n", loadStringText(kUsage).c_str());
        return EXIT_STARTUP_ERROR;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const OptionsFile options(consoleOptionsPath());
    // The console downloads https by default; the options file may say 0.
    settings.EnableHttps = true;
    settings.EnableIpv6 = true;  // likewise IPv6
    StartupError error;
    const bool started = runStartup(options, arguments, settings, platformStartupEnvironment(), loader, error);
    takeHandoffCookie(settings);
    if (!started) {
        std::fprintf(stderr, "%s: %s\n", error.caption.c_str(), error.text.c_str());
        return EXIT_STARTUP_ERROR;
    }
    // There is no browser cache here: -ic and IsUseIECache change nothing
    // (the Windows program downloads into the browser's cache with them).
    settings.UseIECache = false;
    // Options without a URL (or a temporary file): a command-line error too.
    if (!settings.resuming && settings.InputURL.empty()) {
        std::fprintf(stderr, "dorimel: %s\n", loadStringText(kNoUrl).c_str());
        return EXIT_STARTUP_ERROR;
    }
    return -1;
}
