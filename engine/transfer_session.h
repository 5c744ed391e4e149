// One transfer session of the download job: the persisted fields (the
// "Session0"/"Session1" record) plus what lives only while the process runs
// (socket, lookup, header being read, rate sampling, the FTP handler).
// Portable: the engine side of the platform seam.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"
#include "state/records.h"

// How far the TLS layer of an https session has come (runtime only).
enum : int {
    TLS_STAGE_NONE = 0,       // plain connection (http, ftp, or https with the option off)
    TLS_STAGE_TUNNEL = 1,     // CONNECT sent to the proxy, its reply being read
    TLS_STAGE_HANDSHAKE = 2,  // tlsStart called, NET_TLS awaited
    TLS_STAGE_SECURE = 3,     // verified; the request goes through TLS
};

// Session phases (persisted as "Phase").
enum : int {
    PHASE_IDLE = 0,
    PHASE_RESOLVING = 1,
    PHASE_REQUESTING = 2,
    PHASE_TRANSFERRING = 3,
    PHASE_WAITING = 4,
};

// The FTP client of a session (its dialogue on the control connection and its
// passive data connection). The engine creates one through the job's FTP
// factory when a session talks FTP directly, routes the control socket's and
// the data socket's events to it, and destroys it on every retry and end.
// Destroying it must turn the data socket's notifications off, shut it down
// both ways and close it.
class FtpHandler {
public:
    virtual ~FtpHandler() = default;
    // FD_CONNECT without error on the control socket (the engine has logged
    // "サーバに接続しました。" and set ftpPhase = 1).
    virtual void onControlConnected() = 0;
    // FD_READ / FD_CLOSE without error on the control socket.
    virtual void onControlReadable() = 0;
    virtual void onControlClosed() = 0;
    // FD_CONNECT without error on the data socket (read and close go to the
    // engine's receive path).
    virtual void onDataConnected() = 0;
    // The data socket, NO_SOCKET when none.
    virtual SocketHandle dataSocket() const = 0;
    // Closes the data socket (notifications off, shutdown, close).
    virtual void closeDataSocket() = 0;
    // True when the server said the file of a new download is exactly 0
    // bytes long. Such a file arrives as no data at all, which would
    // otherwise read as a transfer cut off before its first byte.
    virtual bool reportedEmptyFile() const { return false; }
};

struct TransferSession : SessionRecord {
    int phaseBeforeWait = PHASE_IDLE;  // phase to return to when the retry wait ends
    SocketHandle socket = NO_SOCKET;   // control socket
    LookupTask lookupTask = NO_LOOKUP;  // pending host lookup
    NetAddress address;                // the address to connect to; none when unknown
    // EnableIpv6: every address of a looked-up name in attempt order, the
    // next one to try, and the connects under way while none has won yet
    // (the session's socket stays NO_SOCKET until one wins).
    std::vector<NetAddress> candidates;
    size_t nextCandidate = 0;
    struct ConnectAttempt {
        SocketHandle socket;
        NetAddress address;
    };
    std::vector<ConnectAttempt> attempts;
    uint32_t lastAttemptTick = 0;      // tick count when the last attempt started
    int raceError = 0;                 // why the last attempt failed
    std::string headerText;            // response header read so far
    bool inBody = false;               // the body is flowing
    int tlsStage = TLS_STAGE_NONE;     // of the current connection
    uint32_t lastSampleTick = 0;       // tick count of the last rate sample; 0 none
    std::unique_ptr<FtpHandler> ftp;   // absent for HTTP

    // Resets the runtime fields and the phase as the teardown does.
    void reset() {
        phase = PHASE_IDLE;
        address = NetAddress();
        candidates.clear();
        nextCandidate = 0;
        inBody = false;
        tlsStage = TLS_STAGE_NONE;
        socket = NO_SOCKET;
        lastSampleTick = 0;
        lastSamplePosition = 0;
        lookupTask = NO_LOOKUP;
        rate = 0;
        suspended = 0;
        position = 0;
    }
};
