// The platform seam, part 6: TLS on a connected session socket, for https.
// Portable header (no OS header): implemented with OpenSSL in platform/posix/
// and with SChannel (SSPI, secur32) in platform/win32/, so that trust is
// decided by the system's own certificate store or paths.
//
// A socket becomes a TLS socket with tlsStart once its TCP connection (or a
// proxy's CONNECT tunnel) stands. From then on the ordinary socket calls of
// platform/net.h carry plaintext, with the same notification rules:
//
//  NET_TLS      once, when the handshake ends: error 0 when the connection is
//               secure and the server's certificate chain and host name were
//               verified, otherwise one of the TLS_ERROR_* codes below (or a
//               Winsock error when the connection broke). No NET_READ is
//               reported before it.
//  NET_READ     plaintext can be read. As for plain sockets it is reported
//               once and re-armed only by the next socketRecv. Plaintext that
//               was already decrypted inside the seam but not yet read counts
//               as waiting data: a socketRecv that leaves some behind gets a
//               NET_READ of its own, even when the socket itself has nothing
//               new, so that a byte-by-byte reader never stalls.
//  NET_CLOSE    once, after every plaintext byte was read: error 0 for an
//               orderly close (TLS close_notify); WSAECONNRESET when the TCP
//               stream ended without close_notify (between records or inside
//               one: HTTP/1.0 ends a body of unknown length by the close, so
//               only the alert tells a whole body from a cut one), or
//               WSAECONNRESET / WSAECONNABORTED for a reset.
//
// socketRecv returns plaintext bytes (0 after close_notify, SOCKET_ERROR
// with WSAEWOULDBLOCK when none is waiting, with WSAECONNRESET after a cut).
// socketSend takes the whole plaintext given or fails: the seam keeps
// ciphertext that the socket did not take yet and sends it as the socket
// drains. socketClose releases the TLS state.
// Sockets without tlsStart are untouched by any of this.
#pragma once

#include <cstdint>

#include "platform/net.h"

// The event that ends a handshake (outside Winsock's FD_* bits).
enum : int { NET_TLS = 0x1000 };

// Why a handshake failed. Outside the Winsock range, so that an error value
// says by itself which kind it is.
enum : int {
    TLS_ERROR_HANDSHAKE = 0x7100,   // the handshake failed (protocol error, garbage, no common version)
    TLS_ERROR_UNTRUSTED = 0x7101,   // the chain does not end in a trusted root
    TLS_ERROR_EXPIRED = 0x7102,     // a certificate is expired or not yet valid
    TLS_ERROR_NAME = 0x7103,        // the certificate does not name the host
    TLS_ERROR_UNAVAILABLE = 0x7104, // this build or system has no TLS
};

inline bool isTlsError(int error) { return error >= TLS_ERROR_HANDSHAKE && error <= TLS_ERROR_UNAVAILABLE; }

// Starts the client handshake on a connected socket registered with
// socketSelect; host is the server's name as in the URL (sent as SNI unless
// it is an IP address, and matched against the certificate). TLS 1.2 or
// later only; the certificate is always verified, there is no way to turn
// that off. Revocation is not checked. Returns 0 when the handshake is under
// way (its end is NET_TLS), or SOCKET_ERROR (netLastError() tells why,
// TLS_ERROR_UNAVAILABLE when there is no TLS at all).
int tlsStart(SocketHandle socket, const char* host);

// True when tlsStart was called on the socket (and it is not closed).
bool tlsActive(SocketHandle socket);

// Name and version of the TLS library ("OpenSSL 3.0.15 3 Sep 2024",
// "SChannel"), or null when the build has none.
const char* platformTlsLibrary();
