// The target and temporary files of the download job: the target name, the
// temporary file's creation with the split decision, the write of each block
// behind the 512000-byte state block, the paced state saves, the total size
// and a session's restart from byte 0, keeping or discarding the file when
// the window closes early, and the loading of a kept file at start-up.
// Portable: the engine side of the platform seam.
#include <cinttypes>
#include <vector>

#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "protocol/http_header.h"
#include "platform/system.h"
#include "protocol/url.h"
#include "state/temp_file_format.h"

namespace {
// Bytes written between two requests to start writing the file to the disk.
constexpr uint64_t WRITEBACK_STEP = 8u << 20;
}  // namespace

std::string DownloadJob::destinationPath() const { return settings_.DstDir + job_.targetFile; }

int64_t DownloadJob::tempFileSize() const {
    if (tempHandle_ == NO_FILE) return -1;
    return fileSize(tempHandle_);
}

void DownloadJob::setTargetFile(const std::string& name, bool fromDisposition) {
    job_.targetFile = cleanFileName(fromDisposition ? name : urlFileName(name));
    ui_.setControlText(CTRL_TARGET_PATH, destinationPath());
    if (!fromDisposition) ui_.setControlText(CTRL_URL, name);
}

static bool pathExistsText(const std::string& path) { return pathExists(path.c_str()); }

WriteResult DownloadJob::openTempFile(int index) {
    TransferSession& s0 = sessions_[0];
    if (settings_.resuming) {
        tempPath_ = settings_.tempFilePath;
        ui_.setControlText(CTRL_TARGET_PATH, destinationPath());
    } else if (settings_.UseIECache) {
        std::string extension = pathExtension(job_.targetFile);
        if (!extension.empty()) extension.erase(0, 1);
        std::string path;
        if (!browserCacheFile(s0.url.c_str(), job_.contentLength > 0 ? job_.contentLength : 0,
                              extension.c_str(), &path)) {
            log(LOG_FATAL, formatText("%s GetLastError = %d", engineString(80).c_str(), fileLastError()), index);
            return WRITE_CREATE_FAILED;
        }
        tempPath_ = path;
    } else {
        tempPath_ = uniquePath(destinationPath() + TEMP_FILE_SUFFIX, pathExistsText);
    }
    tempHandle_ = fileOpenAlways(tempPath_.c_str());
    if (tempHandle_ == NO_FILE) {
        log(LOG_FATAL, formatText("%s GetLastError = %d", engineString(80).c_str(), fileLastError()), index);
        tempPath_.clear();
        return WRITE_CREATE_FAILED;
    }
    if (emptyOnOpen_) {
        if (!fileSetSize(tempHandle_, 0)) {
            // Closed again, so that the next write tries once more.
            fileClose(tempHandle_);
            tempHandle_ = NO_FILE;
            log(LOG_ERROR, engineString(25), index);
            return WRITE_FAILED;
        }
        emptyOnOpen_ = false;
    }
    nextWriteOffset_ = 0;
    saveMark_ = 0;
    savedOnce_ = false;
    if (!settings_.resuming) {
        if (settings_.downloadOptions.has(FLAG_SPLIT) && job_.contentLength != -1 &&
            job_.contentLength > SPLIT_MIN_SIZE)
            startSplit();
        else
            s0.rangeEnd = job_.contentLength;
    }
    if (pathExists(destinationPath().c_str())) ui_.postTargetExists();
    return WRITE_OK;
}

void DownloadJob::startSplit() {
    TransferSession& s0 = sessions_[0];
    TransferSession& s1 = sessions_[1];
    uint64_t half = static_cast<uint64_t>(job_.contentLength / 2);
    s1.address = s0.address;
    s1.url = s0.url;
    s1.referer = s0.referer;
    s1.isFtp = s0.isFtp;
    s1.suspended = 0;
    s1.lastSampleTick = 0;
    s1.rate = 0;
    s0.rangeEnd = job_.contentLength;
    s1.position = half;
    s1.lastSamplePosition = half;
    s1.rangeEnd = job_.contentLength;
    s1.phase = PHASE_TRANSFERRING;
    reloadTimeout(1);
    reconnectSession(1);
}

