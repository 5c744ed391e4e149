// TLS on session sockets through SChannel (SSPI, secur32): the handshake is
// driven by the socket's own window messages, the server's chain and name are
// verified against the system's certificate store (crypt32), and afterwards
// socketSend / socketRecv carry plaintext with the seam's notification rules
// (see platform/tls.h):
//  - during the handshake the socket's FD_READ / FD_CLOSE feed the context and
//    are never delivered; its end is one NET_TLS;
//  - afterwards NET_READ is delivered once and re-armed only by tlsRecv. The
//    socket is read lazily (only inside tlsRecv), so a paced reader leaves the
//    data in the socket as it does for plain sockets; plaintext or whole
//    records that tlsRecv left behind get a NET_READ of their own through a
//    message this layer posts itself;
//  - NET_CLOSE is delivered once every plaintext byte was read, so that the
//    engine's read-until-zero after NET_CLOSE never meets WSAEWOULDBLOCK. It
//    is orderly only after close_notify (SEC_I_CONTEXT_EXPIRED): a TCP close
//    before it, between records or inside one, is a cut connection and is
//    reported, like the reads after it, as WSAECONNRESET.
#include "platform/win32/tls_win32.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// SCH_CREDENTIALS and TLS_PARAMETERS (Windows 10 1809 and later), declared
// here because the headers offer them only under extra definitions.
struct TlsParameters {
    DWORD cAlpnIds;
    void* rgstrAlpnIds;
    DWORD grbitDisabledProtocols;
    DWORD cDisabledCrypto;
    void* pDisabledCrypto;
    DWORD dwFlags;
};
struct SchCredentials {
    DWORD dwVersion;
    DWORD dwCredFormat;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    void** aphMappers;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD cTlsParameters;
    TlsParameters* pTlsParameters;
};
constexpr DWORD kSchCredentialsVersion = 5;
constexpr DWORD kTls12Client = 0x00000800;  // SP_PROT_TLS1_2_CLIENT
constexpr DWORD kTls13Client = 0x00002000;  // SP_PROT_TLS1_3_CLIENT

// Our credentials: no client certificate, the server's certificate checked
// here (manual validation), no revocation check by SChannel.
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// Bytes asked of the socket per recv: several records at once, so that a
// fast transfer needs few calls.
constexpr size_t kRawChunk = 256 * 1024;

enum class Phase { Handshake, Open, Failed };

struct TlsSocket {
    Phase phase = Phase::Handshake;
    WORD generation = 0;
    std::string host;
    CtxtHandle context = {};
    bool hasContext = false;
    SecPkgContext_StreamSizes sizes = {};
    // Ciphertext received and not yet decrypted: in[inStart, in.size()).
    std::vector<char> in;
    size_t inStart = 0;
    // Plaintext decrypted and not yet read: plain[plainStart, plain.size()).
    std::vector<char> plain;
    size_t plainStart = 0;
    // Ciphertext the socket did not take yet.
    std::vector<char> out;
    size_t outStart = 0;
    bool armed = true;         // a NET_READ may be delivered (the last one was followed by a read)
    bool rawPending = false;   // Winsock reported data that no recv has looked at since
    bool readPosted = false;   // our own FD_READ is on its way
    bool tcpClosed = false;    // Winsock's FD_CLOSE came (orderly) and the socket was read out
    bool endOfData = false;    // close_notify came, or the TCP stream ended
    bool closeNotify = false;  // the server ended the stream with close_notify
    bool renegotiating = false; // a handshake the server started runs: its records go to the context
    bool closePending = false; // NET_CLOSE waits until the plaintext is read
    bool closeDelivered = false;

    ~TlsSocket() {
        if (hasContext) DeleteSecurityContext(&context);
    }
    size_t inLength() const { return in.size() - inStart; }
    size_t plainLength() const { return plain.size() - plainStart; }
    // False when the input cannot begin with a TLS record (content type 20
    // to 24, protocol major version 3, at most 2^14 + 2048 bytes): garbage
    // is refused at once instead of waiting for a record length it names.
    bool recordHeaderPlausible() const {
        const unsigned char* h = reinterpret_cast<const unsigned char*>(in.data() + inStart);
        size_t n = inLength();
        if (n >= 1 && (h[0] < 20 || h[0] > 24)) return false;
        if (n >= 2 && h[1] != 3) return false;
        return n < 5 || ((size_t(h[3]) << 8) | h[4]) <= 16384 + 2048;
    }
    // True when a whole TLS record waits in the input.
    bool wholeRecordWaiting() const {
        if (inLength() < 5) return false;
        const unsigned char* h = reinterpret_cast<const unsigned char*>(in.data() + inStart);
        return inLength() >= 5 + ((size_t(h[3]) << 8) | h[4]);
    }
};

