// The secure channel of an https session (only with EnableHttps): after the
// TCP connect, either the TLS handshake at once, or first a CONNECT tunnel
// through the proxy whose reply header is read byte by byte like a response
// header. When the handshake ends verified the request is sent as for http.
// A certificate or handshake failure stops the job at once; a connection that
// breaks during the handshake is retried like any other.
// Portable: the engine side of the platform seam.
#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "protocol/http_header.h"
#include "protocol/url.h"

namespace {

// String-table rows of the TLS failures that stop the job.
unsigned tlsFailureMessage(int error) {
    switch (error) {
    case TLS_ERROR_UNTRUSTED: return 132;
    case TLS_ERROR_EXPIRED: return 133;
    case TLS_ERROR_NAME: return 134;
    case TLS_ERROR_UNAVAILABLE: return 136;
    default: return 135;
    }
}

}  // namespace

bool DownloadJob::usesTls(const TransferSession& s) const {
    return settings_.EnableHttps && !s.isFtp && isHttpsUrl(s.url);
}

void DownloadJob::startSecureChannel(int index) {
    TransferSession& s = sessions_[index];
    log(LOG_INFO, engineString(10), index);
    if (settings_.Proxy.empty()) {
        beginHandshake(index);
        return;
    }
    reloadTimeout(index);
    std::string target = urlHost(s.url) + ":" + std::to_string(connectPort(s.url, false));
    std::string request;
    const std::string lines[] = {"CONNECT " + target + " HTTP/1.0", "User-Agent: Dorimel/0.11", "Host: " + target};
    for (const std::string& text : lines) {
        log(LOG_SENT, text, index);
        request += text + "\r\n";
    }
    request += "\r\n";
    s.tlsStage = TLS_STAGE_TUNNEL;
    if (sendAll(index, request)) log(LOG_WAITING, engineString(138), index);
}

void DownloadJob::parseTunnelReply(int index) {
    std::vector<std::string> lines = headerLines(sessions_[index].headerText);
    for (const std::string& line : lines) log(LOG_RECEIVED, line, index);
    int status = parseStatusLine(lines.front()).status;
    if (status >= 200 && status < 300) {
        beginHandshake(index);
        return;
    }
    log(LOG_ERROR, engineString(139), index);
    if (settings_.downloadOptions.has(FLAG_RETRY_ON_ERROR)) scheduleRetry(index);
    else endSession(index, true);
}

void DownloadJob::beginHandshake(int index) {
    TransferSession& s = sessions_[index];
    reloadTimeout(index);
    log(LOG_WAITING, engineString(130), index);
    s.tlsStage = TLS_STAGE_HANDSHAKE;
    if (tlsStart(s.socket, urlHost(s.url).c_str()) == SOCKET_ERROR) onHandshakeEnded(index, netLastError());
}

void DownloadJob::onHandshakeEnded(int index, int error) {
    TransferSession& s = sessions_[index];
    if (error == 0) {
        s.tlsStage = TLS_STAGE_SECURE;
        log(LOG_INFO, engineString(131), index);
        sendRequest(index);
        return;
    }
    if (isTlsError(error)) {
        // Trying again would meet the same certificate: stop like a 401.
        log(LOG_ERROR, engineString(tlsFailureMessage(error)), index);
        endSession(index, true);
        return;
    }
    log(LOG_ERROR, engineString(137) + errorText(error), index);
    closeSocket(s.socket);
    scheduleRetry(index);
}
