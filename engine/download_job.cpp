// The download job: stages, the retry counter and wait, time-outs, the end of
// a session, stop, restart and the start step. The connection layer, the
// receive path, the target file and the completion are in the other
// engine/*.cpp files of the same class; the HTTP exchange (HttpExchange) and
// the FTP client (FtpClient) are classes of their own beside it.
// Portable: the engine side of the platform seam.
#include "engine/download_job.h"

#include <cinttypes>

#include "engine/engine_text.h"
#include "platform/system.h"
#include "engine/ftp_client.h"
#include "protocol/url.h"

namespace {

// Ticks of the no-progress time-out: Timeout seconds of 10 ticks each, held
// within 32 bits (a huge Timeout would otherwise wrap to a negative count that
// times out on the first tick).
int32_t timeoutTicksFor(int32_t seconds) {
    int64_t ticks = static_cast<int64_t>(seconds) * 10;
    if (ticks > INT32_MAX) return INT32_MAX;
    if (ticks < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(ticks);
}

}  // namespace

DownloadJob::DownloadJob(AppSettings& settings, DownloadUi& ui) : settings_(settings), ui_(ui) {
    job_.stage = STAGE_ENDED;
    job_.contentLength = -1;
    job_.speedRatio = 1.0;
    job_.displayState = 3;
    for (TransferSession& s : sessions_) s.timeoutTicks = timeoutTicksFor(settings_.Timeout);
    ftpFactory = createFtpHandler;
}

DownloadJob::~DownloadJob() {
    for (int i = 0; i < 2; ++i) {
        TransferSession& s = sessions_[i];
        closeSocket(s.socket);
        closeAttempts(i);
        s.ftp.reset();
        if (s.lookupTask != NO_LOOKUP) cancelLookup(s.lookupTask);
        s.lookupTask = NO_LOOKUP;
    }
    fileClose(tempHandle_);
    tempHandle_ = NO_FILE;
}

void DownloadJob::setStage(int stage) {
    job_.stage = stage;
    ui_.setStageIcon(stage);
}

void DownloadJob::reloadTimeout(int index) {
    if (settings_.Dead == 0) sessions_[index].timeoutTicks = timeoutTicksFor(settings_.Timeout);
}

// Counts one attempt; at the limit the job stops instead.
bool DownloadJob::countAttempt(int index) {
    ++retryCount_;
    ui_.setControlText(CTRL_RETRIES, formatText("%d / %d", retryCount_, int(RETRY_LIMIT)));
    if (retryCount_ >= RETRY_LIMIT) {
        endSession(index, true);
        return false;
    }
    return true;
}

void DownloadJob::scheduleRetry(int index) {
    if (!countAttempt(index)) return;
    TransferSession& s = sessions_[index];
    reloadTimeout(index);
    closeSocket(s.socket);
    closeAttempts(index);
    if (s.ftp) {
        s.ftp.reset();
    }
    s.ftpPhase = 0;
    log(LOG_INFO, engineString(46), index);
    if (s.phase != PHASE_WAITING) {
        s.phaseBeforeWait = s.phase;
        s.phase = PHASE_WAITING;
    }
    s.waitCount = RETRY_WAIT_TICKS;
}

void DownloadJob::onTick() {
    if (job_.stage != STAGE_ENDED) {
        sessionTick(0);
        sessionTick(1);
    }
    ui_.refreshDisplay();
}

void DownloadJob::sessionTick(int index) {
    TransferSession& s = sessions_[index];
    if (job_.stage == STAGE_ENDED || s.phase == PHASE_IDLE) return;
    if (!s.suspended && s.phase == PHASE_WAITING) {
        int before = s.waitCount--;
        if (before <= 0) {
            s.phase = s.phaseBeforeWait;
            reconnectSession(index);
        }
        return;
    }
    if (!s.suspended) raceTick(index);
    if (!s.suspended) {
        int before = s.timeoutTicks--;
        if (before < 0) {
            log(LOG_ERROR, engineString(79), index);
            if (s.phase == PHASE_RESOLVING) startSession(index);
            else scheduleRetry(index);
            return;
        }
    }
    bool transferring = s.isFtp ? (s.ftp && s.ftp->dataSocket() != NO_SOCKET) : s.socket != NO_SOCKET;
    if (transferring && s.inBody && settings_.downloadOptions.has(FLAG_SPEED_LIMIT)) pacedReceive(index);
    if (job_.stage == STAGE_ENDED) return;  // the paced receive may have completed the job
    ui_.setTabText(index, sessionProgressText(index, job_.contentLength));
    if (job_.contentLength > 0) {
        int64_t percent = static_cast<int64_t>(s.position) * 100 / job_.contentLength;
        if (percent >= s.percent) s.percent = static_cast<int32_t>(percent > 100 ? 100 : percent);
    }
}

void DownloadJob::endSession(int index, bool stopping) {
    TransferSession& s = sessions_[index];
    bool emptyFile = false;
    if (s.isFtp) {
        emptyFile = !stopping && s.ftp && s.ftp->reportedEmptyFile() && s.position == 0 &&
                    job_.contentLength == -1 &&
                    (s.phase == PHASE_REQUESTING || s.phase == PHASE_TRANSFERRING);
        s.ftp.reset();
        s.ftpPhase = 0;
    }
    if (emptyFile) {
        // The server announced 0 bytes and the transfer ended without any:
        // that is the whole file, finished below like an empty HTTP body.
        setContentLength(0);
        s.phase = PHASE_TRANSFERRING;
    }
    if (stopping) {
        log(LOG_WARNING, engineString(36), index);
        cancelAllSessions();
        setStage(STAGE_STOPPED);
        return;
    }
    bool complete = false;
    if (s.phase == PHASE_REQUESTING || s.phase == PHASE_TRANSFERRING) {
        TransferSession& other = sessions_[index ^ 1];
        if (job_.contentLength == -1 && s.position != 0) {
            complete = true;  // the server closed an unsized body
        } else if (job_.contentLength == 0 && s.phase == PHASE_TRANSFERRING) {
            // An empty file: nothing will ever be written, so make the file
            // here and finish instead of retrying for ever.
            closeSocket(s.socket);
            s.phase = PHASE_IDLE;
            if (tempHandle_ == NO_FILE && openTempFile(index) != WRITE_OK) {
                s.phase = PHASE_REQUESTING;
                endSession(index, true);
                return;
            }
            complete = true;
        } else if (s.position != 0 && static_cast<int64_t>(s.position) >= s.rangeEnd) {
            s.phase = PHASE_IDLE;
            closeSocket(s.socket);
            // A block beyond the total (fblack) ends the data only when the
            // other session has nothing left to write: a second session whose
            // server sends more than the total must not finish the download
            // while the first session is still filling its part.
            bool overrun = whiteSheet_ && whiteSheet_->fblack() != 0;
            if (whiteSheet_ && whiteSheet_->isComplete() && (!overrun || other.phase == PHASE_IDLE)) {
                complete = true;
            } else if (other.phase != PHASE_IDLE) {
                // The other session still works on its part (transferring, or
                // waiting to retry it): this one simply ends.
                log(LOG_INFO, engineString(38), index);
            } else if (s.rangeEnd != job_.contentLength) {
                log(LOG_FATAL, engineString(37), index);
                tearDown();
                ui_.refreshDisplay();
                return;
            } else {
                scheduleRetry(index);
            }
        } else {
            log(LOG_ERROR, engineString(39), index);
            scheduleRetry(index);
        }
    } else {
        closeSocket(s.socket);
    }
    if (complete && job_.stage != STAGE_ENDED) completeJob();
}

void DownloadJob::stopJob() {
    if (job_.stage != STAGE_RUNNING) return;
    for (int i = 0; i < 2; ++i) {
        const TransferSession& s = sessions_[i];
        if (s.phase == PHASE_WAITING || s.socket != NO_SOCKET || s.lookupTask != NO_LOOKUP || !s.attempts.empty())
            log(LOG_WARNING, engineString(36), i);
    }
    cancelAllSessions();
    setStage(STAGE_STOPPED);
}

void DownloadJob::cancelAllSessions() {
    for (int i = 0; i < 2; ++i) {
        TransferSession& s = sessions_[i];
        closeAttempts(i);
        SocketHandle socket = s.socket;
        s.socket = NO_SOCKET;
        s.suspended = 1;
        s.inBody = false;
        if (socket != NO_SOCKET) closeSocket(socket);
        // The FTP data connection may outlive its control connection (closed
        // after the server's final reply): it is closed in any case.
        if (s.ftp) s.ftp->closeDataSocket();
        if (s.lookupTask != NO_LOOKUP) {
            cancelLookup(s.lookupTask);
            s.lookupTask = NO_LOOKUP;
        }
    }
}

void DownloadJob::restartSessions() {
    retryCount_ = -1;
    for (int i = 0; i < 2; ++i) {
        TransferSession& s = sessions_[i];
        s.suspended = 0;
        if (s.phase == PHASE_RESOLVING) startSession(i);
        else if (s.phase != PHASE_IDLE) scheduleRetry(i);
    }
}

void DownloadJob::resume() {
    if (job_.stage != STAGE_STOPPED) return;
    restartSessions();
    // The restart may already have hit the retry limit and stopped again.
    if (job_.stage == STAGE_STOPPED && (sessions_[0].phase != PHASE_IDLE || sessions_[1].phase != PHASE_IDLE) &&
        retryCount_ < RETRY_LIMIT)
        setStage(STAGE_RUNNING);
}

// Closes everything of both sessions and forgets the block map: the job ends.
void DownloadJob::tearDown() {
    for (int i = 0; i < 2; ++i) {
        TransferSession& s = sessions_[i];
        closeSocket(s.socket);
        closeAttempts(i);
        s.ftp.reset();
        if (s.lookupTask != NO_LOOKUP) cancelLookup(s.lookupTask);
        s.reset();
    }
    whiteSheet_.reset();
    setStage(STAGE_ENDED);
}

void DownloadJob::start() {
    for (int i = 0; i < 2; ++i) reloadTimeout(i);
    // The new-download dialog refuses an https URL while HTTPS is off; a kept
    // file of an https download, or a command-line URL that merely contains
    // "http://", must not go out in plaintext (to port 443, with the cookie
    // and referer) either.
    const std::string& url = settings_.resuming ? sessions_[0].url : newDownload.strURL;
    if (!settings_.EnableHttps && isHttpsUrl(url)) {
        log(LOG_FATAL, engineString(141), 0);
        setStage(STAGE_STOPPED);
        return;
    }
    if (settings_.resuming) {
        ui_.setControlText(CTRL_URL, newDownload.strURL);
        ui_.setControlText(CTRL_TARGET_PATH, destinationPath());
        setStage(STAGE_RUNNING);
        sessions_[0].suspended = 0;
        sessions_[1].suspended = 0;
        startSession(0);
        if (settings_.downloadOptions.has(FLAG_SPLIT) && sessions_[1].phase != PHASE_IDLE &&
            job_.stage == STAGE_RUNNING)
            startSession(1);
        return;
    }
    job_.contentLength = -1;
    setTargetFile(newDownload.strURL, false);
    sessions_[0].url = newDownload.strURL;
    sessions_[0].referer = newDownload.strReferer;
    setStage(STAGE_RUNNING);
    startSession(0);
}

void DownloadJob::cancelDownload() {
    cancelAllSessions();
    discardOrKeepTempFile();
    setStage(STAGE_ENDED);
}

void DownloadJob::onTargetExists() {
    if (job_.stage == STAGE_ENDED || tempPath_.empty() || settings_.IgnoreSFW) return;
    if (!ui_.askCancelBecauseTargetExists(destinationPath())) return;
    cancelDownload();
    ui_.endWindow();
}