std::map<SocketHandle, std::unique_ptr<TlsSocket>> tlsSockets;
WORD nextGeneration = 1;

CredHandle credentials;
enum class CredentialState { Unknown, Ready, Unavailable } credentialState = CredentialState::Unknown;

SOCKET asSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

TlsSocket* find(SocketHandle socket) {
    auto it = tlsSockets.find(socket);
    return it == tlsSockets.end() ? nullptr : it->second.get();
}

// TLS 1.2 or later: SCH_CREDENTIALS where the system knows it (it is the only
// way to TLS 1.3 on Windows), else the older SCHANNEL_CRED with TLS 1.2.
bool acquireCredentials() {
    if (credentialState != CredentialState::Unknown) return credentialState == CredentialState::Ready;
    TimeStamp expiry;
    TlsParameters parameters = {};
    parameters.grbitDisabledProtocols = ~(kTls12Client | kTls13Client);
    SchCredentials modern = {};
    modern.dwVersion = kSchCredentialsVersion;
    modern.dwFlags = kCredentialFlags | SCH_USE_STRONG_CRYPTO;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                  &modern, nullptr, nullptr, &credentials, &expiry);
    if (status != SEC_E_OK) {
        SCHANNEL_CRED legacy = {};
        legacy.dwVersion = SCHANNEL_CRED_VERSION;
        legacy.grbitEnabledProtocols = kTls12Client;
        legacy.dwFlags = kCredentialFlags | SCH_USE_STRONG_CRYPTO;
        status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                           nullptr, &legacy, nullptr, nullptr, &credentials, &expiry);
    }
    credentialState = status == SEC_E_OK ? CredentialState::Ready : CredentialState::Unavailable;
    return credentialState == CredentialState::Ready;
}

// Posts a message of this layer for the socket (FD_READ or FD_CLOSE), on the
// route the socket was registered for.
void postOwnEvent(SocketHandle socket, TlsSocket& t, WORD event) {
    UINT message;
    long events;
    if (!socketRegistration(socket, message, events)) return;
    PostMessageA(seamWindow(), message, WPARAM(socket), MAKELPARAM(event | TLS_POSTED_EVENT, t.generation));
}

