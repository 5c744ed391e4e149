// The HTTP exchange (see http_exchange.h): the HTTP/1.0 request with its
// fixed header order, the response header read byte by byte (so no body byte
// is consumed with it), the status decision table, redirects and the reading
// of the socket when the server closes it. It reaches the job only through
// SessionOperations.
// Portable: the engine side of the platform seam.
#include "engine/http_exchange.h"

#include <cinttypes>

#include "engine/engine_text.h"
#include "protocol/http_header.h"
#include "platform/system.h"
#include "protocol/url.h"
#include "state/temp_file_format.h"

namespace {

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
    std::string port =
        parts.port == 0 || parts.port == defaultPort ? "" : ":" + std::to_string(parts.port);
    return (secure ? "https://" : "http://") + parts.hostName + port + resolved.substr(hostEnd);
}

// The cookie handed over by a browser belongs to the URL it came with: it goes
// to that scheme and host only, never to the target of a redirect elsewhere
// (nor from https down to http).
bool handoffCookieApplies(const AppSettings& settings, const std::string& url) {
    if (settings.handoffCookie.empty()) return false;
    const std::string& origin = settings.handoffCookieUrl;
    return equalsNoCase(urlScheme(url), urlScheme(origin).c_str()) &&
           equalsNoCase(urlHost(url), urlHost(origin).c_str());
}

}  // namespace

void HttpExchange::onConnected(int index) {
    if (usesTls(job_.session(index))) startSecureChannel(index);
    else sendRequest(index);
}

void HttpExchange::addRequestLine(int index, std::string& request, const std::string& text) {
    job_.log(LOG_SENT, text, index);
    request += text;
    request += "\r\n";
}

// Sends all of data on the session's socket; false (session ended) when the
// socket refuses it.
bool HttpExchange::sendAll(int index, const std::string& data) {
    TransferSession& s = job_.session(index);
    // The data is small and the socket has just connected, so the system
    // takes it at once; a partial send is continued while it makes progress.
    size_t sent = 0;
    while (sent < data.size()) {
        int result = socketSend(s.socket, data.data() + sent, data.size() - sent);
        if (result == SOCKET_ERROR) {
            job_.log(LOG_ERROR, engineString(14) + errorText(netLastError()), index);
            job_.endSession(index, false);
            return false;
        }
        if (result == 0) break;
        sent += static_cast<size_t>(result);
    }
    return true;
}

void HttpExchange::sendRequest(int index) {
    TransferSession& s = job_.session(index);
    job_.reloadTimeout(index);
    // Over TLS the connection row came before the handshake.
    if (s.tlsStage == TLS_STAGE_NONE) job_.log(LOG_INFO, engineString(10), index);
    std::string request;
    auto line = [&](const std::string& text) { addRequestLine(index, request, text); };
    // Through a CONNECT tunnel the request goes to the server itself.
    bool viaProxy = !job_.settings().Proxy.empty() && s.tlsStage == TLS_STAGE_NONE;
    line("GET " + (viaProxy ? s.url : urlRequestPath(s.url)) + " HTTP/1.0");
    if (!s.referer.empty()) line("Referer: " + s.referer);
    line(kUserAgentLine);
    if (viaProxy && job_.settings().downloadOptions.has(FLAG_PROXY_NO_CACHE))
        line("Pragma: no-cache");
    line("Accept: */*");
    if (static_cast<int64_t>(s.position) > 0)
        line(formatText("Range: bytes=%" PRIu64 "-", s.position));
    if (handoffCookieApplies(job_.settings(), s.url)) {
        // The value is the user's session: the log row shows only its size.
        job_.log(LOG_SENT, "Cookie: (" + std::to_string(job_.settings().handoffCookie.size()) + " bytes)", index);
        request += "Cookie: " + job_.settings().handoffCookie + "\r\n";
    } else if (job_.settings().UseIECookie) {
        std::string cookie;
        if (browserCookie(s.url.c_str(), &cookie)) line("Cookie: " + cookie);
    }
    line("Connection: close");
    line("Host: " + urlHost(s.url));
    request += "\r\n";
    if (sendAll(index, request)) job_.log(LOG_WAITING, engineString(28), index);
}

