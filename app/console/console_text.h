// The console program's own texts: the language it speaks (from the locale),
// --help, --version and its own command-line flags. Native only.
#pragma once

#include <string>

#include "app/startup.h"  // loadStringText, fillText

// Whether the messages should be Japanese: the first set and non-empty of
// LC_ALL, LC_MESSAGES and LANG names a Japanese locale ("ja", "ja_JP.UTF-8",
// ...). Unset, "C" and "POSIX" are not Japanese.
bool localeIsJapanese(const char* lcAll, const char* lcMessages, const char* lang);

// Switches the string table to English unless the environment's locale is
// Japanese.
void selectConsoleLanguage();

// The text of --help and of --version, each ending with a line break.
std::string helpText();
std::string versionText();

// The console's flags without a value.
struct ConsoleFlags {
    bool help = false;
    bool version = false;
    bool verbose = false;  // every log row on a terminal too
};

// Removes "--help", "--version" and "--verbose" from argv (argv[0] stays),
// shortening argc. An argument that is the value of the option before it (any
// other argument starting with "-" takes the next one) is left alone.
void takeConsoleFlags(int& argc, char** argv, ConsoleFlags& flags);
