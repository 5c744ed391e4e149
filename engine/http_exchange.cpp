// The HTTP exchange of a session: the HTTP/1.0 request with its fixed header
// order, the response header read byte by byte (so no body byte is consumed
// with it), the status decision table, redirects and the reading of the
// socket when the server closes it.
// Portable: the engine side of the platform seam.
#include <cinttypes>

#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "protocol/http_header.h"
#include "platform/system.h"
#include "protocol/url.h"
#include "state/temp_file_format.h"

namespace {

bool equalsNoCase(const std::string& a, const char* b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    return endsWithNoCase(a, b);
}

// The absolute URL of a Location value. A relative value keeps the port the
// base URL was written with: without it a server on another port than 80
// would redirect its clients to a different server. With https on, a
// relative value keeps an https base's scheme (and a port other than 443).
std::string redirectTarget(const std::string& base, const std::string& value, bool https) {
    std::string resolved = resolveRedirectUrl(base, value);
    UrlComponents parts;
    if (isValidUrl(value) || !crackUrl(base, parts)) return resolved;
    bool secure = https && equalsNoCase(parts.scheme, "https");
    if (!secure && !equalsNoCase(parts.scheme, "http")) return resolved;
    uint16_t defaultPort = secure ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT;
    if (!secure && (parts.port == 0 || parts.port == defaultPort)) return resolved;
    size_t hostEnd = 7 + parts.hostName.size();  // after "http://" + host
    if (resolved.compare(0, hostEnd, "http://" + parts.hostName) != 0) return resolved;
    std::string port = parts.port == 0 || parts.port == defaultPort ? "" : ":" + std::to_string(parts.port);
    return (secure ? "https://" : "http://") + parts.hostName + port + resolved.substr(hostEnd);
}

}  // namespace

// Sends all of data on the session's socket; false (session ended) when the
// socket refuses it.
bool DownloadJob::sendAll(int index, const std::string& data) {
    TransferSession& s = sessions_[index];
    // The data is small and the socket has just connected, so the system
    // takes it at once; a partial send is continued while it makes progress.
    size_t sent = 0;
    while (sent < data.size()) {
        int result = socketSend(s.socket, data.data() + sent, data.size() - sent);
        if (result == SOCKET_ERROR) {
            log(LOG_ERROR, engineString(14) + errorText(netLastError()), index);
            endSession(index, false);
            return false;
        }
        if (result == 0) break;
        sent += static_cast<size_t>(result);
    }
    return true;
}

void DownloadJob::sendRequest(int index) {
    TransferSession& s = sessions_[index];
    reloadTimeout(index);
    // Over TLS the connection row came before the handshake.
    if (s.tlsStage == TLS_STAGE_NONE) log(LOG_INFO, engineString(10), index);
    std::string request;
    auto line = [&](const std::string& text) {
        log(LOG_SENT, text, index);
        request += text;
        request += "\r\n";
    };
 // Through a CONNECT tunnel the request goes to the server itself.
    bool viaProxy = !settings_.Proxy.empty() && s.tlsStage == TLS_STAGE_NONE;
    line("GET " + (viaProxy ? s.url : urlRequestPath(s.url)) + " HTTP/1.0");
    if (!s.referer.empty()) line("Referer: " + s.referer);
    line("User-Agent: Dorimel/0.11");
    if (viaProxy && settings_.downloadOptions.has(FLAG_PROXY_NO_CACHE)) line("Pragma: no-cache");
    line("Accept: */*");
    if (static_cast<int64_t>(s.position) > 0) line(formatText("Range: bytes=%" PRIu64 "-", s.position));
    if (settings_.UseIECookie) {
        std::string cookie;
        if (browserCookie(s.url.c_str(), &cookie)) line("Cookie: " + cookie);
    }
    line("Connection: close");
    line("Host: " + urlHost(s.url));
    request += "\r\n";
    if (sendAll(index, request)) log(LOG_WAITING, engineString(28), index);
}

