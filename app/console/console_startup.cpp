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

const char kUsage[] =
    "usage: dorimel [options] URL\n"
    "       dorimel [options] FILE.dorimelt    (resume a stopped download)\n"
    "options: -rf referer  -to seconds  -td folder  -pr proxy  -ap password\n"
    "         -sf soundfile  -ss K/s  and the switches -fs -ic -ac -pn -sp -sl\n"
    "         -nr -ie -rn -nd -iw -ar -ik, each followed by 0 or 1\n";

}  // namespace

std::string consoleOptionsPath() {
    std::string module;
    if (!platformModulePath(module)) return std::string();
    return consoleOptionsPathForProgram(module);
}

std::string consoleOptionsPathForProgram(const std::string& programPath) {
    return optionsPathForModule(programPath);
}

int startConsole(int argc, char** argv, AppSettings& settings, const TempFileLoader& loader) {
    std::setlocale(LC_ALL, "");
    platformSetSystemCodePage();
    if (argc < 2) {
        // The Windows program opens the new-download dialog here; a terminal
        // has none, so say how to call the program instead.
        std::fputs(kUsage, stderr);
        return EXIT_STARTUP_ERROR;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const OptionsFile options(consoleOptionsPath());
    // The console downloads https by default; the options file may say 0.
    settings.EnableHttps = true;
    StartupError error;
    const bool started = runStartup(options, arguments, settings, platformStartupEnvironment(), loader, error);
    takeHandoffCookie(settings);
    if (!started) {
        std::fprintf(stderr, "%s: %s\n", error.caption.c_str(), error.text.c_str());
        return EXIT_STARTUP_ERROR;
    }
    return -1;
}
