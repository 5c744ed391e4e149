// The secure channel of an https session (only with EnableHttps): after the
// TCP connect, either the TLS handshake at once, or first a CONNECT tunnel
// through the proxy whose reply header is read byte by byte like a response
// header. When the handshake ends verified the request is sent as for http.
// A certificate or handshake failure stops the job at once; a connection that
// breaks during the handshake is retried like any other.
// This stage belongs to the HTTP exchange rather than to the connection
// layer: the tunnel is an HTTP request to the proxy whose reply the
// exchange's header reader reads, and the handshake ends in the exchange's
// request. The connection layer only routes NET_TLS here.
// Portable: the engine side of the platform seam.
#include "engine/http_exchange.h"

#include <vector>

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

bool HttpExchange::usesTls(const TransferSession& s) {
    return job_.settings().EnableHttps && !s.isFtp && isHttpsUrl(s.url);
}

void HttpExchange::startSecureChannel(int index) {
    TransferSession& s = job_.session(index);
    job_.log(LOG_INFO, engineString(10), index);
    if (job_.settings().Proxy.empty()) {
        beginHandshake(index);
        return;
    }
    job_.reloadTimeout(index);
    std::string target = urlHost(s.url) + ":" + std::to_string(connectPort(s.url, false));
    std::string request;
    for (const std::string& text : {"CONNECT " + target + " HTTP/1.0", std::string(kUserAgentLine),
                                    "Host: " + target})
        addRequestLine(index, request, text);
    request += "\r\n";
    s.tlsStage = TLS_STAGE_TUNNEL;
    if (sendAll(index, request)) job_.log(LOG_WAITING, engineString(138), index);
}

void HttpExchange::parseTunnelReply(int index) {
    TransferSession& s = job_.session(index);
    std::vector<std::string> lines = headerLines(s.headerText);
    for (const std::string& line : lines) job_.log(LOG_RECEIVED, line, index);
    int status = parseStatusLine(lines.front()).status;
    bool retry = job_.settings().downloadOptions.has(FLAG_RETRY_ON_ERROR);
    if (status >= 200 && status < 300) {
        // The server speaks only after our first handshake message: whatever
        // already waits behind the reply is the proxy's, and a proxy that
        // closed has nothing to tunnel. Found now, neither waits for a
        // handshake that cannot end.
        char extra;
        int got = socketRecv(s.socket, &extra, 1);
        if (got > 0) {
            job_.log(LOG_ERROR, engineString(143), index);
            if (retry) job_.scheduleRetry(index);
            else job_.endSession(index, true);
        } else if (got == 0 || netLastError() != WSAEWOULDBLOCK) {
            onHandshakeEnded(index, got == 0 ? WSAECONNABORTED : netLastError());
        } else {
            beginHandshake(index);
        }
        return;
    }
    // 407: the proxy wants credentials this program does not have; asking
    // again would only meet the same answer.
    job_.log(LOG_ERROR, engineString(status == 407 ? 142 : 139) + " : " + lines.front(), index);
    if (retry && status != 407) job_.scheduleRetry(index);
    else job_.endSession(index, true);
}

void HttpExchange::beginHandshake(int index) {
    TransferSession& s = job_.session(index);
    job_.reloadTimeout(index);
    job_.log(LOG_WAITING, engineString(130), index);
    s.tlsStage = TLS_STAGE_HANDSHAKE;
    std::string host = urlHost(s.url);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);  // an IPv6 literal is checked bare
    if (tlsStart(s.socket, host.c_str()) == SOCKET_ERROR)
        onHandshakeEnded(index, netLastError());
}

void HttpExchange::onHandshakeEnded(int index, int error) {
    TransferSession& s = job_.session(index);
    if (error == 0) {
        s.tlsStage = TLS_STAGE_SECURE;
        job_.log(LOG_INFO, engineString(131), index);
        sendRequest(index);
        return;
    }
    if (isTlsError(error)) {
        // Trying again would meet the same certificate: stop like a 401.
        job_.log(LOG_ERROR, engineString(tlsFailureMessage(error)), index);
        job_.endSession(index, true);
        return;
    }
    job_.log(LOG_ERROR, engineString(137) + errorText(error), index);
    job_.closeSessionSocket(index);
    job_.scheduleRetry(index);
}