// Appends one header byte; when the header is complete, parses it. Returns
// true when the header ended (parsed then tells whether the body starts).
bool HttpExchange::appendHeaderByte(int index, char byte, bool& parsed) {
    TransferSession& s = job_.session(index);
    s.headerText += byte == '\0' ? ' ' : byte;
    size_t size = s.headerText.size();
    size_t markerStart = std::string::npos;
    if (size >= 4 && s.headerText.compare(size - 4, 4, "\r\n\r\n") == 0) markerStart = size - 4;
    else if (size >= 2 && s.headerText.compare(size - 2, 2, "\n\n") == 0) markerStart = size - 2;
    if (markerStart == std::string::npos) {
        if (size > MAX_HEADER_SIZE) {
            // A header without end: refuse it rather than grow without limit.
            s.headerText.clear();
            job_.log(LOG_FATAL, engineString(67), index);
            job_.endSession(index, false);
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
    if (parsed && job_.record().contentLength == 0 && s.phase == PHASE_TRANSFERRING) {
        // An empty body: nothing more will come, finish now instead of
        // waiting for the server to close.
        job_.endSession(index, false);
        parsed = false;
    }
    return true;
}

void HttpExchange::onReadable(int index) {
    TransferSession& s = job_.session(index);
    if (s.inBody) {
        if (job_.settings().downloadOptions.has(FLAG_SPEED_LIMIT))
            return;  // the tick pulls the data
        char* buffer = SessionOperations::receiveBuffer();
        int result = socketRecv(s.socket, buffer, RECEIVE_CHUNK);
        job_.reloadTimeout(index);
        if (job_.checkReceive(index, result, true))
            job_.processBlock(index, buffer, static_cast<size_t>(result));
        return;
    }
    char byte;
    int result = socketRecv(s.socket, &byte, 1);
    job_.reloadTimeout(index);
    if (!job_.checkReceive(index, result, true)) return;
    bool parsed;
    appendHeaderByte(index, byte, parsed);
}

void HttpExchange::onClosed(int index) {
    TransferSession& s = job_.session(index);
    for (long round = 0; round < 1000001; ++round) {
        char* buffer = SessionOperations::receiveBuffer();
        int result = socketRecv(s.socket, buffer, s.inBody ? RECEIVE_CHUNK : 1);
        if (result < 0) {
            job_.log(LOG_FATAL, engineString(16) + errorText(netLastError()), index);
            job_.scheduleRetry(index);
            return;
        }
        if (result == 0) {
            job_.endSession(index, false);
            return;
        }
        if (s.inBody) {
            if (!job_.processBlock(index, buffer, static_cast<size_t>(result))) return;
            // A known length is complete at its end; an unknown one only when
            // the connection is empty (the loop reads on until recv says 0).
            if (job_.record().contentLength >= 0 &&
                static_cast<int64_t>(s.position) >= job_.record().contentLength &&
                s.socket != NO_SOCKET) {
                job_.endSession(index, false);
                return;
            }
        } else {
            bool parsed;
            if (appendHeaderByte(index, buffer[0], parsed) && !parsed) return;
        }
        if (s.socket == NO_SOCKET) return;
    }
    job_.endSession(index, false);
}

bool HttpExchange::parseResponse(int index) {
    TransferSession& s = job_.session(index);
    StatusLine statusLine;
    int64_t contentLength = -1;
    std::string location, contentType;
    uint64_t rangeStart = 0, rangeTotal = 0;
    bool first = true;
    for (const std::string& line : headerLines(s.headerText)) {
        job_.log(LOG_RECEIVED, line, index);
        if (first) {
            first = false;
            statusLine = parseStatusLine(line);
        } else {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                size_t valueStart = colon + 1;
                while (valueStart < line.size() &&
                       (line[valueStart] == ' ' || line[valueStart] == '\t'))
                    ++valueStart;
                std::string value = line.substr(valueStart);
                if (equalsNoCase(name, "Content-Length")) {
                    if (!parseDecimal64(value, contentLength)) {
                        job_.log(LOG_FATAL, engineString(67), index);
                        job_.endSession(index, false);
                        return false;
                    }
                } else if (equalsNoCase(name, "Location")) {
                    location = redirectTarget(s.url, value, job_.settings().EnableHttps);
                } else if (equalsNoCase(name, "Content-Type")) {
                    contentType = value;
                } else if (equalsNoCase(name, "Content-Range")) {
                    if (!parseContentRange(value, rangeStart, rangeTotal)) {
                        job_.log(LOG_ERROR, engineString(66), index);
                        rangeStart = 0;
                    }
                } else if (equalsNoCase(name, "Content-Disposition")) {
                    std::string fileName;
                    if (dispositionFileName(value, fileName))
                        job_.setTargetFile(percentDecode(fileName), true);
                }
            }
        }
    }

    const DownloadOptions& options = job_.settings().downloadOptions;
    int status = statusLine.status;
    auto retryOrStop = [&]() {
        if (options.has(FLAG_RETRY_ON_ERROR)) job_.scheduleRetry(index);
        else job_.endSession(index, true);
    };

    if (status == 206) {
        if (rangeStart != s.position) {
            job_.log(LOG_FATAL, engineString(68), index);
            job_.scheduleRetry(index);
            return false;
        }
        // A job of unknown size goes on when the server now reports a total:
        // the size stays unknown and the download ends when the server closes.
        if (job_.record().contentLength != -1 &&
            static_cast<int64_t>(rangeTotal) != job_.record().contentLength) {
            job_.log(LOG_FATAL, engineString(69), index);
            job_.endSession(index, true);
            return false;
        }
        job_.log(LOG_INFO, formatText("%" PRIu64, rangeStart) + engineString(70), index);
        if (index == 1) {
            uint64_t meeting = static_cast<uint64_t>(job_.record().contentLength / 2 + 1);
            TransferSession& first0 = job_.session(0);
            if (first0.position <= meeting) {
                first0.rangeEnd = static_cast<int64_t>(meeting);
            } else {
                s.phase = PHASE_IDLE;
                job_.closeSessionSocket(index);
                job_.log(LOG_INFO, engineString(38), index);
                return false;
            }
        }
        return true;
    }
    if (status >= 200 && status < 300) {
        if (s.phase == PHASE_TRANSFERRING && index == 0) {
            job_.log(LOG_WARNING, engineString(71), index);
            if (!options.has(FLAG_RESTART_IF_NO_RESUME)) {
                job_.endSession(index, true);
                return false;
            }
            job_.log(LOG_INFO, engineString(72), index);
            job_.restartFromZero(index, contentLength);
            return true;
        }
        if (s.phase == PHASE_TRANSFERRING) {
            job_.log(LOG_INFO, engineString(71), index);
            job_.log(LOG_INFO, engineString(38), index);
            job_.closeSessionSocket(index);
            s.phase = PHASE_IDLE;
            s.position = 0;
            return false;
        }
        if (!isPageExtension(pathExtension(job_.record().targetFile)) &&
            equalsNoCase(contentType, "text/html")) {
            job_.log(LOG_ERROR, engineString(30), index);
            if (s.referer.empty()) {
                s.referer = s.url;
                job_.scheduleRetry(index);
            } else if (s.referer == s.url) {
                job_.endSession(index, true);
            } else {
                s.referer = s.url;
                job_.scheduleRetry(index);
            }
            return false;
        }
        // Beyond MAX_DOWNLOAD_SIZE the data offsets would not fit a file
        // position and the kept file could never be resumed.
        if (contentLength <= -2 || contentLength > static_cast<int64_t>(MAX_DOWNLOAD_SIZE)) {
            s.position = 0;
            job_.log(LOG_ERROR, engineString(74), index);
            job_.endSession(index, true);
            return false;
        }
        if (contentLength == -1) job_.log(LOG_WARNING, engineString(73), index);
        // A resumed job whose session 0 had nothing yet asks without a range
        // and gets the whole file: the file keeps what the other session has
        // already written, the body simply starts at byte 0.
        bool keepFile = index == 0 && s.position == 0 && !job_.tempFileOpen() &&
                        job_.settings().resuming && job_.hasBlockMap() && contentLength >= 0 &&
                        contentLength == job_.record().contentLength;
        bool keepOpenFile = index == 0 && s.position == 0 && job_.tempFileOpen() &&
                            job_.hasBlockMap() && contentLength >= 0 &&
                            contentLength == job_.record().contentLength &&
                            job_.session(1).phase != PHASE_IDLE;
        if (keepFile || keepOpenFile) {
            s.position = 0;
        } else {
            job_.restartFromZero(index, contentLength);
        }
        s.phase = PHASE_TRANSFERRING;
        job_.log(LOG_INFO, engineString(17), index);
        return true;
    }
    if (status >= 300 && status < 400) {
        if (s.phase == PHASE_TRANSFERRING || index == 1 || options.has(FLAG_NO_REDIRECT)) {
            job_.log(LOG_ERROR, engineString(75), index);
            job_.scheduleRetry(index);
            return false;
        }
        return followRedirect(index, location);
    }
    if (status == 401) {
        if (!options.has(FLAG_RETRY_ON_ERROR)) {
            job_.log(LOG_ERROR, engineString(19), index);
            job_.endSession(index, true);
        } else {
            job_.scheduleRetry(index);
        }
        return false;
    }
    if (status >= 400 && status < 500) {
        job_.log(LOG_ERROR, engineString(20), index);
        if (s.phase == PHASE_TRANSFERRING) {
            job_.scheduleRetry(index);
        } else if (s.referer.empty()) {
            s.referer = s.url;
            job_.scheduleRetry(index);
        } else {
            retryOrStop();
        }
        return false;
    }
    if (status >= 500 && status < 600) {
        job_.log(LOG_ERROR, engineString(31), index);
        retryOrStop();
        return false;
    }
    job_.log(LOG_ERROR, engineString(24), index);
    retryOrStop();
    return false;
}

bool HttpExchange::followRedirect(int index, const std::string& location) {
    TransferSession& s = job_.session(index);
    job_.log(LOG_INFO, engineString(21), index);
    if (s.referer.empty() && !isScriptPath(job_.record().targetFile) &&
        s.url.find('?') == std::string::npos) {
        // Some servers redirect a plain file request without a referer to a
        // page; ask the same URL again with itself as referer first.
        s.referer = s.url;
        job_.scheduleRetry(index);
        return false;
    }
    if (location.empty()) {
        job_.log(LOG_INFO, engineString(76), index);
        job_.endSession(index, true);
        return false;
    }
    std::string scheme = urlScheme(location);
    bool allowed = equalsNoCase(scheme, "http") || equalsNoCase(scheme, "ftp") ||
                   !job_.settings().Proxy.empty() ||
                   (job_.settings().EnableHttps && equalsNoCase(scheme, "https"));
    if (!allowed) {
        job_.log(LOG_INFO, engineString(77), index);
        job_.endSession(index, true);
        return false;
    }
    job_.log(LOG_INFO, location + engineString(78), index);
    std::string oldHost = urlHost(s.url);
    s.referer = s.url;
    s.url = redirectTarget(s.url, location, job_.settings().EnableHttps);
    job_.setTargetFile(s.url, false);
    // The old connection is left to the stale-socket rule.
    s.socket = NO_SOCKET;
    s.inBody = false;
    // Redirects count as attempts, so that a redirect loop ends at the limit.
    job_.restartAfterRedirect(index, oldHost);
    return false;
}
