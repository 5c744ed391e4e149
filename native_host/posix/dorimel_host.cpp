// dorimel-host: the native messaging host of the Linux console program. The
// browser starts it with the caller's origin as its argument and talks to it
// in frames on standard input and output; each download request starts the
// console program `dorimel` (beside this program) detached in a session of
// its own, with -nd 1 into the user's download folder, its log rows in a file
// under $XDG_STATE_HOME/dorimel/, and the browser's cookies in the child's
// environment only (DORIMEL_COOKIE), never on a command line. A small waiting
// process in that session shows a desktop notification (notify-send, where
// it exists) when the download ends or stops.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/console/console_startup.h"
#include "app/console/console_text.h"
#include "app/options_file.h"
#include "app/startup.h"
#include "native_host/host_protocol.h"
#include "platform/paths.h"

namespace {

// Tests only: another console program to start instead of the one beside
// this host.
const char kProgramVariable[] = "DORIMEL_HOST_PROGRAM";

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home && *home ? home : "/";
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string consoleProgram() {
    const char* program = std::getenv(kProgramVariable);
    if (program && *program) return program;
    std::string self;
    if (!platformModulePath(self)) return "dorimel";
    return folderOf(self) + "/dorimel";
}

// Creates path and its missing parents with mode; true when it is a folder.
bool makeFolders(const std::string& path, mode_t mode) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    return platformIsFolder(path);
}

// The first line that command writes to standard output (its standard error
// goes where ours goes: the browser's log, never the frames).
std::string firstOutputLine(const char* command) {
    FILE* pipe = popen(command, "r");
    if (!pipe) return std::string();
    char line[4096] = "";
    if (!std::fgets(line, sizeof line, pipe)) line[0] = '\0';
    pclose(pipe);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// The user's download folder: xdg-user-dir's answer, unless that is the
// home folder itself (its answer when no download folder is configured);
// else ~/Downloads, created when missing.
std::string downloadFolder() {
    const std::string home = homeFolder();
    std::string folder = firstOutputLine("xdg-user-dir DOWNLOAD 2>/dev/null");
    if (!folder.empty() && folder != home && platformIsFolder(folder)) return folder;
    folder = home + "/Downloads";
    makeFolders(folder, 0755);
    return folder;
}

// $XDG_STATE_HOME/dorimel (default ~/.local/state/dorimel), only the user's.
std::string stateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string base = state && *state == '/' ? state : homeFolder() + "/.local/state";
    const std::string folder = base + "/dorimel";
    makeFolders(folder, 0700);
    return folder;
}

// A new log file for one download, readable by the user only (the rows name
// the URL). -1 when it cannot be created.
int openLogFile() {
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string path = stateFolder() + "/download-" + stamp + "-" + std::to_string(getpid()) + ".log";
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

// The name the notification shows: the browser's file name, else the last
// part of the URL's path.
std::string displayName(const HostRequest& request) {
    if (!request.filename.empty()) {
        const size_t slash = request.filename.rfind('/');
        return slash == std::string::npos ? request.filename : request.filename.substr(slash + 1);
    }
    std::string path = request.url.substr(0, request.url.find_first_of("?#"));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void closeOtherDescriptors(int keep) {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (limit > 0 && limit < 65536 ? limit : 1024); ++fd)
        if (fd != keep) close(fd);
}

// Runs notify-send when it exists; quietly nothing otherwise.
void notifyDesktop(const std::string& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("notify-send", "notify-send", "--app-name=Dorimel", "Dorimel", body.c_str(), (char*)nullptr);
        _exit(127);
    }
    if (pid > 0) waitpid(pid, nullptr, 0);
}

