// Posix side of the seam: TLS client connections with OpenSSL (see
// tls_connection.h). Trust comes from OpenSSL's default paths, which honour
// SSL_CERT_FILE and SSL_CERT_DIR; TLS 1.2 is the lowest version offered; the
// peer is always verified (chain and host name), and nothing can turn that
// off.
#include "platform/posix/tls_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/posix/errno_map.h"
#include "platform/tls.h"

namespace posixtls {

namespace {

// Ciphertext read per receive: several records per system call.
constexpr size_t kInputBufferSize = 0x10000;

}  // namespace

struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    std::vector<char> input;  // received ciphertext, [inputStart, inputEnd) not yet given to OpenSSL
    size_t inputStart = 0;
    size_t inputEnd = 0;
    std::string output;  // ciphertext the socket has not taken, from outputStart
    size_t outputStart = 0;
    int socketError = 0;  // errno of the last failed socket call
    bool endOfStream = false;
    bool established = false;
    bool closed = false;     // the orderly close was read
    int deferredError = 0;   // the stream's error, returned by every read from now on
};

namespace {

int bioRead(BIO* bio, char* buffer, int length) {
    Connection* c = static_cast<Connection*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    if (c->inputStart == c->inputEnd) {
        if (c->endOfStream) return 0;
        if (c->input.empty()) c->input.resize(kInputBufferSize);
        ssize_t got;
        do {
            got = recv(c->fd, c->input.data(), c->input.size(), MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        if (got == 0) {
            c->endOfStream = true;
            return 0;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                BIO_set_retry_read(bio);
            } else {
                c->socketError = errno;
            }
            return -1;
        }
        c->inputStart = 0;
        c->inputEnd = size_t(got);
    }
    size_t take = std::min(size_t(length), c->inputEnd - c->inputStart);
    std::memcpy(buffer, c->input.data() + c->inputStart, take);
    c->inputStart += take;
    return int(take);
}

int bioWrite(BIO* bio, const char* data, int length) {
    Connection* c = static_cast<Connection*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    if (c->socketError != 0) return -1;
    size_t sent = 0;
    if (c->outputStart == c->output.size()) {
        ssize_t n = send(c->fd, data, size_t(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            c->socketError = errno;
            return -1;
        }
        if (n > 0) sent = size_t(n);
    }
    c->output.append(data + sent, size_t(length) - sent);
    return length;  // the rest goes out as the socket drains
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* bioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dorimel socket");
        if (m) {
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_ctrl(m, bioControl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

SSL_CTX* clientContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) return ctx;
        if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_set_default_verify_paths(ctx) != 1) {
            SSL_CTX_free(ctx);
            return static_cast<SSL_CTX*>(nullptr);
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // A close without close_notify stays an error (SSL_R_UNEXPECTED_EOF):
        // an HTTP/1.0 body of unknown length ends by the close, and only the
        // alert tells the server's end from an attacker's cut.
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
        return ctx;
    }();
    return context;
}

int verifyFailure(long result) {
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
    case X509_V_ERR_INVALID_CA:
        return TLS_ERROR_UNTRUSTED;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TLS_ERROR_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TLS_ERROR_NAME;
    default:
        return TLS_ERROR_HANDSHAKE;
    }
}

// Why a handshake failed: the certificate check, else a broken connection,
// else the protocol.
int handshakeFailure(const Connection* c) {
    long verify = SSL_get_verify_result(c->ssl);
    if (verify != X509_V_OK) return verifyFailure(verify);
    if (c->socketError != 0) return winsockErrorFromErrno(c->socketError);
    if (c->endOfStream) return WSAECONNABORTED;
    return TLS_ERROR_HANDSHAKE;
}

// The outcome of a failed SSL_read or SSL_peek: 0 for an orderly close
// (close_notify), otherwise the error (WSAEWOULDBLOCK when more must arrive
// first). A TCP end without close_notify, inside a record or between two, is
// a cut connection: reported as a reset, so that the engine retries and
// resumes instead of taking a truncated body for a whole one. Errors stick.
int readFailure(Connection* c, int result) {
    switch (SSL_get_error(c->ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return WSAEWOULDBLOCK;
    case SSL_ERROR_ZERO_RETURN:
        c->closed = true;
        return 0;
    default:
        if (c->socketError != 0) c->deferredError = winsockErrorFromErrno(c->socketError);
        else if (c->endOfStream) c->deferredError = WSAECONNRESET;
        else c->deferredError = WSAECONNABORTED;  // a broken record: the stream cannot go on
        return c->deferredError;
    }
}

bool isIpAddress(const char* host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

}  // namespace

Connection* create(int fd, const char* host, int& error) {
    SSL_CTX* ctx = clientContext();
    BIO_METHOD* method = bioMethod();
    if (!ctx || !method) {
        error = TLS_ERROR_UNAVAILABLE;
        return nullptr;
    }
    if (!host || !*host) {
        error = TLS_ERROR_NAME;
        return nullptr;
    }
    Connection* c = new Connection;
    c->fd = fd;
    c->ssl = SSL_new(ctx);
    BIO* bio = c->ssl ? BIO_new(method) : nullptr;
    bool ready = bio != nullptr;
    if (ready) {
        BIO_set_data(bio, c);
        SSL_set_bio(c->ssl, bio, bio);
        SSL_set_connect_state(c->ssl);
        if (isIpAddress(host)) {
            ready = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl), host) == 1;
        } else {
            SSL_set_hostflags(c->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ready = SSL_set1_host(c->ssl, host) == 1 && SSL_set_tlsext_host_name(c->ssl, host) == 1;
        }
    }
    if (!ready) {
        error = c->ssl ? TLS_ERROR_HANDSHAKE : TLS_ERROR_UNAVAILABLE;
        destroy(c);
        ERR_clear_error();
        return nullptr;
    }
    return c;
}

void destroy(Connection* c) {
    if (!c) return;
    if (c->ssl) SSL_free(c->ssl);
    delete c;
}

Step handshake(Connection* c, int& error) {
    error = 0;
    if (c->established) return Step::DONE;
    ERR_clear_error();
    int result = SSL_do_handshake(c->ssl);
    if (result == 1) {
        c->established = true;
        return Step::DONE;
    }
    int kind = SSL_get_error(c->ssl, result);
    if ((kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) && c->socketError == 0) return Step::WAITING;
    error = handshakeFailure(c);
    ERR_clear_error();
    return Step::FAILED;
}

bool established(const Connection* c) { return c->established; }

int read(Connection* c, void* buffer, size_t length, int& error) {
    error = 0;
    if (c->deferredError != 0) {
        error = c->deferredError;
        return -1;
    }
    if (c->closed) return 0;
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    ERR_clear_error();
    while (total < length) {
        int want = int(std::min(length - total, size_t(INT_MAX)));
        int got = SSL_read(c->ssl, out + total, want);
        if (got > 0) {
            total += size_t(got);
            continue;
        }
        int failure = readFailure(c, got);
        ERR_clear_error();
        if (total > 0) {
            if (failure != 0 && failure != WSAEWOULDBLOCK) c->deferredError = failure;
            break;
        }
        if (failure == 0) return 0;
        error = failure;
        return -1;
    }
    return int(total);
}

int probe(Connection* c, int& error) {
    error = 0;
    if (c->deferredError != 0) {
        error = c->deferredError;
        return -1;
    }
    if (c->closed) return 0;
    if (SSL_pending(c->ssl) > 0) return 1;
    char byte;
    ERR_clear_error();
    int got = SSL_peek(c->ssl, &byte, 1);
    if (got > 0) return 1;
    int failure = readFailure(c, got);
    ERR_clear_error();
    if (failure == 0) return 0;
    error = failure;
    return -1;
}

bool holdsInput(const Connection* c) {
    return c->deferredError != 0 || c->inputStart < c->inputEnd || SSL_pending(c->ssl) > 0;
}

int write(Connection* c, const void* data, size_t length, int& error) {
    error = 0;
    if (!c->established) {
        error = WSAENOTCONN;
        return -1;
    }
    if (length == 0) return 0;
    if (length > size_t(INT_MAX)) length = size_t(INT_MAX);
    ERR_clear_error();
    int written = SSL_write(c->ssl, data, int(length));
    if (written <= 0) {
        error = c->socketError != 0 ? winsockErrorFromErrno(c->socketError) : WSAECONNABORTED;
        ERR_clear_error();
        return -1;
    }
    return written;
}

bool holdsOutput(const Connection* c) { return c->outputStart < c->output.size() && c->socketError == 0; }

void flush(Connection* c) {
    while (holdsOutput(c)) {
        ssize_t n = send(c->fd, c->output.data() + c->outputStart, c->output.size() - c->outputStart,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c->socketError = errno;
            break;
        }
        c->outputStart += size_t(n);
    }
    if (c->outputStart == c->output.size() || c->socketError != 0) {
        c->output.clear();
        c->outputStart = 0;
    }
}

const char* libraryName() { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace posixtls
