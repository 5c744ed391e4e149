// The download job: the one download of this process, its two transfer
// sessions, the temporary file and the completion. Event-driven and
// single-threaded: every operation is a handler of a platform event (host
// lookup, socket event, 100 ms tick) or of a user command from the front end.
// Portable: reaches the OS only through the platform seam (platform/*.h) and
// the user only through DownloadUi.
//
// How a front end drives it:
//   1. Construct it over the run's AppSettings and its DownloadUi, install it
//      with setPlatformEvents(&job) and start the tick (startTickTimer).
//   2. To resume a kept temporary file, start-up's TempFileLoader calls
//      loadTempFile (before the window runs).
//   3. The start step: for a new download fill newDownload (strURL,
//      strReferer; settings.Proxy and settings.DstDir are what the job uses
//      for the proxy and the destination folder) and call start(); a resumed
//      job calls start() as it is.
//   4. User commands: stopJob (stop button), resume (resume button),
//      restartSessions (after re-setup), speedLimitSwitchedOff (menu),
//      cancelDownload (close/cancel answered Yes), onTargetExists (the
//      posted target-exists message).
//   5. The job calls ui.refreshDisplay on every tick; the display reads
//      record(), session(0) and session(1).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/app_settings.h"
#include "engine/download_ui.h"
#include "engine/http_exchange.h"
#include "engine/session_operations.h"
#include "engine/transfer_session.h"
#include "platform/events.h"
#include "platform/files.h"
#include "state/records.h"
#include "state/white_sheet.h"

class DownloadJob final : public PlatformEvents, public SessionOperations {
public:
    DownloadJob(AppSettings& settings, DownloadUi& ui);
    ~DownloadJob();
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    // ---- Commands of the front end ----------------------------------------

    // Start step: a resumed job continues from the loaded state; a new one
    // starts session 0 on newDownload.strURL with newDownload.strReferer.
    void start();
    // Stop button: ignored unless running; stops every session, stage 4.
    void stopJob();
    // Resume button: only when stopped: restartSessions, then stage 2.
    void resume();
    // Restarts every non-idle session (resolving ones look up again, the
    // others reconnect after the retry wait). Used by resume and re-setup.
    void restartSessions();
    // Closes every socket and cancels every lookup; sessions are suspended.
    void cancelAllSessions();
    // The user closed the window before the end and confirmed: cancel all
    // sessions, then discardOrKeepTempFile, then stage 1.
    void cancelDownload();
    // Asks whether to delete the temporary file (string 54); Yes deletes (or
    // recycles) it, No saves the state into it and keeps it.
    void discardOrKeepTempFile();
    // Saves the state into the temporary file and closes it, so that naming
    // it on the command line resumes the download (the console's Ctrl-C and
    // the "No" answer above). False when the state could not be saved.
    bool keepTempFile();
    // The posted target-exists question (string 55).
    void onTargetExists();
    // The speed limit was switched off: read what queued meanwhile.
    void speedLimitSwitchedOff() override;

    // Temporary-file loader for start-up (1.9): reads and parses the state
    // block of path into settings and this job. On failure the result carries
    // string 96 + " : " + path.
    TempFileLoadResult loadTempFile(const std::string& path, AppSettings& settings);

    // ---- What the display and the window read -----------------------------

    JobRecord& record() override { return job_; }
    const JobRecord& record() const { return job_; }
    TransferSession& session(int index) override { return sessions_[index & 1]; }
    const TransferSession& session(int index) const { return sessions_[index & 1]; }
    NewDownloadRecord newDownload;
    int stage() const { return job_.stage; }
    int retryCount() const { return retryCount_; }
    const std::string& tempPath() const { return tempPath_; }
    bool hasTempFile() const { return !tempPath_.empty(); }
    // Destination folder + targetFile.
    std::string destinationPath() const;
    // Size of the open temporary file, -1 when none is open.
    int64_t tempFileSize() const;
    const WhiteSheet* whiteSheet() const { return whiteSheet_.get(); }
    AppSettings& settings() override { return settings_; }
    DownloadUi& ui() override { return ui_; }

    // ---- Operations of the exchanges (HTTP and FTP) ------------------------

