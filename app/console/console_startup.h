// Start-up of the Linux console front end: the same settings, grammar and
// texts as the Windows program, with the options file dorimel.ini beside the
// executable. Native only.
#pragma once

#include "foundation/app_settings.h"
#include "app/startup.h"

// Exit code of a start-up error (the caption, ": " and the text went to
// standard error) and of a command line without arguments (usage printed).
constexpr int EXIT_STARTUP_ERROR = 2;

// Runs start-up for main's arguments: sets the locale and the code page,
// reads the options file and the command line into settings, handing a
// temporary-file argument to loader (may be empty). Returns -1 when the
// download may run, else the exit code, after printing the reason.
int startConsole(int argc, char** argv, AppSettings& settings, const TempFileLoader& loader);

// The options file of the running program: dorimel.ini beside the executable
// (empty when the executable's path cannot be found).
std::string consoleOptionsPath();

// The options file that the console program at programPath reads (the
// native messaging host asks it for the program it starts).
std::string consoleOptionsPathForProgram(const std::string& programPath);