// Appends one header byte; when the header is complete, parses it. Returns
// true when the header ended (parsed then tells whether the body starts).
bool DownloadJob::appendHeaderByte(int index, char byte, bool& parsed) {
    TransferSession& s = sessions_[index];
    s.headerText += byte == '\0' ? ' ' : byte;
    size_t size = s.headerText.size();
    size_t markerStart = std::string::npos;
    if (size >= 4 && s.headerText.compare(size - 4, 4, "\r\n\r\n") == 0) markerStart = size - 4;
    else if (size >= 2 && s.headerText.compare(size - 2, 2, "\n\n") == 0) markerStart = size - 2;
    if (markerStart == std::string::npos) {
        if (size > MAX_HEADER_SIZE) {
            // A header without end: refuse it rather than grow without limit.
            s.headerText.clear();
            log(LOG_FATAL, engineString(67), index);
            endSession(index, false);
            parsed = false;
            return true;
        }
        return false;
    }
    s.headerText.resize(markerStart);
    if (s.tlsStage == TLS_STAGE_TUNNEL) {
        // The proxy's answer to CONNECT: no body follows it.
        parseTunnelReply(index);
        s.headerText.clear();
        parsed = false;
        return true;
    }
    SocketHandle socket = s.socket;
    parsed = parseResponse(index);
    if (parsed && s.socket == socket && socket != NO_SOCKET) s.inBody = true;
    else parsed = false;
    s.headerText.clear();
    if (parsed && job_.contentLength == 0 && s.phase == PHASE_TRANSFERRING) {
        // An empty body: nothing more will come, finish now instead of
        // waiting for the server to close.
        endSession(index, false);
        parsed = false;
    }
    return true;
}

void DownloadJob::onReadable(int index) {
    TransferSession& s = sessions_[index];
    if (s.inBody) {
        if (settings_.downloadOptions.has(FLAG_SPEED_LIMIT)) return;  // the tick pulls the data
        char* buffer = receiveBuffer();
        int result = socketRecv(s.socket, buffer, RECEIVE_CHUNK);
        reloadTimeout(index);
        if (checkReceive(index, result, true)) processBlock(index, buffer, static_cast<size_t>(result));
        return;
    }
    char byte;
    int result = socketRecv(s.socket, &byte, 1);
    reloadTimeout(index);
    if (!checkReceive(index, result, true)) return;
    bool parsed;
    appendHeaderByte(index, byte, parsed);
}

