// Start-up of the Linux console front end: the same settings, grammar and
// texts as the Windows program; the options file is found by
// consoleOptionsPath() (app/console/console_options_file.h). Native only.
#pragma once

#include "foundation/app_settings.h"
#include "app/startup.h"
#include "app/console/console_options_file.h"

// Exit code of a start-up error (the caption, ": " and the text went to
// standard error), of a command line without arguments (usage printed) and
// of one without a URL.
constexpr int EXIT_STARTUP_ERROR = 2;

// Runs start-up for main's arguments: sets the locale and the code page,
// reads the options file and the command line into settings, handing a
// temporary-file argument to loader (may be empty). Returns -1 when the
// download may run, else the exit code, after printing the reason.
int startConsole(int argc, char** argv, AppSettings& settings, const TempFileLoader& loader);
