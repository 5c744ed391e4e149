// The download window's status display without a window: percentages, texts,
// bar segments and the tick's pacing. Portable.
#include "app/status_display.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "foundation/app_settings.h"
#include "engine/download_job.h"

namespace {

bool isSplit(const JobStatus& job) { return job.sessions[1].position != 0; }

uint64_t rangeLeft(const SessionStatus& s) { return s.rangeEnd > s.position ? s.rangeEnd - s.position : 0; }

int scaled(uint64_t position, int64_t length, int width) {
    // Rounded position / length × width, in floating point: lengths beyond
    // 2^53 lose precision only far below a pixel.
    return static_cast<int>(std::lround(static_cast<double>(position) / static_cast<double>(length) * width));
}

}  // namespace

int progressPercent(const JobStatus& job) {
    int p = job.sessions[0].percent;
    if (isSplit(job)) p = job.sessions[0].percent + job.sessions[1].percent - 50;
    if (p < 0 || p > 100) return 0;
    if (job.finalDisplay) return 100;
    return p;
}

std::string titleText(const JobStatus& job, int percent, const std::string& speedLimitSuffix) {
    if (job.contentLength == 0) return "Dorimel";
    char head[64];
    if (job.contentLength == -1)
        std::snprintf(head, sizeof head, "%" PRIu64 "KB / ", job.sessions[0].position / 1024);
    else
        std::snprintf(head, sizeof head, "%d%% / ", percent);
    std::string title = head + job.targetFile;
    title += (job.flags & FLAG_SPEED_LIMIT) ? speedLimitSuffix : std::string(" ");
    return title;
}

std::string formatDuration(uint64_t seconds) {
    uint64_t hours = seconds / 3600;
    int minutes = static_cast<int>(seconds / 60 % 60);
    uint64_t secs = seconds % 60;
    char text[64];
    if (hours >= 100)
        std::snprintf(text, sizeof text, "??:%02d:%02" PRIu64, minutes, secs);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02" PRIu64, static_cast<int>(hours), minutes, secs);
    return text;
}

std::string formatSpeed(double kilobytesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%1.2f kb/s", kilobytesPerSecond);
    return text;
}

double currentSpeed(const JobStatus& job) {
    if (!isSplit(job)) return job.sessions[0].rate;
    double sum = 0.0;
    for (const SessionStatus& s : job.sessions)
        if (s.hasSocket) sum += s.rate;
    return sum;
}

bool remainingSeconds(const JobStatus& job, double speed, uint64_t& seconds) {
    if (job.contentLength == -1 || speed == 0.0 || job.stage == STATUS_STAGE_ENDED) return false;
    uint64_t bytes = rangeLeft(job.sessions[0]);
    if (isSplit(job)) bytes += rangeLeft(job.sessions[1]);
    double s = static_cast<double>(bytes) / (speed * 1024.0);
    seconds = s > 0 ? static_cast<uint64_t>(s) : 0;
    return true;
}

std::vector<BarSegment> progressBar(const JobStatus& job, int width) {
    std::vector<BarSegment> bar;
    if (job.contentLength == 0 || job.contentLength == -1 || width <= 0) return bar;
    if (job.contentLength < 0) {  // -2: finished
        bar.push_back({0, width, true});
        return bar;
    }
    auto piece = [&](int from, int to, bool done) {
        // A position past the length (a server that sent more than it
        // announced) must not paint outside the control.
        if (from < 0) from = 0;
        if (to > width) to = width;
        if (to > from) bar.push_back({from, to, done});
    };
    int x0 = scaled(job.sessions[0].position, job.contentLength, width);
    if (!isSplit(job)) {
        piece(0, x0, true);
        piece(x0, width, false);
        return bar;
    }
    int half = width / 2;
    int x1 = scaled(job.sessions[1].position, job.contentLength, width);
    piece(0, x0 < half ? x0 : half, true);
    piece(x0, half, false);
    piece(half, x1, true);
    piece(x1 > half ? x1 : half, width, false);
    return bar;
}

TickUpdate StatusTicker::tick(const JobStatus& job, const std::string& currentTitle,
                              const std::string& speedLimitSuffix) {
    TickUpdate u;
    bool ended = job.stage == STATUS_STAGE_ENDED;
    if (!ended) {
        if (job.dead) return u;
        std::string title = titleText(job, progressPercent(job), speedLimitSuffix);
        if (title != currentTitle) {
            u.setTitle = true;
            u.title = title;
        }
    }
    bool stopped = job.stage == STATUS_STAGE_STOPPED;
    if (ended != ((displayState & DISPLAY_CLOSE_SHOWS_ENDED) != 0)) {
        u.closeButtonChanged = true;
        u.closeShowsEnded = ended;
        displayState ^= DISPLAY_CLOSE_SHOWS_ENDED;
        u.toolbarChanged = true;
    }
    if (!ended && stopped != ((displayState & DISPLAY_TOOLBAR_STOPPED) != 0)) {
        u.toolbarChanged = true;
        displayState ^= DISPLAY_TOOLBAR_STOPPED;
    }
    if (u.toolbarChanged) {
        u.resumeEnabled = !ended && stopped;
        u.stopEnabled = !ended && !stopped;
    }
    if (job.stage == STATUS_STAGE_RUNNING && ++elapsedTicks_ >= 10) {
        ++elapsedSeconds;
        u.setElapsed = true;
        u.elapsed = formatDuration(elapsedSeconds);
        elapsedTicks_ = 0;
    }
    if (++displayTicks_ >= 11 || job.finalDisplay) {
        double speed = currentSpeed(job);
        u.setSpeed = true;
        u.speed = formatSpeed(job.stage == STATUS_STAGE_RUNNING ? speed : 0.0);
        if ((job.flags & FLAG_SPEED_LIMIT) && speed != 0.0) speedRatio = job.speedLimit / speed;
        uint64_t seconds = 0;
        if (remainingSeconds(job, speed, seconds)) {
            u.setRemaining = true;
            u.remaining = formatDuration(seconds);
        } else if (job.contentLength == -2) {
            u.setRemaining = true;
            u.remaining = "00:00:00";
        }
        displayTicks_ = 0;
    }
    return u;
}

JobStatus jobStatusOf(const DownloadJob& job, const AppSettings& settings) {
    JobStatus status;
    const JobRecord& record = job.record();
    status.stage = record.stage;
    status.contentLength = record.contentLength;
    status.targetFile = record.targetFile;
    status.finalDisplay = record.finalDisplay != 0;
    status.flags = settings.downloadOptions.flags;
    status.speedLimit = settings.downloadOptions.speedLimit;
    status.dead = settings.Dead != 0;
    for (int i = 0; i < 2; ++i) {
        const TransferSession& session = job.session(i);
        SessionStatus& s = status.sessions[i];
        s.percent = session.percent;
        s.position = session.position;
        s.rangeEnd = session.rangeEnd < 0 ? 0 : static_cast<uint64_t>(session.rangeEnd);
        s.rate = session.rate;
        s.hasSocket = session.socket != NO_SOCKET ||
                      (session.ftp && session.ftp->dataSocket() != NO_SOCKET);
    }
    return status;
}
