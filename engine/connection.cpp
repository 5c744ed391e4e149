// The connection layer of the download job: host lookup, connect, the
// endpoint choice (proxy or the URL's host), socket events and their routing,
// the restart after a redirect, and the stale-socket rule. Nothing here knows
// HTTP; once connected the session's protocol takes over (the job's
// HttpExchange of engine/http_exchange.h, or the session's FtpClient).
// Portable: the engine side of the platform seam.
#include "engine/download_job.h"

#include "engine/address_race.h"
#include "engine/engine_text.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "protocol/ftp_reply.h"
#include "protocol/url.h"

DownloadJob::Endpoint DownloadJob::chooseEndpoint(int index, bool prepareProtocol) {
    TransferSession& s = sessions_[index];
    Endpoint endpoint;
    if (settings_.Proxy.empty()) {
        endpoint.host = urlHost(s.url);
        endpoint.port = connectPort(s.url, false);
        if (!prepareProtocol) {
        } else if (!isFtpUrl(newDownload.strURL) && !s.isFtp) {
            s.ftp.reset();
            s.ftpPhase = 0;
        } else {
            s.ftp.reset();
            s.ftpPhase = 0;
            s.isFtp = 1;
            if (ftpFactory) s.ftp = ftpFactory(*this, index);
        }
    } else {
        std::string proxyUrl = "http://" + settings_.Proxy;
        endpoint.host = urlHost(proxyUrl);
        endpoint.port = connectPort(proxyUrl, true);
    }
    // A bracketed host is an IPv6 literal: without EnableIpv6, or when it is
    // malformed, there is nothing to connect to and the URL is invalid.
    uint8_t literal[16];
    if (!endpoint.host.empty() && endpoint.host[0] == '[' &&
        !(settings_.EnableIpv6 && parseBracketedIpv6(endpoint.host, literal)))
        endpoint.host.clear();
    return endpoint;
}

// The address written in the host itself (dotted IPv4, or a bracketed IPv6
// literal with EnableIpv6); none for a name.
static NetAddress literalAddress(const std::string& host) {
    NetAddress address;
    if (!host.empty() && host[0] == '[') {
        if (parseBracketedIpv6(host, address.bytes)) address.family = NET_FAMILY_IPV6;
        return address;
    }
    uint32_t dotted = parseDottedAddress(host.c_str());
    if (dotted != INADDR_NONE) address = NetAddress::ipv4(dotted);
    return address;
}

std::string shownAddress(const NetAddress& address) {
    if (address.family == NET_FAMILY_IPV6) return "[" + addressText(address) + "]";
    return addressText(address);
}

bool DownloadJob::startSession(int index) {
    if (!countAttempt(index)) return false;
    TransferSession& s = sessions_[index];
    reloadTimeout(index);
    closeSocket(s.socket);
    if (s.lookupTask != NO_LOOKUP) {
        cancelLookup(s.lookupTask);
        s.lookupTask = NO_LOOKUP;
    }
    log(LOG_INFO, engineString(7) + "(" + maskUrlPassword(s.url) + ")", index);
    Endpoint endpoint = chooseEndpoint(index, true);
    if (endpoint.host.empty()) {
        log(LOG_ERROR, engineString(2), index);
        return false;
    }
    closeAttempts(index);
    s.candidates.clear();
    NetAddress literal = literalAddress(endpoint.host);
    if (literal.known()) {
        s.address = literal;
        connectSession(index);
        return true;
    }
    s.phase = PHASE_RESOLVING;
    log(LOG_WAITING, engineString(5), index);
    LookupTask task = settings_.EnableIpv6 ? lookupHostAddresses(endpoint.host.c_str())
                                           : lookupHost(endpoint.host.c_str());
    if (task == NO_LOOKUP) {
        log(LOG_FATAL, "Error in WSAAsyncGetHostByName()", index);
        s.phase = PHASE_IDLE;
        return false;
    }
    s.lookupTask = task;
    return true;
}

void DownloadJob::onHostResolved(LookupTask task, int error, uint32_t address) {
    int index = -1;
    for (int i = 0; i < 2; ++i)
        if (task != NO_LOOKUP && sessions_[i].lookupTask == task) index = i;
    if (index < 0) return;
    TransferSession& s = sessions_[index];
    if (error != 0) {
        // The task stays recorded until the stop: it is what makes the stop
        // log its row for this session (cancelling an ended lookup is harmless).
        log(LOG_ERROR, engineString(6) + errorText(error), index);
        stopJob();
        return;
    }
    s.lookupTask = NO_LOOKUP;
    log(LOG_INFO, engineString(11) + "(" + dottedAddress(address) + ")", index);
    s.address = NetAddress::ipv4(address);
    s.phase = PHASE_REQUESTING;
    connectSession(index);
}

