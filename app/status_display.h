// The download window's status display, computed without any window: the
// progress percentage, the title, the elapsed and remaining times, the speed,
// the progress bar's segments and the tick's counters that pace them.
// Portable: the Windows window applies the results to its controls, the console
// front end may print them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the display reads of the job and the application on each tick.
struct SessionStatus {
    int percent = 0;         // the session's progress in its own range
    uint64_t position = 0;   // bytes of its range received (0: session idle)
    uint64_t rangeEnd = 0;   // end of its range
    double rate = 0.0;       // K/s
    bool hasSocket = false;  // an open connection
};

struct JobStatus {
    int stage = 1;                 // 1 ended, 2 running, 4 stopped
    int64_t contentLength = -1;    // -1 unknown, -2 finished
    std::string targetFile;        // file name shown in the title
    bool finalDisplay = false;     // the completion's last refresh
    uint32_t flags = 0;            // DownloadOptions flags word
    int32_t speedLimit = 0;        // K/s
    bool dead = false;             // the application's "Dead" field
    SessionStatus sessions[2];
};

class DownloadJob;
struct AppSettings;

// What the display reads now of a job and the settings it runs with. A session
// counts as connected while its control socket or its FTP data socket is open.
JobStatus jobStatusOf(const DownloadJob& job, const AppSettings& settings);

// Stages of the job (the job's own header names them too).
enum : int {
    STATUS_STAGE_ENDED = 1,
    STATUS_STAGE_RUNNING = 2,
    STATUS_STAGE_STOPPED = 4,
};

// Bits of the job's displayState.
enum : unsigned {
    DISPLAY_CLOSE_SHOWS_ENDED = 0x1,  // control 2 shows "閉じる"
    DISPLAY_TOOLBAR_STOPPED = 0x2,    // the toolbar shows the stopped state
};

// Session 0's percentage, or for a split download (session 1 has received
// something) the sum of both minus 50; a value outside 0..100 is 0, and 100
// while finalDisplay is set.
int progressPercent(const JobStatus& job);

// The window title, in the program's text encoding: "Dorimel" when the length
// is 0, "<KB>KB / <file> " when it is unknown, "<P>% / <file> " otherwise;
// with the speed limit on the trailing blank becomes speedLimitSuffix
// (" （速度制限中）" in the caller's encoding, leading blank included).
std::string titleText(const JobStatus& job, int percent, const std::string& speedLimitSuffix);

// "hh:mm:ss"; from 100 hours on "??:mm:ss".
std::string formatDuration(uint64_t seconds);

// "%1.2f kb/s".
std::string formatSpeed(double kilobytesPerSecond);

// Speed in K/s: for a split download the sum of the rates of the sessions with
// an open connection, else session 0's rate.
double currentSpeed(const JobStatus& job);

// Remaining seconds at speed (K/s), truncated: the bytes left in session 0's
// range plus, for a split download, those of session 1. False when the length
// is unknown, the speed 0 or the job ended.
bool remainingSeconds(const JobStatus& job, double speed, uint64_t& seconds);

// One horizontal piece of the progress bar, in client pixels [left, right).
struct BarSegment {
    int left;
    int right;
    bool done;  // the active-caption colour (one pixel shorter at top and
                // bottom); otherwise the button face, full height
};

// The bar for a client width: nothing while the length is 0 or unknown, one
// done segment over the whole width once finished (-2), else per session the
// received part and the rest (a split download uses the two halves).
std::vector<BarSegment> progressBar(const JobStatus& job, int width);

// What one tick changes; the window applies it.
struct TickUpdate {
    bool setTitle = false;
    std::string title;
    bool closeButtonChanged = false;  // control 2 gets string 34 or 51
    bool closeShowsEnded = false;
    bool toolbarChanged = false;      // enable commands 400 and 401 as below
    bool resumeEnabled = false;
    bool stopEnabled = false;
    bool setElapsed = false;
    std::string elapsed;
    bool setSpeed = false;
    std::string speed;
    bool setRemaining = false;
    std::string remaining;
};

// The tick's counters and the display state it keeps in the job.
class StatusTicker {
public:
    // Both bits set: the first tick writes the close button and the toolbar.
    unsigned displayState = DISPLAY_CLOSE_SHOWS_ENDED | DISPLAY_TOOLBAR_STOPPED;
    uint64_t elapsedSeconds = 0;
    double speedRatio = 1.0;

    // One 100 ms tick after the sessions' own tick. currentTitle is the
    // window's title now (it is set only when it differs).
    TickUpdate tick(const JobStatus& job, const std::string& currentTitle,
                    const std::string& speedLimitSuffix);

private:
    int elapsedTicks_ = 0;
    int displayTicks_ = 0;
};