WriteResult DownloadJob::writeBlock(int index, uint64_t position, const char* data, size_t length) {
    reloadTimeout(index);
    if (tempHandle_ == NO_FILE) {
        WriteResult opened = openTempFile(index);
        if (opened != WRITE_OK) return opened;
    }
    int64_t offset = static_cast<int64_t>(position + STATE_BLOCK_SIZE);
    if (offset != nextWriteOffset_) {
        if (!fileSeek(tempHandle_, offset)) {
            nextWriteOffset_ = -1;
            log(LOG_ERROR, engineString(25), index);
            return WRITE_FAILED;
        }
    }
    nextWriteOffset_ = offset + static_cast<int64_t>(length);
    if (!fileWrite(tempHandle_, data, length)) {
        nextWriteOffset_ = -1;
        log(LOG_ERROR, engineString(25), index);
        return WRITE_FAILED;
    }
    // Let the disk follow the download every few megabytes: the flush before
    // each state save and the finishing then wait for little, and a power
    // loss finds more of the data on the disk.
    static uint64_t writtenSinceWriteback = 0;
    writtenSinceWriteback += length;
    if (writtenSinceWriteback >= WRITEBACK_STEP) {
        fileStartWriteback(tempHandle_);
        writtenSinceWriteback = 0;
    }
    // State saves: at most one per 102400 bytes of progress and per 5000 ms;
    // the first write of a run saves at once.
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= saveMark_ && start - saveMark_ > STATE_SAVE_MIN_BYTES) {
        uint32_t now = tickCount();
        if (!savedOnce_ || now - lastSaveTick_ > STATE_SAVE_MIN_MS) {
            if (!saveState()) {
                log(LOG_ERROR, engineString(25), index);
                return WRITE_FAILED;
            }
            lastSaveTick_ = now;
        }
        saveMark_ = start + length;
    }
    if (whiteSheet_ && !whiteSheet_->addBlock(position, length)) return WRITE_RANGE_END;
    return WRITE_OK;
}

int64_t DownloadJob::setContentLength(int64_t length) {
    job_.contentLength = length;
    if (length == -1) return -1;
    if (tempHandle_ != NO_FILE) {
        fileSetSize(tempHandle_, 0);
        nextWriteOffset_ = 0;
        saveMark_ = 0;
        savedOnce_ = false;  // the state block is gone: the next write saves it again
    }
    whiteSheet_.reset(new WhiteSheet());
    whiteSheet_->setSize(static_cast<uint64_t>(length));
    return length;
}

// Restarts a session from byte 0 with a new total: the file is emptied and
// the block map renewed (setContentLength).
void DownloadJob::restartFromZero(int index, int64_t length) {
    TransferSession& s = sessions_[index];
    s.position = 0;
    s.percent = 0;
    s.lastSamplePosition = 0;
    setContentLength(length);
    // The block map is walked in list order: the range from byte 0 of the
    // restarted session must come first, also when the other session writes
    // before it.
    if (whiteSheet_ && length >= 0) whiteSheet_->addBlock(0, 0);
    if (length == -1) {
        // A new body of unknown size: nothing of the old data belongs to it,
        // and no size check at the end would cut an old tail left behind a
        // shorter new body. The file is emptied (a kept file not yet open
        // when it is opened) and the old block map is dropped.
        whiteSheet_.reset();
        if (tempHandle_ != NO_FILE) {
            fileSetSize(tempHandle_, 0);
            nextWriteOffset_ = 0;
            saveMark_ = 0;
            savedOnce_ = false;
        } else if (settings_.resuming) {
            emptyOnOpen_ = true;
        }
        // Without a size the body can only be written from one connection,
        // and the other session's end would pass for the end of the download.
        TransferSession& other = sessions_[index ^ 1];
        if (other.phase != PHASE_IDLE) {
            log(LOG_INFO, engineString(38), index ^ 1);
            closeSocket(other.socket);
            other.ftp.reset();
            if (other.lookupTask != NO_LOOKUP) cancelLookup(other.lookupTask);
            other.lookupTask = NO_LOOKUP;
            other.inBody = false;
            other.phase = PHASE_IDLE;
            other.position = 0;
        }
    }
    // A file that exists (open, or kept by a resumed job) gets no new range
    // from the first write, so set it here: the session now covers the whole
    // new length (a running second session still ends it at their meeting).
    if (tempHandle_ != NO_FILE || settings_.resuming) s.rangeEnd = length;
}

