// Where the Linux console program finds its options file. Native only.
//
// The places, in the order they are looked at; the first file that exists is
// the one read (files are not merged):
//   1. beside the executable, named after it (dorimel.ini): an unpacked,
//      portable copy keeps its settings with it;
//   2. the user's $XDG_CONFIG_HOME/dorimel/dorimel.ini
//      (~/.config/dorimel/dorimel.ini when XDG_CONFIG_HOME is unset, empty or
//      not an absolute path);
//   3. the system-wide /etc/dorimel/dorimel.ini.
// The console only reads it; anything written on its behalf goes to the
// user's file (2), never to /etc or beside a program in /usr.
#pragma once

#include <string>
#include <vector>

// The places above that can be named (a place is left out when the
// executable's path or the user's home folder cannot be found).
std::vector<std::string> consoleOptionsPlaces();

// The same for the console program at programPath (the native messaging host
// asks it for the program it starts, which need not be itself).
std::vector<std::string> consoleOptionsPlacesForProgram(const std::string& programPath);

// The options file to read: the first of consoleOptionsPlaces() that exists;
// the user's file when none does (reading a missing file gives the defaults).
std::string consoleOptionsPath();
std::string consoleOptionsPathForProgram(const std::string& programPath);

// The user's options file (2), where a setting would be saved; empty when
// there is no home folder.
std::string consoleUserOptionsPath();
