// The receive path of the download job: the receive-result check, the rate
// sample, the write of each block at the session's position, the give-up rule
// of a split download, the speed limit paced by the 100 ms tick and the
// session's progress text.
// Portable: the engine side of the platform seam.
#include <cinttypes>

#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "platform/system.h"

char* SessionOperations::receiveBuffer() {
    // One buffer for every body receive and the final relocation: the engine
    // processes each receive to its end before the next one starts.
    static char buffer[RECEIVE_BUFFER_SIZE];
    return buffer;
}

bool DownloadJob::checkReceive(int index, int result, bool endOnZero) {
    if (result > 0) return true;
    if (result == 0) {
        if (endOnZero) endSession(index, false);
        return false;
    }
    int error = netLastError();
    if (error == WSAEWOULDBLOCK || endsWholeTlsBody(index, error)) return false;
    log(LOG_FATAL, engineString(16) + errorText(error), index);
    scheduleRetry(index);
    return false;
}

bool DownloadJob::endsWholeTlsBody(int index, int error) {
    const TransferSession& s = sessions_[index];
    if (error != WSAECONNRESET || s.tlsStage != TLS_STAGE_SECURE || !s.inBody || job_.contentLength < 0)
        return false;
    int64_t end = s.rangeEnd >= 0 ? s.rangeEnd : job_.contentLength;
    if (static_cast<int64_t>(s.position) < end) return false;
    endSession(index, false);
    return true;
}

bool DownloadJob::processBlock(int index, const char* data, size_t length) {
    TransferSession& s = sessions_[index];
    uint32_t now = tickCount();
    if (s.lastSampleTick == 0) {
        s.lastSampleTick = now;
    } else {
        uint32_t elapsed = now - s.lastSampleTick;
        if (elapsed > 1000) {
            s.rate = static_cast<double>(s.position - s.lastSamplePosition) / (elapsed / 1000.0) / 1024.0;
            s.lastSampleTick = now;
            s.lastSamplePosition = s.position;
        }
    }
    switch (writeBlock(index, s.position, data, length)) {
    case WRITE_CREATE_FAILED:
        s.phase = PHASE_REQUESTING;
        endSession(index, true);
        return false;
    case WRITE_FAILED:
        endSession(index, false);
        return false;
    case WRITE_RANGE_END:
        if (index == 1) {
            s.position += length;
            return true;
        }
        s.position = static_cast<uint64_t>(s.rangeEnd);
        endSession(index, false);
        return false;
    case WRITE_OK:
    default:
        break;
    }
    s.position += length;
    TransferSession& second = sessions_[1];
    if (index == 0 && second.phase == PHASE_TRANSFERRING && job_.contentLength > 0) {
        uint64_t half = static_cast<uint64_t>(job_.contentLength / 2);
        if (s.position > half && second.position == half) {
            // Session 1 never received a byte and session 0 is past the
            // middle: session 0 takes the rest.
            log(LOG_INFO, engineString(38), 1);
            closeSocket(second.socket);
            second.ftp.reset();
            second.inBody = false;
            second.phase = PHASE_IDLE;
            second.position = 0;
            // Session 0 now owns everything up to the end, also when the
            // second session's answer had moved its range end to the middle.
            s.rangeEnd = job_.contentLength;
        }
    }
    return true;
}

int DownloadJob::activeSessionCount() const {
    int count = 0;
    for (const TransferSession& s : sessions_) {
        if (s.isFtp ? (s.ftp && s.ftp->dataSocket() != NO_SOCKET) : s.socket != NO_SOCKET) ++count;
    }
    return count;
}

static SocketHandle bodySocket(const TransferSession& s) {
    if (s.isFtp) return s.ftp ? s.ftp->dataSocket() : NO_SOCKET;
    return s.socket;
}

void DownloadJob::pacedReceive(int index) {
    TransferSession& s = sessions_[index];
    int active = activeSessionCount();
    if (active < 1) active = 1;
    int64_t base = static_cast<int64_t>(settings_.downloadOptions.speedLimit * 102.4) / active;
    int64_t quota = base;
    if (job_.speedRatio != 0) {
        double factor = job_.speedRatio;
        if (factor > 3.0) factor = 2.0;
        else if (factor < 0.5) factor = 0.5;
        quota = static_cast<int64_t>(static_cast<double>(quota) * factor);
        if (quota < 0) quota = base;
    }
    if (quota <= 0) quota = 1;
    // Room for a few ticks' quotas in the socket, or each tick could read
    // only what a small default buffer holds and the rate would fall short.
    if (bodySocket(s) != NO_SOCKET)
        socketReserveReceiveBuffer(bodySocket(s), static_cast<int>(quota > (1 << 21) ? (1 << 23) : quota * 4));
    char* buffer = receiveBuffer();
    while (quota > 0) {
        size_t chunk;
        if (quota < static_cast<int64_t>(RECEIVE_BUFFER_SIZE)) {
            chunk = static_cast<size_t>(quota);
            quota = 0;
        } else {
            chunk = RECEIVE_CHUNK;
            quota -= static_cast<int64_t>(chunk);
        }
        SocketHandle socket = bodySocket(s);
        if (socket == NO_SOCKET) break;
        int result = socketRecv(socket, buffer, chunk);
        if (!checkReceive(index, result, false)) break;
        if (!processBlock(index, buffer, static_cast<size_t>(result))) break;
    }
}

void DownloadJob::speedLimitSwitchedOff() {
    char* buffer = receiveBuffer();
    for (int i = 0; i < 2; ++i) {
        for (int round = 0; round < 8; ++round) {
            SocketHandle socket = bodySocket(sessions_[i]);
            if (socket == NO_SOCKET || !sessions_[i].inBody) break;
            int result = socketRecv(socket, buffer, RECEIVE_CHUNK);
            if (!checkReceive(i, result, false)) break;
            if (!processBlock(i, buffer, static_cast<size_t>(result))) break;
        }
    }
}

std::string DownloadJob::sessionProgressText(int index, int64_t length) const {
    const TransferSession& s = sessions_[index];
    if (length == -1 || length == -2 || s.rangeEnd == -1)
        return formatText("%" PRIu64 "K / ???? - %1.2f kb/s", s.position / 1024, s.rate);
    uint64_t end = static_cast<uint64_t>(s.rangeEnd) / 1024;
    uint64_t done = job_.contentLength == -2 ? end : s.position / 1024;
    return formatText("%" PRIu64 "K / %" PRIu64 "K - %1.2f kb/s", done, end, s.rate);
}
