// Entry point of the Linux console front end: start-up, then the download.
// Native only.
#include <cstdio>

#include "app/console/console_startup.h"

namespace {

// Exit codes after start-up: 0 when the file was finished and moved into
// place, 1 when the download stopped or failed.
int runDownload(const AppSettings& settings) {
    (void)settings;
    std::fputs("dorimel: the download engine is not built yet\n", stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    AppSettings settings;
    // No loader yet: a temporary-file argument is refused as unreadable.
    const int exitCode = startConsole(argc, argv, settings, TempFileLoader());
    if (exitCode >= 0) return exitCode;
    return runDownload(settings);
}