// Sends what the socket takes of the waiting ciphertext. False on a send
// error other than WSAEWOULDBLOCK (the rest then waits for FD_WRITE).
bool flushOut(SocketHandle socket, TlsSocket& t) {
    while (t.outStart < t.out.size()) {
        size_t left = t.out.size() - t.outStart;
        int sent = send(asSocket(socket), t.out.data() + t.outStart, left > 0x7fffffff ? 0x7fffffff : int(left), 0);
        if (sent == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
        t.outStart += size_t(sent);
    }
    t.out.clear();
    t.outStart = 0;
    return true;
}

void queueOut(TlsSocket& t, const void* data, size_t length) {
    if (t.outStart > 0 && t.outStart == t.out.size()) {
        t.out.clear();
        t.outStart = 0;
    }
    const char* bytes = static_cast<const char*>(data);
    t.out.insert(t.out.end(), bytes, bytes + length);
}

// One recv of up to kRawChunk bytes appended to the input: bytes read, 0 at
// the end of the stream, or SOCKET_ERROR (WSAGetLastError tells).
int readRaw(SocketHandle socket, TlsSocket& t) {
    if (t.inStart > 0 && (t.inStart == t.in.size() || t.inStart > kRawChunk)) {
        t.in.erase(t.in.begin(), t.in.begin() + ptrdiff_t(t.inStart));
        t.inStart = 0;
    }
    size_t used = t.in.size();
    t.in.resize(used + kRawChunk);
    t.rawPending = false;
    int got = recv(asSocket(socket), t.in.data() + used, int(kRawChunk), 0);
    t.in.resize(used + (got > 0 ? size_t(got) : 0));
    return got;
}

// Revocation is not checked, so its status is unknown; that never fails.
constexpr DWORD kIgnoredTrustErrors = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The Win32 error of a chain that failed, as one of the TLS_ERROR_* codes.
int certificateError(LONG error, DWORD trustStatus) {
    switch (error) {
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
        return TLS_ERROR_EXPIRED;
    case CERT_E_CN_NO_MATCH:
        return TLS_ERROR_NAME;
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_UNTRUSTEDCA:
    case TRUST_E_CERT_SIGNATURE:
        return TLS_ERROR_UNTRUSTED;
    }
    if (trustStatus & CERT_TRUST_IS_NOT_TIME_VALID) return TLS_ERROR_EXPIRED;
    if (trustStatus & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) return TLS_ERROR_UNTRUSTED;
    return TLS_ERROR_HANDSHAKE;
}

// The server's chain must end in a root of the system's store, every
// certificate must be valid now and the leaf must name the host. Revocation
// is not checked.
int verifyServer(TlsSocket& t) {
    PCCERT_CONTEXT leaf = nullptr;
    if (QueryContextAttributesA(&t.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK || !leaf)
        return TLS_ERROR_HANDSHAKE;
    static char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    int result = TLS_ERROR_HANDSHAKE;
    if (CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &chainPara, 0, nullptr, &chain) &&
        chain) {
        int wideLength = MultiByteToWideChar(CP_ACP, 0, t.host.c_str(), -1, nullptr, 0);
        std::vector<wchar_t> wideHost(wideLength > 0 ? size_t(wideLength) : 1, L'\0');
        if (wideLength > 0) MultiByteToWideChar(CP_ACP, 0, t.host.c_str(), -1, wideHost.data(), wideLength);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = wideHost.data();
        CERT_CHAIN_POLICY_PARA policyPara = {};
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        // The chain's own status counts as well: not every implementation of
        // the SSL policy (Wine's) fails a chain that stops short of a root.
        DWORD trust = chain->TrustStatus.dwErrorStatus & ~kIgnoredTrustErrors;
        if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status))
            result = status.dwError != 0 || trust != 0 ? certificateError(status.dwError, trust) : 0;
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(leaf);
    return result;
}

// An SSPI status of a failed handshake as a TLS_ERROR_* code (SChannel's own
// checks, should it make any).
int handshakeError(SECURITY_STATUS status) {
    switch (status) {
    case SEC_E_UNTRUSTED_ROOT:
        return TLS_ERROR_UNTRUSTED;
    case SEC_E_CERT_EXPIRED:
        return TLS_ERROR_EXPIRED;
    case SEC_E_WRONG_PRINCIPAL:
        return TLS_ERROR_NAME;
    }
    return TLS_ERROR_HANDSHAKE;
}

// One InitializeSecurityContext round over the waiting input (none for the
// first). Output tokens are queued and sent. Returns the SSPI status; the
// input keeps whatever the context did not consume.
SECURITY_STATUS handshakeRound(SocketHandle socket, TlsSocket& t, bool first) {
    SecBuffer inBuffers[2] = {};
    inBuffers[0].BufferType = SECBUFFER_TOKEN;
    inBuffers[0].pvBuffer = t.in.data() + t.inStart;
    inBuffers[0].cbBuffer = ULONG(t.inLength());
    inBuffers[1].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
    SecBuffer outBuffers[1] = {};
    outBuffers[0].BufferType = SECBUFFER_TOKEN;
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, outBuffers};
    ULONG attributes = 0;
    char* target = const_cast<char*>(t.host.c_str());
    SECURITY_STATUS status =
        InitializeSecurityContextA(&credentials, first ? nullptr : &t.context, target, kContextRequest, 0, 0,
                                   first ? nullptr : &inDesc, 0, &t.context, &outDesc,
                                   &attributes, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) t.hasContext = true;
    if (outBuffers[0].pvBuffer) {
        if (outBuffers[0].cbBuffer > 0) queueOut(t, outBuffers[0].pvBuffer, outBuffers[0].cbBuffer);
        FreeContextBuffer(outBuffers[0].pvBuffer);
    }
    if (!first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
        // Consumed all of the input but the extra bytes at its end. After
        // SEC_I_INCOMPLETE_CREDENTIALS the same input is given again.
        size_t extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0;
        if (extra > t.inLength()) extra = t.inLength();
        t.inStart = t.in.size() - extra;
    }
    flushOut(socket, t);
    return status;
}