void DownloadJob::onHostAddresses(LookupTask task, int error, const std::vector<NetAddress>& addresses) {
    int index = -1;
    for (int i = 0; i < 2; ++i)
        if (task != NO_LOOKUP && sessions_[i].lookupTask == task) index = i;
    if (index < 0) return;
    TransferSession& s = sessions_[index];
    if (error != 0 || addresses.empty()) {
        log(LOG_ERROR, engineString(6) + errorText(error != 0 ? error : WSANO_DATA), index);
        stopJob();
        return;
    }
    s.lookupTask = NO_LOOKUP;
    s.candidates = attemptOrder(addresses);
    log(LOG_INFO, engineString(11) + "(" + shownAddress(s.candidates[0]) + ")", index);
    s.phase = PHASE_REQUESTING;
    if (s.candidates.size() == 1) {
        s.address = s.candidates[0];
        connectSession(index);
    } else {
        s.address = NetAddress();
        startAddressRace(index);
    }
}

// First connection after a lookup or a dotted address.
void DownloadJob::connectSession(int index) {
    TransferSession& s = sessions_[index];
    SocketHandle socket = socketCreateFor(s.address.family);
    if (socket == NO_SOCKET) {
        log(LOG_FATAL, engineString(8) + errorText(netLastError()), index);
        return;
    }
    s.socket = socket;
    s.phase = PHASE_REQUESTING;
    s.inBody = false;
    s.tlsStage = TLS_STAGE_NONE;
    s.headerText.clear();
    if (socketSelect(socket, SOCKET_ROUTE_SESSION, NET_ALL) == SOCKET_ERROR) {
        log(LOG_FATAL, engineString(9) + errorText(netLastError()), index);
        closeSocket(s.socket);
        setStage(STAGE_ENDED);
        return;
    }
    Endpoint endpoint = chooseEndpoint(index, false);
    std::string name = settings_.Proxy.empty() ? endpoint.host : settings_.Proxy;
    log(LOG_WAITING, engineString(12) + name + "(" + shownAddress(s.address) + ")", index);
    if (socketConnectTo(socket, s.address, endpoint.port) == SOCKET_ERROR &&
        netLastError() != WSAEWOULDBLOCK) {
        log(LOG_FATAL, engineString(26) + errorText(netLastError()), index);
        closeSocket(s.socket);
        setStage(STAGE_ENDED);
    }
}

void DownloadJob::reconnectSession(int index) {
    TransferSession& s = sessions_[index];
    closeAttempts(index);
    if (!s.address.known() && !s.candidates.empty()) {
        // No address of the name has connected yet: try them all again.
        closeSocket(s.socket);
        chooseEndpoint(index, true);
        startAddressRace(index);
        return;
    }
    if (!s.address.known()) {
        // Nothing was ever resolved for this session: look the host up.
        startSession(index);
        return;
    }
    closeSocket(s.socket);
    SocketHandle socket = socketCreateFor(s.address.family);
    if (socket == NO_SOCKET) {
        log(LOG_FATAL, engineString(8) + errorText(netLastError()), index);
        endSession(index, true);
        return;
    }
    s.socket = socket;
    s.inBody = false;
    s.tlsStage = TLS_STAGE_NONE;
    s.headerText.clear();
    if (socketSelect(socket, SOCKET_ROUTE_SESSION, NET_ALL) == SOCKET_ERROR) {
        log(LOG_FATAL, engineString(9) + errorText(netLastError()), index);
        endSession(index, true);
        return;
    }
    Endpoint endpoint = chooseEndpoint(index, true);
    std::string name = settings_.Proxy.empty() ? endpoint.host : settings_.Proxy;
    log(LOG_WAITING, engineString(12) + name, index);
    if (socketConnectTo(socket, s.address, endpoint.port) == SOCKET_ERROR &&
        netLastError() != WSAEWOULDBLOCK) {
        log(LOG_FATAL, engineString(26) + errorText(netLastError()), index);
        endSession(index, true);
    }
}

void DownloadJob::restartAfterRedirect(int index, const std::string& oldHost) {
    TransferSession& s = sessions_[index];
    if (!countAttempt(index)) return;
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
}

void DownloadJob::closeSocket(SocketHandle& socket) {
    if (socket == NO_SOCKET) return;
    SocketHandle handle = socket;
    socket = NO_SOCKET;
    socketSelect(handle, SOCKET_ROUTE_SESSION, 0);
    socketShutdown(handle);
    socketClose(handle);
}