void DownloadJob::onClosed(int index) {
    TransferSession& s = sessions_[index];
    for (long round = 0; round < 1000001; ++round) {
        char* buffer = receiveBuffer();
        int result = socketRecv(s.socket, buffer, s.inBody ? RECEIVE_CHUNK : 1);
        if (result < 0) {
            log(LOG_FATAL, engineString(16) + errorText(netLastError()), index);
            scheduleRetry(index);
            return;
        }
        if (result == 0) {
            endSession(index, false);
            return;
        }
        if (s.inBody) {
            if (!processBlock(index, buffer, static_cast<size_t>(result))) return;
            // A known length is complete at its end; an unknown one only when
            // the connection is empty (the loop reads on until recv says 0).
            if (job_.contentLength >= 0 && static_cast<int64_t>(s.position) >= job_.contentLength &&
                s.socket != NO_SOCKET) {
                endSession(index, false);
                return;
            }
        } else {
            bool parsed;
            if (appendHeaderByte(index, buffer[0], parsed) && !parsed) return;
        }
        if (s.socket == NO_SOCKET) return;
    }
    endSession(index, false);
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

bool DownloadJob::parseResponse(int index) {
    TransferSession& s = sessions_[index];
    StatusLine statusLine;
    int64_t contentLength = -1;
    std::string location, contentType;
    uint64_t rangeStart = 0, rangeTotal = 0;
    bool first = true;
    for (const std::string& line : headerLines(s.headerText)) {
        log(LOG_RECEIVED, line, index);
        if (first) {
            first = false;
            statusLine = parseStatusLine(line);
        } else {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                size_t valueStart = colon + 1;
                while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
                    ++valueStart;
                std::string value = line.substr(valueStart);
                if (equalsNoCase(name, "Content-Length")) {
                    if (!parseDecimal64(value, contentLength)) {
                        log(LOG_FATAL, engineString(67), index);
                        endSession(index, false);
                        return false;
                    }
                } else if (equalsNoCase(name, "Location")) {
                    location = redirectTarget(s.url, value, settings_.EnableHttps);
                } else if (equalsNoCase(name, "Content-Type")) {
                    contentType = value;
                } else if (equalsNoCase(name, "Content-Range")) {
                    if (!parseContentRange(value, rangeStart, rangeTotal)) {
                        log(LOG_ERROR, engineString(66), index);
                        rangeStart = 0;
                    }
                } else if (equalsNoCase(name, "Content-Disposition")) {
                    std::string fileName;
                    if (dispositionFileName(value, fileName)) setTargetFile(percentDecode(fileName), true);
                }
            }
        }
    }

    const DownloadOptions& options = settings_.downloadOptions;
    int status = statusLine.status;
    auto retryOrStop = [&]() {
        if (options.has(FLAG_RETRY_ON_ERROR)) scheduleRetry(index);
        else endSession(index, true);
    };

    if (status == 206) {
        if (rangeStart != s.position) {
            log(LOG_FATAL, engineString(68), index);
            scheduleRetry(index);
            return false;
        }
        // A job of unknown size goes on when the server now reports a total:
        // the size stays unknown and the download ends when the server closes.
        if (job_.contentLength != -1 && static_cast<int64_t>(rangeTotal) != job_.contentLength) {
            log(LOG_FATAL, engineString(69), index);
            endSession(index, true);
            return false;
        }
        log(LOG_INFO, formatText("%" PRIu64, rangeStart) + engineString(70), index);
        if (index == 1) {
            uint64_t meeting = static_cast<uint64_t>(job_.contentLength / 2 + 1);
            TransferSession& first0 = sessions_[0];
            if (first0.position <= meeting) {
                first0.rangeEnd = static_cast<int64_t>(meeting);
            } else {
                s.phase = PHASE_IDLE;
                closeSocket(s.socket);
                log(LOG_INFO, engineString(38), index);
                return false;
            }
        }
        return true;
    }
    if (status >= 200 && status < 300) {
        if (s.phase == PHASE_TRANSFERRING && index == 0) {
            log(LOG_WARNING, engineString(71), index);
            if (!options.has(FLAG_RESTART_IF_NO_RESUME)) {
                endSession(index, true);
                return false;
            }
            log(LOG_INFO, engineString(72), index);
            restartFromZero(index, contentLength);
            return true;
        }
        if (s.phase == PHASE_TRANSFERRING) {
            log(LOG_INFO, engineString(71), index);
            log(LOG_INFO, engineString(38), index);
            closeSocket(s.socket);
            s.phase = PHASE_IDLE;
            s.position = 0;
            return false;
        }
        if (!isPageExtension(pathExtension(job_.targetFile)) && equalsNoCase(contentType, "text/html")) {
            log(LOG_ERROR, engineString(30), index);
            if (s.referer.empty()) {
                s.referer = s.url;
                scheduleRetry(index);
            } else if (s.referer == s.url) {
                endSession(index, true);
            } else {
                s.referer = s.url;
                scheduleRetry(index);
            }
            return false;
        }
        // Beyond MAX_DOWNLOAD_SIZE the data offsets would not fit a file
        // position and the kept file could never be resumed.
        if (contentLength <= -2 || contentLength > static_cast<int64_t>(MAX_DOWNLOAD_SIZE)) {
            s.position = 0;
            log(LOG_ERROR, engineString(74), index);
            endSession(index, true);
            return false;
        }
        if (contentLength == -1) log(LOG_WARNING, engineString(73), index);
        // A resumed job whose session 0 had nothing yet asks without a range
        // and gets the whole file: the file keeps what the other session has
        // already written, the body simply starts at byte 0.
        bool keepFile = index == 0 && s.position == 0 && tempHandle_ == NO_FILE && settings_.resuming &&
                        whiteSheet_ && contentLength >= 0 && contentLength == job_.contentLength;
        bool keepOpenFile = index == 0 && s.position == 0 && tempHandle_ != NO_FILE && whiteSheet_ &&
                            contentLength >= 0 && contentLength == job_.contentLength &&
                            sessions_[1].phase != PHASE_IDLE;
        if (keepFile || keepOpenFile) {
            s.position = 0;
        } else {
            restartFromZero(index, contentLength);
        }
        s.phase = PHASE_TRANSFERRING;
        log(LOG_INFO, engineString(17), index);
        return true;
    }
    if (status >= 300 && status < 400) {
        if (s.phase == PHASE_TRANSFERRING || index == 1 || options.has(FLAG_NO_REDIRECT)) {
            log(LOG_ERROR, engineString(75), index);
            scheduleRetry(index);
            return false;
        }
        return followRedirect(index, location);
    }
    if (status == 401) {
        if (!options.has(FLAG_RETRY_ON_ERROR)) {
            log(LOG_ERROR, engineString(19), index);
            endSession(index, true);
        } else {
            scheduleRetry(index);
        }
        return false;
    }
    if (status >= 400 && status < 500) {
        log(LOG_ERROR, engineString(20), index);
        if (s.phase == PHASE_TRANSFERRING) {
            scheduleRetry(index);
        } else if (s.referer.empty()) {
            s.referer = s.url;
            scheduleRetry(index);
        } else {
            retryOrStop();
        }
        return false;
    }
    if (status >= 500 && status < 600) {
        log(LOG_ERROR, engineString(31), index);
        retryOrStop();
        return false;
    }
    log(LOG_ERROR, engineString(24), index);
    retryOrStop();
    return false;
}