bool DownloadJob::saveState() {
    if (tempHandle_ == NO_FILE) return false;
    std::string text;
    ResumeStateRefs refs{settings_, job_, newDownload, whiteSheet_, sessions_[0], sessions_[1]};
    if (!storeResumeState(refs, text)) return false;
    // The data the state describes must be on the disk before the state that
    // claims it, or a crash could leave a state promising missing bytes.
    if (!fileFlush(tempHandle_)) return false;
    // A text that fills the whole block ends at the block's end without its
    // NUL, which would land on the first data byte; the loader puts a NUL of
    // its own behind the block.
    size_t length = text.size() > STATE_BLOCK_SIZE ? STATE_BLOCK_SIZE : text.size();
    if (!fileSeek(tempHandle_, 0) || !fileWrite(tempHandle_, text.data(), length)) {
        nextWriteOffset_ = -1;
        return false;
    }
    nextWriteOffset_ = static_cast<int64_t>(length);
    savedOnce_ = true;
    return true;
}

bool DownloadJob::keepTempFile() {
    bool saved = saveState();
    if (tempHandle_ != NO_FILE) fileFlush(tempHandle_);
    fileClose(tempHandle_);
    tempHandle_ = NO_FILE;
    nextWriteOffset_ = -1;
    return saved;
}

void DownloadJob::discardOrKeepTempFile() {
    if (job_.stage == STAGE_ENDED) {
        ui_.showTooLate();
        return;
    }
    ui_.hideWindow();
    if (tempPath_.empty() || !pathExists(tempPath_.c_str())) return;
    if (ui_.askDeleteTempFile()) {
        fileClose(tempHandle_);
        tempHandle_ = NO_FILE;
        if (job_.stage == STAGE_ENDED) {
            ui_.showTooLate();
        } else if (ui_.useDirectDelete()) {
            fileDelete(tempPath_.c_str());
        } else {
            recycleFile(tempPath_.c_str());
        }
    } else {
        keepTempFile();
    }
}

TempFileLoadResult DownloadJob::loadTempFile(const std::string& path, AppSettings& settings) {
    TempFileLoadResult result;
    std::string refused = engineString(96) + " : " + path;
    FileHandle file = fileOpenRead(path.c_str());
    if (file == NO_FILE) {
        result.errorText = engineString(29) + " : " + path;
        return result;
    }
    std::vector<char> block(STATE_BLOCK_SIZE + 1, '\0');
    size_t got = 0;
    while (got < STATE_BLOCK_SIZE) {
        int64_t n = fileRead(file, block.data() + got, STATE_BLOCK_SIZE - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    fileClose(file);
    if (got < STATE_BLOCK_SIZE) {
        result.errorText = refused;
        return result;
    }
    ResumeStateRefs refs{settings, job_, newDownload, whiteSheet_, sessions_[0], sessions_[1]};
    if (!loadResumeState(block.data(), STATE_BLOCK_SIZE, refs)) {
        result.errorText = refused;
        return result;
    }
    // The name comes from the file, not from this run: clean it as a server's
    // name is cleaned, so that a crafted "../x" cannot leave the folder.
    job_.targetFile = cleanFileName(job_.targetFile);
    // The block map must describe the loaded size, or it would call the
    // download complete before its end (or never).
    if (whiteSheet_ && (job_.contentLength < 0 || whiteSheet_->size() != static_cast<uint64_t>(job_.contentLength))) {
        result.errorText = refused;
        return result;
    }
    // Sessions must fit the loaded size, or their writes would land outside it.
    for (const TransferSession& s : sessions_) {
        bool fits = job_.contentLength < 0 ||
                    (s.position <= static_cast<uint64_t>(job_.contentLength) && s.rangeEnd <= job_.contentLength);
        if (!fits || (job_.contentLength >= 0 && !whiteSheet_)) {
            result.errorText = refused;
            return result;
        }
    }
    result.ok = true;
    return result;
}
