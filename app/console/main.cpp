// Entry point of the Linux console front end: start-up, then the download.
// Native only.
#include <cstdio>

#include "app/console/console_run.h"
#include "app/console/console_startup.h"

int main(int argc, char** argv) {
    AppSettings settings;
    // The run owns the job, so that a temporary-file argument loads into it.
    ConsoleRun run(settings);
    const int exitCode = startConsole(argc, argv, settings, run.tempFileLoader());
    if (exitCode >= 0) return exitCode;
    // Exit codes: 0 when the file was finished and moved into place, 1 when
    // the download stopped or failed.
    return run.run(argc > 0 ? argv[0] : "dorimel");
}