// Runs the handshake over the input received so far. Returns true when the
// handshake ended (error then tells how: 0 or a TLS_ERROR_* code).
bool continueHandshake(SocketHandle socket, TlsSocket& t, int& error) {
    for (int round = 0;; ++round) {
        if (round == 16) {  // a context that goes round in circles
            error = TLS_ERROR_HANDSHAKE;
            return true;
        }
        if (t.inLength() == 0) return false;
        if (!t.recordHeaderPlausible()) {
            error = TLS_ERROR_HANDSHAKE;
            return true;
        }
        SECURITY_STATUS status = handshakeRound(socket, t, false);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
        // The server asked for a client certificate: we have none, and the
        // next round over the same input goes on without one.
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
        if (status != SEC_E_OK) {
            error = handshakeError(status);
            return true;
        }
        error = verifyServer(t);
        if (error == 0 &&
            QueryContextAttributesA(&t.context, SECPKG_ATTR_STREAM_SIZES, &t.sizes) != SEC_E_OK)
            error = TLS_ERROR_HANDSHAKE;
        return true;
    }
}

enum class DecryptResult { Data, NeedMore, Closed, Failed };

// One step of a handshake the server started after the first (a TLS 1.2
// renegotiation, or TLS 1.3 post-handshake messages), over the waiting
// input. It runs to its end before any more data is used, and its end checks
// the server's certificate again: a renegotiation may bring another one.
DecryptResult continueRenegotiation(SocketHandle socket, TlsSocket& t) {
    for (int round = 0; round < 16; ++round) {
        SECURITY_STATUS status = handshakeRound(socket, t, false);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return DecryptResult::NeedMore;
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (status == SEC_I_CONTINUE_NEEDED && t.inLength() == 0) return DecryptResult::NeedMore;
            continue;
        }
        if (status != SEC_E_OK) return DecryptResult::Failed;
        t.renegotiating = false;
        if (verifyServer(t) != 0 || QueryContextAttributesA(&t.context, SECPKG_ATTR_STREAM_SIZES, &t.sizes) != SEC_E_OK)
            return DecryptResult::Failed;
        return DecryptResult::Data;
    }
    return DecryptResult::Failed;
}

// Decrypts the record at the front of the input; its plaintext is appended
// to plain. Post-handshake messages (TLS 1.3 tickets, key updates, a
// renegotiation request) go back to the context.
DecryptResult decryptOne(SocketHandle socket, TlsSocket& t) {
    if (t.renegotiating) return continueRenegotiation(socket, t);
    if (t.inLength() == 0) return DecryptResult::NeedMore;
    if (!t.recordHeaderPlausible()) return DecryptResult::Failed;
    const bool alertRecord = static_cast<unsigned char>(t.in[t.inStart]) == 21;
    SecBuffer buffers[4] = {};
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = t.in.data() + t.inStart;
    buffers[0].cbBuffer = ULONG(t.inLength());
    for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&t.context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return DecryptResult::NeedMore;
    // After close_notify nothing counts: the input is dropped, so that no
    // waiting record holds the close back.
    auto closed = [&t] {
        t.inStart = t.in.size();
        return DecryptResult::Closed;
    };
    if (status == SEC_I_CONTEXT_EXPIRED) return closed();
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return DecryptResult::Failed;
    // Some SChannel implementations (Wine's) answer an authenticated
    // close_notify with SEC_E_OK and no data instead of
    // SEC_I_CONTEXT_EXPIRED: a TLS 1.2 alert record that the context accepts
    // without plaintext is the server's orderly end.
    bool anyData = false;
    for (const SecBuffer& b : buffers) anyData = anyData || (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0);
    if (status == SEC_E_OK && alertRecord && !anyData) return closed();
    size_t extra = 0;
    for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
            // Append before the input moves on: the plaintext lies inside it.
            const char* p = static_cast<const char*>(b.pvBuffer);
            if (t.plainStart > 0 && t.plainStart == t.plain.size()) {
                t.plain.clear();
                t.plainStart = 0;
            }
            t.plain.insert(t.plain.end(), p, p + b.cbBuffer);
        } else if (b.BufferType == SECBUFFER_EXTRA) {
            extra = b.cbBuffer;
        }
    }
    if (extra > t.inLength()) extra = t.inLength();
    t.inStart = t.in.size() - extra;
    if (status == SEC_I_RENEGOTIATE) {
        // The context takes the handshake from the bytes that follow the
        // record (in the extra buffer) or, when there are none, from an empty
        // token; until it ends, every record goes to it.
        t.renegotiating = true;
        DecryptResult r = continueRenegotiation(socket, t);
        if (r != DecryptResult::NeedMore || !t.plainLength()) return r;
    }
    return DecryptResult::Data;
}

