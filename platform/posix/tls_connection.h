// Posix side of the seam: the OpenSSL client state of one TLS socket, used by
// the poll loop (event_loop_posix.cpp), which keeps the notification rules of
// platform/tls.h. The socket itself stays the loop's; this object only reads
// and writes it through a BIO of its own:
//  - received ciphertext is read in large pieces into an input buffer, so
//    that the byte-by-byte header reader and big body reads alike cost few
//    system calls;
//  - ciphertext the socket does not take at once waits in an output buffer
//    (the loop polls for writability while it is not empty), so a write of
//    plaintext always takes everything or fails.
// Error values are the seam's: Winsock codes or TLS_ERROR_*.
#pragma once

#include <cstddef>

namespace posixtls {

struct Connection;

// Creates the client state over the connected non-blocking socket fd for
// host (SNI and verified name; an IP address is verified as one) and sends
// the first handshake message. Null with error set when that fails
// (TLS_ERROR_UNAVAILABLE when there is no usable TLS context).
Connection* create(int fd, const char* host, int& error);
void destroy(Connection* connection);

enum class Step { WAITING, DONE, FAILED };
// Drives the handshake with what arrived. DONE: verified and secure;
// FAILED: error is a TLS_ERROR_* or, when the connection broke, a Winsock code.
Step handshake(Connection* connection, int& error);
bool established(const Connection* connection);

// Plaintext into buffer until it is full or nothing more can be read now:
// bytes read (> 0), 0 after an orderly close (close_notify), -1 with error
// (WSAEWOULDBLOCK when nothing is waiting; WSAECONNRESET when the TCP stream
// ended without close_notify). An error met after some bytes is returned by
// the next call.
int read(Connection* connection, void* buffer, size_t length, int& error);
// Whether a read would return something now without consuming it: 1
// plaintext waiting, 0 orderly close, -1 with error (WSAEWOULDBLOCK: nothing
// yet, wait for the socket).
int probe(Connection* connection, int& error);
// Plaintext or received ciphertext is held inside: the socket's readiness
// alone does not tell whether a read would give something.
bool holdsInput(const Connection* connection);

// Encrypts all of data: length, or -1 with error.
int write(Connection* connection, const void* data, size_t length, int& error);
// Ciphertext waits for the socket to take it.
bool holdsOutput(const Connection* connection);
// Sends what the socket takes of the waiting ciphertext.
void flush(Connection* connection);

const char* libraryName();

}  // namespace posixtls
