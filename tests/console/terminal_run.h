// Runs the console program on a pseudo-terminal, as a person at a terminal
// would: standard input, output and error are the terminal, of a chosen
// width. Answers its questions and collects what it drew.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TerminalRun {
    int exitCode = -1;
    std::string screen;  // every byte written to the terminal
};

// Runs argv (argv[0] a path; env holds NAME=VALUE pairs added to the
// environment) on a terminal of the given columns. Each time the output
// gains a "[y/N] " prompt, the next answer of answers (with a line break) is
// typed; onOutput, when set, sees the output so far after each read and may
// send a signal to the given process id. Ends when the program exits.
TerminalRun runOnTerminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int columns, const std::vector<std::string>& answers = {},
                          const std::function<void(const std::string& screen, int pid)>& onOutput = nullptr);

// The screen's lines as a person sees them at the end: each carriage return
// and erase-line sequence leaves only what was written after it, colour
// sequences are dropped.
std::vector<std::string> visibleLines(const std::string& screen);