bool DownloadJob::followRedirect(int index, const std::string& location) {
    TransferSession& s = sessions_[index];
    log(LOG_INFO, engineString(21), index);
    if (s.referer.empty() && !isScriptPath(job_.targetFile) && s.url.find('?') == std::string::npos) {
        // Some servers redirect a plain file request without a referer to a
        // page; ask the same URL again with itself as referer first.
        s.referer = s.url;
        scheduleRetry(index);
        return false;
    }
    if (location.empty()) {
        log(LOG_INFO, engineString(76), index);
        endSession(index, true);
        return false;
    }
    std::string scheme = urlScheme(location);
    bool allowed = equalsNoCase(scheme, "http") || equalsNoCase(scheme, "ftp") || !settings_.Proxy.empty() ||
                   (settings_.EnableHttps && equalsNoCase(scheme, "https"));
    if (!allowed) {
        log(LOG_INFO, engineString(77), index);
        endSession(index, true);
        return false;
    }
    log(LOG_INFO, location + engineString(78), index);
    std::string oldHost = urlHost(s.url);
    s.referer = s.url;
    s.url = redirectTarget(s.url, location, settings_.EnableHttps);
    setTargetFile(s.url, false);
    // The old connection is left to the stale-socket rule.
    s.socket = NO_SOCKET;
    s.inBody = false;
    // Redirects count as attempts, so that a redirect loop ends at the limit.
    if (!countAttempt(index)) return false;
    if (settings_.Proxy.empty()) {
        if (isFtpUrl(s.url)) {
            s.isFtp = 1;
            s.ftp.reset();
            if (ftpFactory) s.ftp = ftpFactory(*this, index);
        }
        std::string newHost = urlHost(s.url);
        if (equalsNoCase(newHost, oldHost.c_str())) {
            reconnectSession(index);
        } else {
            --retryCount_;  // startSession counts this attempt itself
            startSession(index);
        }
    } else {
        reconnectSession(index);
    }
    return false;
}
