// The address race of a session whose host name has several addresses
// (EnableIpv6): connects are started one after the other in attemptOrder, the
// next one ATTEMPT_DELAY_MS after the previous when that has not connected yet
// or at once when it failed; the first that connects becomes the session's
// socket and address, the others are closed. When every address has failed
// the session waits and retries as after any failed connect.
// Portable: the engine side of the platform seam.
#include "engine/address_race.h"

#include "engine/download_job.h"
#include "engine/engine_text.h"
#include "platform/events.h"
#include "platform/system.h"

std::vector<NetAddress> attemptOrder(const std::vector<NetAddress>& addresses) {
    std::vector<NetAddress> first, second;
    for (const NetAddress& a : addresses) {
        if (a.family == addresses[0].family) first.push_back(a);
        else second.push_back(a);
    }
    std::vector<NetAddress> order;
    for (size_t i = 0; i < first.size() || i < second.size(); ++i) {
        if (i < first.size()) order.push_back(first[i]);
        if (i < second.size()) order.push_back(second[i]);
    }
    return order;
}

void DownloadJob::startAddressRace(int index) {
    TransferSession& s = sessions_[index];
    closeAttempts(index);
    s.nextCandidate = 0;
    s.phase = PHASE_REQUESTING;
    s.inBody = false;
    s.tlsStage = TLS_STAGE_NONE;
    s.headerText.clear();
    s.raceError = 0;
    if (!startNextAttempt(index)) endAddressRace(index);
}

// Starts the connect to the next candidate that can be started; false when
// none is left.
bool DownloadJob::startNextAttempt(int index) {
    TransferSession& s = sessions_[index];
    Endpoint endpoint = chooseEndpoint(index, false);
    std::string name = settings_.Proxy.empty() ? endpoint.host : settings_.Proxy;
    while (s.nextCandidate < s.candidates.size()) {
        NetAddress address = s.candidates[s.nextCandidate++];
        SocketHandle socket = socketCreateFor(address.family);
        if (socket == NO_SOCKET) {
            s.raceError = netLastError();
            continue;
        }
        if (socketSelect(socket, SOCKET_ROUTE_SESSION, NET_ALL) == SOCKET_ERROR) {
            s.raceError = netLastError();
            closeSocket(socket);
            continue;
        }
        log(LOG_WAITING, engineString(12) + name + "(" + shownAddress(address) + ")", index);
        if (socketConnectTo(socket, address, endpoint.port) == SOCKET_ERROR && netLastError() != WSAEWOULDBLOCK) {
            s.raceError = netLastError();
            closeSocket(socket);
            continue;
        }
        s.attempts.push_back({socket, address});
        s.lastAttemptTick = tickCount();
        return true;
    }
    return false;
}

// Nothing is under way and nothing is left to try: the connect failed.
void DownloadJob::endAddressRace(int index) {
    TransferSession& s = sessions_[index];
    log(LOG_ERROR, engineString(13) + errorText(s.raceError), index);
    scheduleRetry(index);
}

void DownloadJob::closeAttempts(int index) {
    TransferSession& s = sessions_[index];
    std::vector<TransferSession::ConnectAttempt> attempts;
    attempts.swap(s.attempts);
    for (TransferSession::ConnectAttempt& attempt : attempts) closeSocket(attempt.socket);
}

bool DownloadJob::onAttemptEvent(SocketHandle socket, int event, int error) {
    for (int index = 0; index < 2; ++index) {
        TransferSession& s = sessions_[index];
        for (size_t i = 0; i < s.attempts.size(); ++i) {
            if (s.attempts[i].socket != socket) continue;
            if (event != NET_CONNECT) return true;  // nothing else comes before the connect
            TransferSession::ConnectAttempt attempt = s.attempts[i];
            s.attempts.erase(s.attempts.begin() + static_cast<std::ptrdiff_t>(i));
            if (error != 0) {
                closeSocket(attempt.socket);
                s.raceError = error;
                if (!startNextAttempt(index) && s.attempts.empty()) endAddressRace(index);
                return true;
            }
            // The winner: the others are closed and this one goes on as the
            // session's connection (the caller dispatches the connect).
            closeAttempts(index);
            closeSocket(s.socket);
            s.socket = attempt.socket;
            s.address = attempt.address;
            return false;
        }
    }
    return false;
}

void DownloadJob::raceTick(int index) {
    TransferSession& s = sessions_[index];
    if (s.attempts.empty() || s.nextCandidate >= s.candidates.size()) return;
    if (tickCount() - s.lastAttemptTick >= ATTEMPT_DELAY_MS) startNextAttempt(index);
}