// In the waiting process: start the console program, wait for it, notify.
// errorPipe gets errno when the program cannot be executed.
[[noreturn]] void runDetached(const std::vector<std::string>& arguments, const HostRequest& request,
                              int logFile, int errorPipe) {
    setsid();
    const int null = open("/dev/null", O_RDWR);
    // Standard input and output are the browser's channel: the detached
    // processes never touch them.
    dup2(null, 0);
    dup2(logFile >= 0 ? logFile : null, 1);
    dup2(logFile >= 0 ? logFile : null, 2);
    closeOtherDescriptors(errorPipe);
    signal(SIGPIPE, SIG_DFL);
    const pid_t child = fork();
    if (child == 0) {
        if (!request.cookies.empty()) setenv(kHandoffCookieVariable, request.cookies.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        const int error = errno;
        if (write(errorPipe, &error, sizeof error) < 0) {}
        _exit(127);
    }
    if (child < 0) {
        const int error = errno;
        if (write(errorPipe, &error, sizeof error) < 0) {}
        _exit(1);
    }
    close(errorPipe);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    const bool executed = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
    if (executed) {
        const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        notifyDesktop(displayName(request) + ": " + loadStringText(finished ? 18 : 36));
    }
    _exit(0);
}

class LinuxHostActions : public HostActions {
public:
    std::vector<std::string> schemes() override {
        // The console finds its options from its own resolved path: so does
        // the host (the build tree links dorimel beside this program).
        char* resolved = realpath(consoleProgram().c_str(), nullptr);
        const std::string program = resolved ? resolved : consoleProgram();
        std::free(resolved);
        const OptionsFile options(consoleOptionsPathForProgram(program));
        std::vector<std::string> result{"http", "ftp"};
        // The console downloads https unless its options file says 0.
        if (options.readInt("MainOptions", "EnableHttps", 1) != 0) result.insert(result.begin() + 1, "https");
        return result;
    }

    bool startDownload(const HostRequest& request, HostError& error) override {
        std::vector<std::string> arguments{consoleProgram(), "-nd", "1", "-ar", "1", "-td", downloadFolder()};
        if (!request.referrer.empty()) {
            arguments.push_back("-rf");
            arguments.push_back(request.referrer);
        }
        arguments.push_back(request.url);
        int errorPipe[2];
        if (pipe2(errorPipe, O_CLOEXEC) != 0) {
            error = {"start_failed", std::string("pipe: ") + std::strerror(errno)};
            return false;
        }
        const int logFile = openLogFile();
        // Two forks: the waiting process belongs to init, not to this host,
        // which the browser may end right after the reply.
        const pid_t first = fork();
        if (first == 0) {
            close(errorPipe[0]);
            const pid_t waiter = fork();
            if (waiter == 0) runDetached(arguments, request, logFile, errorPipe[1]);
            if (waiter < 0) {
                const int forkError = errno;
                if (write(errorPipe[1], &forkError, sizeof forkError) < 0) {}
            }
            _exit(0);
        }
        close(errorPipe[1]);
        if (logFile >= 0) close(logFile);
        if (first < 0) {
            close(errorPipe[0]);
            error = {"start_failed", std::string("fork: ") + std::strerror(errno)};
            return false;
        }
        while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {}
        // End of file without a word: the program was executed.
        int childError = 0;
        ssize_t got;
        while ((got = read(errorPipe[0], &childError, sizeof childError)) < 0 && errno == EINTR) {}
        close(errorPipe[0]);
        if (got == static_cast<ssize_t>(sizeof childError)) {
            error = {"start_failed", arguments[0] + ": " + std::strerror(childError)};
            return false;
        }
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    // argv[1] is the caller's origin; the manifests already limit who calls.
    (void)argc;
    (void)argv;
    selectConsoleLanguage();
    // A browser that has gone makes writes fail, not kill the host.
    signal(SIGPIPE, SIG_IGN);
    LinuxHostActions actions;
    auto readInput = [](char* buffer, size_t size) -> long {
        ssize_t got;
        while ((got = read(0, buffer, size)) < 0 && errno == EINTR) {}
        return static_cast<long>(got);
    };
    auto writeOutput = [](const std::string& frame) {
        size_t done = 0;
        while (done < frame.size()) {
            const ssize_t wrote = write(1, frame.data() + done, frame.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            done += static_cast<size_t>(wrote);
        }
        return true;
    };
    return runHostConversation(readInput, writeOutput, actions);
}
