// Test harness of the engine tests (see engine_harness.h).
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "foundation/code_page.h"
#include "engine/engine_text.h"
#include "platform/events.h"
#include "platform/posix/event_loop.h"

void RecordingUi::setStageIcon(int stage) {
    stages.push_back(stage);
    if (quitOnStop && stage != STAGE_RUNNING) quitEventLoop();
}

void RecordingUi::refreshDisplay() {
    ++ticks;
    // An exception must not unwind through the event loop.
    try {
        if (onTick) onTick();
    } catch (...) {
        ADD_FAILURE() << "exception in a tick hook";
        quitEventLoop();
    }
    if (std::chrono::steady_clock::now() > deadline) {
        timedOut = true;
        quitEventLoop();
    }
}

void RecordingUi::postTargetExists() {
    DownloadJob* target = job;
    postDeferred([target] {
        if (target) target->onTargetExists();
    });
}

std::vector<std::string> RecordingUi::rowsOf(int session) const {
    std::vector<std::string> out;
    for (const LogRow& row : rows)
        if (row.session == session) out.push_back(std::to_string(row.kind) + "|" + row.text);
    return out;
}

int RecordingUi::count(const std::string& wanted) const {
    int n = 0;
    for (const LogRow& row : rows) n += row.text == wanted;
    return n;
}

bool RecordingUi::has(int kind, const std::string& wanted) const {
    for (const LogRow& row : rows)
        if (row.kind == kind && row.text == wanted) return true;
    return false;
}

std::string RecordingUi::dump() const {
    std::string out;
    for (const LogRow& row : rows)
        out += std::to_string(row.session) + " " + std::to_string(row.kind) + " " + row.text + "\n";
    return out;
}

AppSettings testSettings(const std::string& folder) {
    AppSettings settings;
    settings.DstDir = folder + "/";
    settings.NoDialog = true;
    settings.Timeout = 300;
    return settings;
}

int runJob(DownloadJob& job, RecordingUi& ui, double seconds, bool callStart) {
    setCodePage(CODE_PAGE_UTF8);
    ui.job = &job;
    ui.timedOut = false;
    ui.deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    setPlatformEvents(&job);
    startTickTimer();
    if (callStart) postDeferred([&job] { job.start(); });
    runEventLoop();
    stopTickTimer();
    setPlatformEvents(nullptr);
    return job.stage();
}

std::string text(unsigned id) { return engineString(id); }

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