    // (engine/session_operations.h: what the FTP client and the HTTP
    // exchange use)
    bool startSession(int index) override;
    void reconnectSession(int index) override;
    void scheduleRetry(int index) override;
    void endSession(int index, bool stopping) override;
    void setStage(int stage) override;
    void reloadTimeout(int index) override;
    void log(int kind, const std::string& text, int index) override { ui_.addLogRow(kind, text, index); }
    bool checkReceive(int index, int result, bool endOnZero) override;
    // A TLS connection that ends without close_notify (error WSAECONNRESET)
    // after the whole body of a known length: the length already proves the
    // body whole, so the session ends as at an orderly close (true).
    bool endsWholeTlsBody(int index, int error);
    bool processBlock(int index, const char* data, size_t length) override;
    int64_t setContentLength(int64_t length) override;
    // Session index starts again at byte 0 with a new total: the file is
    // emptied and the block map renewed (setContentLength), and the session's
    // range becomes the whole length (a running second session still ends it
    // at their meeting point).
    void restartFromZero(int index, int64_t length) override;
    void closeSessionSocket(int index) override { closeSocket(sessions_[index].socket); }
    void restartAfterRedirect(int index, const std::string& oldHost) override;
    void setTargetFile(const std::string& name, bool fromDisposition) override;
    bool tempFileOpen() const override { return tempHandle_ != NO_FILE; }
    bool hasBlockMap() const override { return whiteSheet_ != nullptr; }
    // Writes the state block; false on failure.
    bool saveState();
    // Number of sessions with an open body socket (0, 1 or 2).
    int activeSessionCount() const;
    // Creates the FTP client of a session (createFtpHandler of
    // engine/ftp_client.h by default); when unset, an FTP session is refused
    // with a log row and the job stops.
    std::function<std::unique_ptr<FtpHandler>(DownloadJob& job, int session)> ftpFactory;

    // ---- Platform events -----------------------------------------------------

    void onHostResolved(LookupTask task, int error, uint32_t address) override;
    void onHostAddresses(LookupTask task, int error, const std::vector<NetAddress>& addresses) override;
    void onSessionSocket(SocketHandle socket, int event, int error) override;
    void onDataSocket(SocketHandle socket, int event, int error) override;
    void onTick() override;

private:
    // connection layer
    struct Endpoint {
        std::string host;
        uint16_t port = 0;
    };
    bool countAttempt(int index);
    // prepareProtocol: also create or drop the session's FTP client.
    Endpoint chooseEndpoint(int index, bool prepareProtocol);
    void connectSession(int index);
    // address race (engine/address_race.cpp)
    void startAddressRace(int index);
    bool startNextAttempt(int index);
    void endAddressRace(int index);
    void closeAttempts(int index);
    // True when the event belonged to a losing or failed attempt (handled);
    // false otherwise, also for the winner's connect, now the session's socket.
    bool onAttemptEvent(SocketHandle socket, int event, int error);
    void raceTick(int index);
    void closeSocket(SocketHandle& socket);
    void drainStaleSocket(SocketHandle socket, int event);
    int sessionOfSocket(SocketHandle socket) const;
    void sessionTick(int index);
    void tearDown();
    // receive path
    void pacedReceive(int index);
    std::string sessionProgressText(int index, int64_t length) const;
    // target file
    WriteResult writeBlock(int index, uint64_t position, const char* data, size_t length);
    WriteResult openTempFile(int index);
    void startSplit();
    // completion
    void completeJob();
    // Moves the data over the state block to the front and cuts the file to
    // the data; false (string 98 logged) when the data could not all be moved.
    bool relocateData();

    AppSettings& settings_;
    DownloadUi& ui_;
    JobRecord job_;
    TransferSession sessions_[2];
    std::unique_ptr<WhiteSheet> whiteSheet_;
    std::string tempPath_;
    FileHandle tempHandle_ = NO_FILE;
    int retryCount_ = 0;
    int64_t nextWriteOffset_ = -1;  // file offset after the last write
    uint64_t saveMark_ = 0;         // file offset of the last save check
    uint32_t lastSaveTick_ = 0;     // tick count of the last save
    bool savedOnce_ = false;         // a state save happened since the file was (re)started
    bool emptyOnOpen_ = false;       // the kept file is cut when it is opened: its data is outdated
    HttpExchange http_{*this};       // the HTTP exchange of both sessions
};