int DownloadJob::sessionOfSocket(SocketHandle socket) const {
    if (socket == NO_SOCKET) return -1;
    for (int i = 0; i < 2; ++i)
        if (sessions_[i].socket == socket) return i;
    return -1;
}

// A socket no session owns any more (a redirect left it behind): read it out,
// shut it down and close it, without a row.
void DownloadJob::drainStaleSocket(SocketHandle socket, int event) {
    char scrap[127];
    if (event == NET_READ || event == NET_CLOSE) {
        if (event == NET_READ) socketShutdown(socket);
        while (socketRecv(socket, scrap, sizeof scrap) > 0) {
        }
    } else if (event == NET_CONNECT) {
        socketShutdown(socket);
    }
    socketSelect(socket, SOCKET_ROUTE_SESSION, 0);
    socketClose(socket);
}

static int eventMessage(int event) {
    switch (event) {
    case NET_READ: return 15;
    case NET_CONNECT: return 13;
    case NET_CLOSE: return 23;
    default: return 0;
    }
}

void DownloadJob::onSessionSocket(SocketHandle socket, int event, int error) {
    if (settings_.Dead != 0 || job_.stage == STAGE_ENDED) return;
    if (onAttemptEvent(socket, event, error)) return;
    int index = sessionOfSocket(socket);
    if (index < 0) {
        drainStaleSocket(socket, event);
        return;
    }
    TransferSession& s = sessions_[index];
    if (event == NET_TLS) {
        if (s.tlsStage == TLS_STAGE_HANDSHAKE) http_.onHandshakeEnded(index, error);
        return;
    }
    if (error != 0) {
        int message = eventMessage(event);
        if (message == 0 || (event == NET_CLOSE && endsWholeTlsBody(index, error))) return;
        log(LOG_ERROR, engineString(message) + errorText(error), index);
        closeSocket(s.socket);
        if (event == NET_CLOSE && s.referer.empty()) s.referer = s.url;
        scheduleRetry(index);
        return;
    }
    bool ftp = s.isFtp && s.ftp;
    switch (event) {
    case NET_CONNECT:
        if (ftp) {
            log(LOG_INFO, engineString(10), index);
            s.ftpPhase = 1;
            s.ftp->onControlConnected();
        } else if (s.isFtp) {
            // No FTP client in this build: nothing can talk to the server.
            log(LOG_FATAL, engineString(83), index);
            endSession(index, true);
        } else {
            http_.onConnected(index);
        }
        break;
    case NET_READ:
        if (ftp) s.ftp->onControlReadable();
        else http_.onReadable(index);
        break;
    case NET_CLOSE:
        if (ftp) s.ftp->onControlClosed();
        else http_.onClosed(index);
        break;
    default:
        break;
    }
}

void DownloadJob::onDataSocket(SocketHandle socket, int event, int error) {
    if (settings_.Dead != 0 || job_.stage == STAGE_ENDED) return;
    int index = -1;
    for (int i = 0; i < 2; ++i)
        if (socket != NO_SOCKET && sessions_[i].ftp && sessions_[i].ftp->dataSocket() == socket) index = i;
    if (index < 0) {
        char scrap[127];
        if (event != NET_CONNECT)
            while (socketRecv(socket, scrap, sizeof scrap) > 0) {
            }
        socketShutdown(socket);
        socketSelect(socket, SOCKET_ROUTE_DATA, 0);
        socketClose(socket);
        return;
    }
    TransferSession& s = sessions_[index];
    if (error != 0) {
        int message = eventMessage(event);
        if (message == 0) return;
        log(LOG_ERROR, engineString(message) + errorText(error), index);
        s.ftp->closeDataSocket();
        scheduleRetry(index);
        return;
    }
    switch (event) {
    case NET_READ: {
        if (settings_.downloadOptions.has(FLAG_SPEED_LIMIT)) break;
        char* buffer = receiveBuffer();
        int result = socketRecv(socket, buffer, RECEIVE_CHUNK);
        if (checkReceive(index, result, true)) processBlock(index, buffer, static_cast<size_t>(result));
        break;
    }
    case NET_CONNECT:
        s.ftp->onDataConnected();
        break;
    case NET_CLOSE: {
        char piece[4096];
        for (;;) {
            if (!s.ftp || s.ftp->dataSocket() != socket) break;
            int result = socketRecv(socket, piece, 4095);
            if (!checkReceive(index, result, true)) break;
            if (!processBlock(index, piece, static_cast<size_t>(result))) break;
        }
        break;
    }
    default:
        break;
    }
}
