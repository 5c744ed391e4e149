// The completion of the download job: the data moved over the state block to
// the front of the temporary file, the size check, the final display, the
// ".dorimelt" extension stripped, the move into the destination folder, the
// finish sound and the window's finish.
// Portable: the engine side of the platform seam.
#include <cinttypes>

#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "protocol/http_header.h"
#include "platform/system.h"
#include "state/temp_file_format.h"

bool DownloadJob::relocateData() {
    log(LOG_INFO, engineString(97), 0);
    int64_t size = fileSize(tempHandle_);
    if (size < static_cast<int64_t>(STATE_BLOCK_SIZE)) return true;
    int64_t dataSize = size - static_cast<int64_t>(STATE_BLOCK_SIZE);
    // Where the file system can drop the state block in place (it is exactly
    // 125 blocks of 4096 bytes), the data reaches the front without being
    // read and written again; elsewhere it is copied forward block by block.
    switch (fileCollapseFront(tempHandle_, static_cast<int64_t>(STATE_BLOCK_SIZE))) {
    case COLLAPSE_DONE:
        ui_.setTitle(formatText("%d %% / %s", 100, engineString(99).c_str()));
        nextWriteOffset_ = -1;
        return true;
    case COLLAPSE_FAILED:  // a refused collapse leaves the file as it was: copy instead
    case COLLAPSE_UNSUPPORTED:
        break;
    }
    char* buffer = receiveBuffer();
    int64_t copied = 0;
    int lastPercent = -1;
    bool failed = false;
    while (copied < dataSize) {
        int64_t got = fileReadAt(tempHandle_, static_cast<int64_t>(STATE_BLOCK_SIZE) + copied, buffer, RELOCATE_CHUNK);
        // A read that fails or ends early, like a failed write, leaves data
        // behind: cutting the file now would turn it into a wrong download.
        if (got <= 0 || !fileWriteAt(tempHandle_, copied, buffer, static_cast<size_t>(got))) {
            log(LOG_FATAL, engineString(98), 0);
            failed = true;
            break;
        }
        copied += got;
        int percent = static_cast<int>(copied * 100 / dataSize);
        if (percent != lastPercent) {
            lastPercent = percent;
            ui_.setTitle(formatText("%d %% / %s", percent, engineString(99).c_str()));
        }
    }
    if (!failed) fileSetSize(tempHandle_, dataSize);
    nextWriteOffset_ = -1;
    return !failed;
}

void DownloadJob::completeJob() {
    bool hadFile = tempHandle_ != NO_FILE;
    bool relocated = true;
    if (hadFile) relocated = relocateData();
    if (hadFile && relocated) {
        int64_t size = fileSize(tempHandle_);
        if (job_.contentLength != -1 && size != job_.contentLength) {
            log(LOG_WARNING,
                engineString(40) + formatText(" (FileSize=%" PRIu64 ") != (ContentLength=%" PRIu64 ")",
                                              static_cast<uint64_t>(size), static_cast<uint64_t>(job_.contentLength)),
                0);
            log(LOG_WARNING, engineString(103), 0);
            fileSetSize(tempHandle_, job_.contentLength);
        }
        fileFlush(tempHandle_);
    }
    for (int i = 0; i < 2; ++i) {
        if (sessions_[i].socket != NO_SOCKET) {
            log(LOG_INFO, engineString(38), i);
            closeSocket(sessions_[i].socket);
        }
    }
    int64_t length = job_.contentLength;
    job_.contentLength = -2;
    job_.finalDisplay = 1;
    ui_.refreshDisplay();
    for (int i = 0; i < 2; ++i)
        if (sessions_[i].phase == PHASE_IDLE) ui_.setTabText(i, sessionProgressText(i, length));
    job_.finalDisplay = 0;
    tearDown();
    fileClose(tempHandle_);
    tempHandle_ = NO_FILE;
    setStage(STAGE_ENDED);

    if (tempPath_.empty() || !hadFile) {
        log(LOG_ERROR, engineString(45), 0);
    } else if (!relocated) {
        // The data is only partly at the front: the file is left where it is,
        // under its temporary name, and is neither renamed, moved nor called
        // finished.
        ui_.setTitle(engineString(98));
    } else {
        log(LOG_INFO, engineString(41), 0);
        if (endsWithNoCase(tempPath_, TEMP_FILE_SUFFIX)) {
            std::string plain = tempPath_.substr(0, tempPath_.size() - (sizeof TEMP_FILE_SUFFIX - 1));
            if (fileRename(tempPath_.c_str(), plain.c_str())) tempPath_ = plain;
        }
        if (settings_.AutoRename && tempPath_ != destinationPath()) {
            std::string unique = uniquePath(destinationPath(), [](const std::string& p) { return pathExists(p.c_str()); });
            setTargetFile(unique.substr(settings_.DstDir.size()), true);
        }
        if (moveToDestination(tempPath_.c_str(), destinationPath().c_str())) {
            job_.moveSucceeded = 1;
        } else {
            ui_.showMoveFailed(tempPath_);
            job_.moveSucceeded = 0;
        }
        log(LOG_INFO, engineString(18), 0);
        settings_.Dead = 1;
        ui_.setTitle(engineString(44));
        if (settings_.SoundOnF == 2 && !settings_.SoundFile.empty()) playSoundFile(settings_.SoundFile.c_str());
        ui_.finishWindow();
    }
    if (tickTimerRunning()) {
        ui_.refreshDisplay();
        stopTickTimer();
    }
}
