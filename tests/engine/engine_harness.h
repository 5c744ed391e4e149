// Test harness of the engine tests: a DownloadUi that records everything the
// job shows, and a runner that drives a DownloadJob on the real posix event
// loop until it stops, ends or a bound passes. Native tests only.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/app_settings.h"
#include "engine/download_job.h"
#include "engine/download_ui.h"

struct LogRow {
    int kind;
    std::string text;
    int session;
};

class RecordingUi : public DownloadUi {
public:
    void addLogRow(int kind, const std::string& text, int session) override {
        rows.push_back({kind, text, session});
    }
    void setControlText(int controlId, const std::string& text) override { controls[controlId] = text; }
    void setTitle(const std::string& text) override { title = text; }
    void setStageIcon(int stage) override;
    void setTabText(int session, const std::string& text) override { tabs[session & 1] = text; }
    void refreshDisplay() override;
    void postTargetExists() override;
    bool askCancelBecauseTargetExists(const std::string& path) override {
        askedTargetExists = path;
        return cancelOnTargetExists;
    }
    bool askDeleteTempFile() override {
        ++deleteQuestions;
        return deleteTempFile;
    }
    void showTooLate() override { ++tooLate; }
    void showMoveFailed(const std::string& path) override { moveFailedPath = path; }
    void hideWindow() override {}
    void endWindow() override { windowEnded = true; }
    void finishWindow() override { finished = true; }
    bool useDirectDelete() override { return false; }
    bool autoCancelFtpSpeedLimit() override { return false; }

    // Rows of one session, kind and text only, as "kind|text".
    std::vector<std::string> rowsOf(int session) const;
    // Number of rows whose text equals text exactly.
    int count(const std::string& text) const;
    bool has(int kind, const std::string& text) const;
    std::string dump() const;

    std::vector<LogRow> rows;
    std::map<int, std::string> controls;
    std::string title;
    std::string tabs[2];
    std::vector<int> stages;
    bool cancelOnTargetExists = false;
    bool deleteTempFile = false;
    std::string askedTargetExists;
    int deleteQuestions = 0;
    int tooLate = 0;
    std::string moveFailedPath;
    bool windowEnded = false;
    bool finished = false;
    int ticks = 0;
    DownloadJob* job = nullptr;
    // Called on every tick (after the sessions' ticks).
    std::function<void()> onTick;
    // The loop ends when the stage becomes one of these.
    bool quitOnStop = true;
    std::chrono::steady_clock::time_point deadline;
    bool timedOut = false;
};

// Settings of a test download into folder (which ends without a separator).
AppSettings testSettings(const std::string& folder);

// Runs job (already given its settings and ui) from start() until the stage
// leaves STAGE_RUNNING or seconds pass. Returns the final stage.
int runJob(DownloadJob& job, RecordingUi& ui, double seconds = 60, bool callStart = true);

// The string-table text of id.
std::string text(unsigned id);

// Whole file content ("" when missing).
std::string fileContent(const std::string& path);
bool fileExists(const std::string& path);
