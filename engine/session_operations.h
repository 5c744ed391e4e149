// What a protocol exchange may ask of the download job: the narrow set of job
// operations through which the FTP client (engine/ftp_client.h) and the HTTP
// exchange (engine/http_exchange.h) drive their sessions: log rows, the
// session record, retries and ends, the total size, the time-out, the body's
// way into the file, and the shared receive buffer. DownloadJob implements it.
// Portable: the engine side of the platform seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/download_ui.h"
#include "engine/transfer_session.h"
#include "foundation/app_settings.h"
#include "state/records.h"

// Job stages (persisted as "Stage").
enum : int {
    STAGE_ENDED = 1,
    STAGE_RUNNING = 2,
    STAGE_STOPPED = 4,
};

// Results of the data writer.
enum WriteResult : int {
    WRITE_OK = 0,
    WRITE_FAILED = 1,
    WRITE_CREATE_FAILED = 2,
    WRITE_RANGE_END = 3,
};

enum : int {
    RETRY_LIMIT = 32,        // counted attempts before the job stops
    RETRY_WAIT_TICKS = 50,   // 5 s of 100 ms ticks
};
inline constexpr int64_t SPLIT_MIN_SIZE = 100000;       // this size and below is never split
inline constexpr size_t RECEIVE_BUFFER_SIZE = 0x82000;  // the process-wide receive buffer
inline constexpr size_t RECEIVE_CHUNK = 0x81FFF;        // most bytes one receive asks for
inline constexpr size_t RELOCATE_CHUNK = 0x82000;       // block of the final relocation
// Bound of a response header; a longer one ends the attempt (retry).
inline constexpr size_t MAX_HEADER_SIZE = 65536;

class SessionOperations {
public:
    // The session's record and runtime fields (index 0 or 1).
    virtual TransferSession& session(int index) = 0;
    // The job's persisted record (stage, size, target file, ...).
    virtual JobRecord& record() = 0;
    // The run's settings (options flags, proxy, anonymous password, ...).
    virtual AppSettings& settings() = 0;
    // The front end, for its questions and switches.
    virtual DownloadUi& ui() = 0;
    // A log row of kind 1–7 in the session's list.
    virtual void log(int kind, const std::string& text, int index) = 0;

    // Starts the session: lookup, connect (false when it could not start).
    virtual bool startSession(int index) = 0;
    // Closes the session's connection and connects again at once.
    virtual void reconnectSession(int index) = 0;
    // Counts an attempt and waits RETRY_WAIT_TICKS before reconnecting; after
    // RETRY_LIMIT attempts the job stops instead.
    virtual void scheduleRetry(int index) = 0;
    // Ends the session; stopping also stops the job when nothing else runs.
    virtual void endSession(int index, bool stopping) = 0;
    // Job stage STAGE_ENDED, STAGE_RUNNING or STAGE_STOPPED.
    virtual void setStage(int stage) = 0;
    // Restarts the session's time-out count (progress was made).
    virtual void reloadTimeout(int index) = 0;
    // New total size of the download (-1 unknown changes nothing else).
    virtual int64_t setContentLength(int64_t length) = 0;
    // The session starts again at byte 0 with a new total: the file is
    // emptied and the block map renewed.
    virtual void restartFromZero(int index, int64_t length) = 0;
    // The speed limit was switched off: read what queued meanwhile.
    virtual void speedLimitSwitchedOff() = 0;
    // Closes the session's socket (notifications off, shutdown, close).
    virtual void closeSessionSocket(int index) = 0;
    // Counts a followed redirect as an attempt and connects to the new url.
    virtual void restartAfterRedirect(int index, const std::string& oldHost) = 0;

    // True when result > 0; 0 ends the session (if endOnZero), an error retries.
    virtual bool checkReceive(int index, int result, bool endOnZero) = 0;
    // Rate sample, write at the position, advance; false when the session ended.
    virtual bool processBlock(int index, const char* data, size_t length) = 0;
    // Sets targetFile from a URL (fromDisposition false) or a file name.
    virtual void setTargetFile(const std::string& name, bool fromDisposition) = 0;
    // The temporary file is open.
    virtual bool tempFileOpen() const = 0;
    // The job has a block map (a known total size).
    virtual bool hasBlockMap() const = 0;

    // The process-wide receive buffer (RECEIVE_BUFFER_SIZE bytes) that every
    // body receive and the final relocation share.
    static char* receiveBuffer();

protected:
    ~SessionOperations() = default;
};
