// The Linux console front end's download run: the job on the posix event
// loop until it finishes, stops or fails; Ctrl-C (SIGINT) and SIGTERM stop it,
// save its state into the temporary file and keep that file, whose resume
// command is printed. Native only.
#pragma once

#include <memory>
#include <string>

#include "foundation/app_settings.h"
#include "app/startup.h"

// Exit codes of a run.
enum : int {
    EXIT_FINISHED = 0,  // the file was finished and moved into place
    EXIT_NOT_FINISHED = 1,  // stopped, failed or cancelled
};

class ConsoleRun {
public:
    // verbose: every log row on a terminal too (off a terminal every row is
    // written anyway).
    explicit ConsoleRun(AppSettings& settings, bool verbose = false);
    ~ConsoleRun();
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    // The loader start-up uses for a temporary-file argument (it fills the
    // job's state).
    TempFileLoader tempFileLoader();

    // Runs the download to its end; programName is shown in the resume
    // command. Returns EXIT_FINISHED or EXIT_NOT_FINISHED.
    int run(const std::string& programName);

    // Where the finished file was put (meaningful after run returned
    // EXIT_FINISHED).
    std::string finishedPath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