// Moves up to length bytes of waiting plaintext into buffer.
size_t takePlain(TlsSocket& t, char* buffer, size_t length) {
    size_t n = t.plainLength() < length ? t.plainLength() : length;
    if (n) memcpy(buffer, t.plain.data() + t.plainStart, n);
    t.plainStart += n;
    return n;
}

// Whether the reader can get more without the socket telling us.
bool readableWithoutSocket(const TlsSocket& t) {
    return t.plainLength() > 0 || t.wholeRecordWaiting() || t.rawPending;
}

// Ends the handshake: NET_TLS, and a NET_READ of our own when application
// data came along with the last handshake message.
void finishHandshake(SocketHandle socket, TlsSocket& t, int error, int& event, int& outError) {
    event = NET_TLS;
    outError = error;
    if (error != 0) {
        t.phase = Phase::Failed;
        return;
    }
    t.phase = Phase::Open;
    t.armed = true;
    if (readableWithoutSocket(t) || t.tcpClosed) {
        t.readPosted = true;
        postOwnEvent(socket, t, FD_READ);
    }
}

}  // namespace

// ---- tls.h ----------------------------------------------------------------

const char* platformTlsLibrary() { return "SChannel"; }

bool tlsActive(SocketHandle socket) { return find(socket) != nullptr; }

int tlsStart(SocketHandle socket, const char* host) {
    if (!acquireCredentials()) {
        WSASetLastError(TLS_ERROR_UNAVAILABLE);
        return SOCKET_ERROR;
    }
    if (find(socket) || !host) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    std::unique_ptr<TlsSocket> t(new TlsSocket);
    t->host = host;
    t->generation = nextGeneration++;
    if (nextGeneration == 0) nextGeneration = 1;
    SECURITY_STATUS status = handshakeRound(socket, *t, true);
    if (status != SEC_I_CONTINUE_NEEDED) {
        WSASetLastError(TLS_ERROR_HANDSHAKE);
        return SOCKET_ERROR;
    }
    TlsSocket* raw = t.get();
    tlsSockets[socket] = std::move(t);
    // From now on the socket also reports FD_WRITE, for ciphertext it could
    // not take at once.
    UINT message;
    long events;
    if (socketRegistration(socket, message, events))
        socketSelect(socket, SocketRoute(message), int(events & NET_ALL));
    if (!flushOut(socket, *raw)) {
        int error = WSAGetLastError();
        tlsSockets.erase(socket);
        WSASetLastError(error);
        return SOCKET_ERROR;
    }
    return 0;
}

// ---- the seam's side --------------------------------------------------------

void tlsForget(SocketHandle socket) { tlsSockets.erase(socket); }

bool tlsFilterEvent(SocketHandle socket, LPARAM lParam, int& event, int& error) {
    bool own = (event & TLS_POSTED_EVENT) != 0;
    TlsSocket* t = find(socket);
    if (!t) return !own;  // a plain socket; our own messages of a closed TLS socket are dropped
    if (own) {
        if (WORD(WSAGETSELECTERROR(lParam)) != t->generation) return false;
        event &= ~TLS_POSTED_EVENT;
        error = 0;
    }
    if (event == FD_WRITE) {
        if (t->phase != Phase::Failed) flushOut(socket, *t);
        return false;
    }
    switch (t->phase) {
    case Phase::Failed:
        return false;
    case Phase::Handshake: {
        if (event == FD_CLOSE || error != 0) {
            // The connection broke off during the handshake: a reset is that
            // Winsock error, a plain close an aborted connection (retried by
            // the engine like any cut, as on the posix side).
            t->phase = Phase::Failed;
            int reason = error != 0 ? error : WSAECONNABORTED;
            event = NET_TLS;
            error = reason;
            return true;
        }
        if (event != FD_READ || own) return false;
        int got = readRaw(socket, *t);
        if (got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)) {
            t->phase = Phase::Failed;
            int reason = got == 0 ? WSAECONNABORTED : WSAGetLastError();
            event = NET_TLS;
            error = reason;
            return true;
        }
        int result = 0;
        if (!continueHandshake(socket, *t, result)) return false;
        finishHandshake(socket, *t, result, event, error);
        return true;
    }
    case Phase::Open:
        break;
    }
    if (event == FD_READ) {
        if (own) t->readPosted = false;
        if (error != 0) return true;
        if (!own) t->rawPending = true;
        if (!t->armed || t->closeDelivered) return false;
        if (own && !readableWithoutSocket(*t)) return false;
        t->armed = false;
        return true;
    }
    if (event == FD_CLOSE) {
        if (t->closeDelivered) return false;
        if (error != 0) {
            t->closeDelivered = true;  // a reset is reported at once
            return true;
        }
        if (!own) {
            // Read the socket out: after this, every read is answered without
            // waiting, down to the end of the stream.
            for (int idle = 0; idle < 100;) {
                int got = readRaw(socket, *t);
                if (got > 0) continue;
                if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;
                Sleep(1);  // the last bytes before the close are still on their way
                ++idle;
            }
            t->tcpClosed = true;
            t->rawPending = false;
        }
        if (t->plainLength() > 0 || t->wholeRecordWaiting()) {
            // Plaintext first: the close follows once it was read.
            t->closePending = true;
            if (t->armed && !t->readPosted) {
                t->readPosted = true;
                postOwnEvent(socket, *t, FD_READ);
            }
            return false;
        }
        t->closePending = false;
        t->closeDelivered = true;
        if (!t->closeNotify) error = WSAECONNRESET;
        return true;
    }
    return false;
}

