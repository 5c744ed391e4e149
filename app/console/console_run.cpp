// The Linux console front end's download run: wires the job to the posix
// event loop and to ConsoleUi, runs it to its end and turns the outcome into
// the exit code. Native only.
#include "app/console/console_run.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/console/console_startup.h"
#include "app/console/console_text.h"
#include "app/console/console_ui.h"
#include "app/options_file.h"
#include "engine/download_job.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/posix/event_loop.h"

namespace {

void onStopSignal(int) { wakeEventLoop(); }

// Single quotes for a POSIX shell.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

// The job's events pass through here so that the run can notice a job that
// can no longer make progress on its own (the window would wait for the user).
struct ConsoleRun::Impl final : PlatformEvents {
    AppSettings& settings;
    OptionsFile options;
    ConsoleUi ui;
    DownloadJob job;
    bool started = false;
    bool finished = false;
    bool stopRequested = false;

    Impl(AppSettings& s, bool verbose)
        : settings(s),
          options(consoleOptionsPath()),
          ui(stderr, isatty(2) != 0, isatty(0) != 0 && isatty(2) != 0, options, verbose),
          job(s, ui) {
        ui.onStage = [this](int stage) {
            if (stage == STAGE_RUNNING) started = true;
            else if (started) quitEventLoop();  // stopped or ended: the run is over
        };
        ui.onTargetExists = [this] { postDeferred([this] { job.onTargetExists(); }); };
        ui.onFinished = [this] {
            finished = true;
            quitEventLoop();
        };
        ui.onEnded = [] { quitEventLoop(); };
        ui.status = [this] { return status(); };
        ui.destinationPath = [this] { return job.destinationPath(); };
        ui.speedRatio = [this]() -> double& { return job.record().speedRatio; };
    }

    JobStatus status() const { return jobStatusOf(job, settings); }

    // Bytes of the file already received (known once the length is: a
    // resumed download knows it from its temporary file).
    uint64_t bytesDone() const {
        JobStatus s = status();
        if (s.contentLength < 0) return 0;
        auto left = [](const SessionStatus& session) {
            return session.rangeEnd > session.position ? session.rangeEnd - session.position : 0;
        };
        uint64_t remaining = left(s.sessions[0]);
        if ((s.flags & FLAG_SPLIT) != 0 && s.sessions[1].position > 0) remaining += left(s.sessions[1]);
        uint64_t length = static_cast<uint64_t>(s.contentLength);
        return remaining < length ? length - remaining : 0;
    }

    void onHostResolved(LookupTask task, int error, uint32_t address) override {
        job.onHostResolved(task, error, address);
    }
    void onHostAddresses(LookupTask task, int error, const std::vector<NetAddress>& addresses) override {
        job.onHostAddresses(task, error, addresses);
    }
    void onSessionSocket(SocketHandle socket, int event, int error) override {
        job.onSessionSocket(socket, event, error);
    }
    void onDataSocket(SocketHandle socket, int event, int error) override { job.onDataSocket(socket, event, error); }
    void onTick() override {
        job.onTick();
        // Running with both sessions idle: nothing will ever retry (a bad URL,
        // a lookup that could not start). The window would wait for the user;
        // the console stops and keeps what it has.
        if (job.stage() == STAGE_RUNNING && job.session(0).phase == PHASE_IDLE &&
            job.session(1).phase == PHASE_IDLE)
            job.stopJob();
    }

    // Ctrl-C or SIGTERM, on the loop's thread.
    void onStopRequest() {
        stopRequested = true;
        if (job.stage() == STAGE_RUNNING) job.stopJob();
        quitEventLoop();
    }
};

ConsoleRun::ConsoleRun(AppSettings& settings, bool verbose) : impl_(new Impl(settings, verbose)) {}

ConsoleRun::~ConsoleRun() = default;

TempFileLoader ConsoleRun::tempFileLoader() {
    return [this](const std::string& argument, AppSettings& settings) {
        return impl_->job.loadTempFile(argument, settings);
    };
}

std::string ConsoleRun::finishedPath() const { return impl_->job.destinationPath(); }

int ConsoleRun::run(const std::string& programName) {
    Impl& r = *impl_;
    AppSettings& settings = r.settings;
    if (!settings.resuming) {
        if (settings.InputURL.empty()) {  // start-up refuses this (exit 2) before a run
            fprintf(stderr, "dorimel: %s\n", loadStringText(201).c_str());
            return EXIT_NOT_FINISHED;
        }
        // The destination folder always ends with a separator; without one
        // the download goes to the current folder.
        if (settings.DstDir.empty()) {
            char here[4096];
            if (getcwd(here, sizeof here)) settings.DstDir = here;
        }
        if (!settings.DstDir.empty() && settings.DstDir.back() != '/') settings.DstDir += '/';
        r.job.newDownload.strURL = settings.InputURL;
        r.job.newDownload.strReferer = settings.InputReferer;
        r.job.newDownload.strProxy = settings.Proxy;
        r.job.newDownload.strTargetDir = settings.DstDir;
    }

    struct sigaction stop = {}, oldInt = {}, oldTerm = {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, &oldInt);
    sigaction(SIGTERM, &stop, &oldTerm);
    setWakeHandler([&r] { r.onStopRequest(); });
    setPlatformEvents(&r);
    startTickTimer();
    const uint64_t doneAtStart = r.bytesDone();
    const auto startedAt = std::chrono::steady_clock::now();
    postDeferred([&r] { r.job.start(); });  // the start step, as the window posts it
    runEventLoop();
    stopTickTimer();

    const bool interactive = isatty(2) != 0;
    // In place under the asked name (or the free name -ar 1 chose), or over
    // the existing file the user chose to replace.
    const bool inPlace = r.job.record().moveSucceeded == 1 || r.ui.replacedExisting();
    if (r.finished && interactive) {
        struct stat file;
        const std::string where = inPlace ? r.job.destinationPath() : r.job.tempPath();
        const int64_t size = stat(where.c_str(), &file) == 0 ? int64_t(file.st_size) : 0;
        const uint64_t bytes = size > 0 && uint64_t(size) > doneAtStart ? uint64_t(size) - doneAtStart : 0;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                   startedAt);
        const std::string path = r.job.destinationPath();
        r.ui.showFinalLine(path.substr(path.find_last_of('/') + 1), uint64_t(elapsed.count()), bytes);
    } else if (r.stopRequested) {
        r.ui.dropProgressLine();  // a "^C" echoed after it goes with it
    } else {
        r.ui.endProgressLine();
    }
    if (!r.finished) {
        // Stopped, failed or interrupted: the state goes into the temporary
        // file, which is kept for a resume.
        if (r.job.stage() != STAGE_ENDED) r.job.cancelDownload();
        // On a terminal the command is labelled; scripts get it bare, as
        // the last line.
        const std::string label = interactive ? loadStringText(IDS_TO_RESUME) + " " : std::string();
        if (r.job.hasTempFile() && pathExists(r.job.tempPath().c_str()))
            fprintf(stderr, "%s%s %s\n", label.c_str(), programName.c_str(), terminalSafe(shellQuoted(r.job.tempPath())).c_str());
    }
    setPlatformEvents(nullptr);
    setWakeHandler(nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    return r.finished && inPlace ? EXIT_FINISHED : EXIT_NOT_FINISHED;
}
