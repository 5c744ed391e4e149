// Posix side of the seam: errno <-> Winsock error codes, and errorText.
#include <errno.h>
#include <netdb.h>
#include <string.h>

#include <string>

#include "platform/net.h"
#include "platform/posix/errno_map.h"
#include "platform/system.h"

namespace {

struct ErrnoPair {
    int error;
    int winsock;
};

// The first pair of a Winsock code gives its errno for errorText.
const ErrnoPair kPairs[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EMSGSIZE, WSAEMSGSIZE},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

}  // namespace

int winsockErrorFromErrno(int error) {
    for (const ErrnoPair& p : kPairs)
        if (p.error == error) return p.winsock;
    return error;
}

int errnoFromWinsockError(int code) {
    for (const ErrnoPair& p : kPairs)
        if (p.winsock == code) return p.error;
    return 0;
}

std::string errorText(int code) {
    if (code == 0) return std::string();
    switch (code) {  // lookup failures have resolver texts, not errno ones
    case WSAHOST_NOT_FOUND: return gai_strerror(EAI_NONAME);
    case WSATRY_AGAIN: return gai_strerror(EAI_AGAIN);
    case WSANO_RECOVERY: return gai_strerror(EAI_FAIL);
    case WSANO_DATA: return gai_strerror(EAI_NONAME);
    }
    int error = code >= WSABASEERR ? errnoFromWinsockError(code) : code;
    if (error == 0) return std::string();
    char buffer[256];
    // GNU strerror_r returns the text, possibly not in buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}