int tlsSend(SocketHandle socket, const void* data, size_t length) {
    TlsSocket* t = find(socket);
    if (!t || t->phase != Phase::Open) {
        WSASetLastError(WSAENOTCONN);
        return SOCKET_ERROR;
    }
    const char* bytes = static_cast<const char*>(data);
    size_t left = length;
    std::vector<char> record;
    while (left > 0) {
        size_t piece = left < t->sizes.cbMaximumMessage ? left : t->sizes.cbMaximumMessage;
        record.resize(t->sizes.cbHeader + piece + t->sizes.cbTrailer);
        memcpy(record.data() + t->sizes.cbHeader, bytes, piece);
        SecBuffer buffers[4] = {};
        buffers[0] = {t->sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
        buffers[1] = {ULONG(piece), SECBUFFER_DATA, record.data() + t->sizes.cbHeader};
        buffers[2] = {t->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + t->sizes.cbHeader + piece};
        buffers[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&t->context, 0, &desc, 0) != SEC_E_OK) {
            WSASetLastError(WSAECONNABORTED);
            return SOCKET_ERROR;
        }
        queueOut(*t, record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        bytes += piece;
        left -= piece;
    }
    if (!flushOut(socket, *t)) return SOCKET_ERROR;
    return int(length > 0x7fffffff ? 0x7fffffff : length);
}

int tlsRecv(SocketHandle socket, void* buffer, size_t length) {
    TlsSocket* t = find(socket);
    if (!t || t->phase != Phase::Open) {
        WSASetLastError(t ? WSAECONNABORTED : WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    t->armed = true;
    char* to = static_cast<char*>(buffer);
    size_t n = 0;
    int failure = 0;
    while (n < length) {
        n += takePlain(*t, to + n, length - n);
        if (n == length || t->endOfData) break;
        DecryptResult r = decryptOne(socket, *t);
        if (r == DecryptResult::Data) continue;
        if (r == DecryptResult::Closed) {
            t->endOfData = true;
            t->closeNotify = true;
            break;
        }
        if (r == DecryptResult::Failed) {
            failure = WSAECONNABORTED;
            break;
        }
        // A record is incomplete: more from the socket, unless something
        // can be returned already and the socket told of nothing new.
        if (t->tcpClosed) {
            t->endOfData = true;  // the stream ended without close_notify: cut
            break;
        }
        if (n > 0 && !t->rawPending) break;
        int got = readRaw(socket, *t);
        if (got > 0) continue;
        if (got == 0) {
            t->endOfData = true;
            break;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) failure = WSAGetLastError();
        break;
    }
    if (t->plainLength() > 0 || t->wholeRecordWaiting() || t->rawPending) {
        if (!t->readPosted) {
            t->readPosted = true;
            postOwnEvent(socket, *t, FD_READ);
        }
    } else if (t->closePending) {
        t->closePending = false;
        postOwnEvent(socket, *t, FD_CLOSE);
    }
    if (n > 0) return int(n);
    if (failure) {
        WSASetLastError(failure);
        return SOCKET_ERROR;
    }
    if (t->endOfData && t->closeNotify) return 0;
    WSASetLastError(t->endOfData ? WSAECONNRESET : WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}
