// The Linux console front end's download run: wires the job to the posix
// event loop and to ConsoleUi, runs it to its end and turns the outcome into
// the exit code. Native only.
#include "app/console/console_run.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "app/console/console_startup.h"
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

    explicit Impl(AppSettings& s)
        : settings(s),
          options(consoleOptionsPath()),
          ui(stderr, isatty(2) != 0, isatty(0) != 0 && isatty(2) != 0, options),
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
        ui.speedRatio = [this]() -> double& { return job.record().speedRatio; };
    }

    JobStatus status() const { return jobStatusOf(job, settings); }

    void onHostResolved(LookupTask task, int error, uint32_t address) override {
        job.onHostResolved(task, error, address);
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

ConsoleRun::ConsoleRun(AppSettings& settings) : impl_(new Impl(settings)) {}

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
        if (settings.InputURL.empty()) {
            fputs("dorimel: no URL to download\n", stderr);
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
    postDeferred([&r] { r.job.start(); });  // the start step, as the window posts it
    runEventLoop();
    stopTickTimer();

    r.ui.endProgressLine();
    if (!r.finished) {
        // Stopped, failed or interrupted: the state goes into the temporary
        // file, which is kept for a resume.
        if (r.job.stage() != STAGE_ENDED) r.job.cancelDownload();
        if (r.job.hasTempFile() && pathExists(r.job.tempPath().c_str()))
            fprintf(stderr, "%s %s\n", programName.c_str(), shellQuoted(r.job.tempPath()).c_str());
    }
    setPlatformEvents(nullptr);
    setWakeHandler(nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    return r.finished && r.job.record().moveSucceeded == 1 ? EXIT_FINISHED : EXIT_NOT_FINISHED;
}
