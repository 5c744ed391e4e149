// See terminal_run.h.
#include "tests/console/terminal_run.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

TerminalRun runOnTerminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int columns, const std::vector<std::string>& answers,
                          const std::function<void(const std::string& screen, int pid)>& onOutput) {
    TerminalRun run;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return run;
    if (pid == 0) {
        for (const std::string& pair : env) putenv(const_cast<char*>(pair.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    size_t answered = 0;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;  // the test's own time-out ends it
        char buffer[4096];
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EIO: the program and its terminal are gone
        run.screen.append(buffer, static_cast<size_t>(got));
        size_t prompts = 0;
        for (size_t at = run.screen.find("[y/N] "); at != std::string::npos; at = run.screen.find("[y/N] ", at + 1))
            ++prompts;
        for (; answered < prompts && answered < answers.size(); ++answered) {
            std::string line = answers[answered] + "\n";
            if (write(master, line.data(), line.size()) < 0) break;
        }
        if (onOutput) onOutput(run.screen, pid);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid)
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    close(master);
    return run;
}

std::vector<std::string> visibleLines(const std::string& screen) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < screen.size(); ++i) {
        char c = screen[i];
        if (c == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            size_t end = i + 2;
            while (end < screen.size() && !(screen[end] >= '@' && screen[end] <= '~')) ++end;
            if (end < screen.size() && screen[end] == 'K') line.clear();
            i = end;
        } else if (c == '\r') {
            // A carriage return followed by a line feed only ends the line.
            if (i + 1 >= screen.size() || screen[i + 1] != '\n') line.clear();
        } else if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}
