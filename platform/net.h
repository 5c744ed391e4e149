// The platform seam, part 2: TCP sockets with Winsock 1.1's asynchronous
// notification semantics, asynchronous IPv4 host lookup, and (for EnableIpv6)
// sockets and lookups of either address family. Portable header
// (no OS header): implemented with WSAAsyncSelect / WSAAsyncGetHostByName in
// platform/win32/ and with a poll() loop and a lookup thread in
// platform/posix/, which imitates Winsock exactly where the engine relies on
// it (see "Events" below).
//
// Calling convention is Winsock's: operations return SOCKET_ERROR (-1) or
// NO_SOCKET on failure and netLastError() then gives the Winsock error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A socket. NO_SOCKET (-1, Winsock's INVALID_SOCKET) means "none"; the engine
// keeps -1 in its socket fields.
using SocketHandle = intptr_t;
constexpr SocketHandle NO_SOCKET = -1;

// An IPv4 or IPv6 address in a form the engine can hold and compare without
// OS headers: bytes in network order (4 of them used for IPv4).
enum : uint8_t { NET_FAMILY_NONE = 0, NET_FAMILY_IPV4 = 4, NET_FAMILY_IPV6 = 6 };
struct NetAddress {
    uint8_t family = NET_FAMILY_NONE;
    uint8_t bytes[16] = {};

    bool known() const { return family != NET_FAMILY_NONE; }
    static NetAddress ipv4(uint32_t networkOrder) {
        NetAddress a;
        a.family = NET_FAMILY_IPV4;
        for (int i = 0; i < 4; ++i) a.bytes[i] = uint8_t(networkOrder >> (8 * i));  // memory order
        return a;
    }
    uint32_t ipv4Value() const {  // network order, as inet_addr gives it
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    }
    bool operator==(const NetAddress& other) const {
        if (family != other.family) return false;
        for (int i = 0; i < 16; ++i)
            if (bytes[i] != other.bytes[i]) return false;
        return true;
    }
    bool operator!=(const NetAddress& other) const { return !(*this == other); }
};

// A pending host lookup. NO_LOOKUP (0) means "none".
using LookupTask = intptr_t;
constexpr LookupTask NO_LOOKUP = 0;

#ifndef SOCKET_ERROR
#define SOCKET_ERROR (-1)
#endif
#ifndef INADDR_NONE
#define INADDR_NONE 0xffffffffu
#endif

// Events (the values of Winsock's FD_READ, FD_CONNECT, FD_CLOSE).
enum : int {
    NET_READ = 0x01,
    NET_CONNECT = 0x10,
    NET_CLOSE = 0x20,
    NET_ALL = NET_READ | NET_CONNECT | NET_CLOSE,  // 0x31, the control sockets' mask
};

// Which message carries a socket's events: WM_SESSION_SOCKET (control
// connection of a session) or WM_DATA_SOCKET (FTP data connection).
enum SocketRoute : int {
    SOCKET_ROUTE_SESSION = 0x8002,
    SOCKET_ROUTE_DATA = 0x8008,
};

// Winsock error codes the engine uses, under their Winsock names. On Windows
// they come from <winsock2.h> (include it before this header); the values are
// the same everywhere, and the posix side maps errno onto them.
#ifndef WSABASEERR
#define WSABASEERR 10000
#define WSAEINTR (WSABASEERR + 4)
#define WSAEBADF (WSABASEERR + 9)
#define WSAEACCES (WSABASEERR + 13)
#define WSAEFAULT (WSABASEERR + 14)
#define WSAEINVAL (WSABASEERR + 22)
#define WSAEMFILE (WSABASEERR + 24)
#define WSAEWOULDBLOCK (WSABASEERR + 35)
#define WSAEINPROGRESS (WSABASEERR + 36)
#define WSAEALREADY (WSABASEERR + 37)
#define WSAENOTSOCK (WSABASEERR + 38)
#define WSAEMSGSIZE (WSABASEERR + 40)
#define WSAEAFNOSUPPORT (WSABASEERR + 47)
#define WSAEADDRINUSE (WSABASEERR + 48)
#define WSAEADDRNOTAVAIL (WSABASEERR + 49)
#define WSAENETDOWN (WSABASEERR + 50)
#define WSAENETUNREACH (WSABASEERR + 51)
#define WSAENETRESET (WSABASEERR + 52)
#define WSAECONNABORTED (WSABASEERR + 53)
#define WSAECONNRESET (WSABASEERR + 54)
#define WSAENOBUFS (WSABASEERR + 55)
#define WSAEISCONN (WSABASEERR + 56)
#define WSAENOTCONN (WSABASEERR + 57)
#define WSAESHUTDOWN (WSABASEERR + 58)
#define WSAETIMEDOUT (WSABASEERR + 60)
#define WSAECONNREFUSED (WSABASEERR + 61)
#define WSAEHOSTDOWN (WSABASEERR + 64)
#define WSAEHOSTUNREACH (WSABASEERR + 65)
#define WSAHOST_NOT_FOUND (WSABASEERR + 1001)
#define WSATRY_AGAIN (WSABASEERR + 1002)
#define WSANO_RECOVERY (WSABASEERR + 1003)
#define WSANO_DATA (WSABASEERR + 1004)
#endif

// The Winsock error code of the last failed operation of this file
// (WSAGetLastError).
int netLastError();

// ---- Sockets -----------------------------------------------------------
//
// Events (delivered through PlatformEvents::onSessionSocket / onDataSocket to
// a socket registered with socketSelect; each one exactly as Winsock posts it):
//
//  NET_CONNECT  once, when a connect started with socketConnect ends: error 0
//               when connected, otherwise the reason (WSAECONNREFUSED,
//               WSAETIMEDOUT, WSAENETUNREACH, ...). A refused connection is
//               this event, never a failure of socketConnect itself.
//  NET_READ     data can be read. Reported once; it is re-armed only by the
//               next socketRecv on that socket (whatever that returns), and
//               reported again after that if unread data remains. A program
//               that does not read gets no more NET_READ events (so a paced
//               reader is not flooded, and a byte-by-byte reader gets one
//               event per byte it reads).
//  NET_CLOSE    once, when the peer closed: error 0 for an orderly close,
//               reported only after every byte before the close was read
//               (socketRecv then returns 0); WSAECONNRESET or WSAECONNABORTED
//               when the connection was reset, reported at once.
//
// Registering again replaces the previous mask and route (WSAAsyncSelect);
// readable data already waiting is reported after a (re-)registration that
// includes NET_READ. socketSelect(s, route, 0) turns notifications off.
// Events of a socket that was closed are never delivered afterwards.

// A TCP/IPv4 socket in non-blocking mode. NO_SOCKET on failure.
SocketHandle socketCreate();

// WSAAsyncSelect: events is a combination of NET_READ, NET_CONNECT,
// NET_CLOSE, or 0 to turn notifications off. Returns 0 or SOCKET_ERROR.
int socketSelect(SocketHandle socket, SocketRoute route, int events);

// A TCP socket of the address's family (IPv4 or IPv6) in non-blocking mode.
// NO_SOCKET on failure.
SocketHandle socketCreateFor(uint8_t family);

// socketConnect for an address of either family (the socket must have been
// made for that family); same results and events.
int socketConnectTo(SocketHandle socket, const NetAddress& address, uint16_t port);

// Starts connecting to an IPv4 address (network byte order) and port (host
// byte order). Returns SOCKET_ERROR with netLastError() == WSAEWOULDBLOCK when
// the connect is under way (always so for a valid socket: the outcome comes
// as NET_CONNECT); another error means the connect could not be started.
int socketConnect(SocketHandle socket, uint32_t address, uint16_t port);

// Sends what the socket takes now: bytes sent, or SOCKET_ERROR
// (WSAEWOULDBLOCK when nothing fits now).
int socketSend(SocketHandle socket, const void* data, size_t length);

// Receives at most length bytes straight into buffer: bytes read (> 0), 0 when
// the peer has closed and everything was read, or SOCKET_ERROR
// (WSAEWOULDBLOCK when nothing is waiting). Re-arms NET_READ.
int socketRecv(SocketHandle socket, void* buffer, size_t length);

// Makes sure the socket may queue at least bytes of received data (raises
// SO_RCVBUF, never lowers it; errors are ignored). The speed limit reads one
// quota per 100 ms tick, so the queue must hold more than a tick's quota or
// every tick reads less than its share and the rate stays below the limit.
void socketReserveReceiveBuffer(SocketHandle socket, int bytes);

// shutdown(socket, SD_BOTH). Errors are ignored.
void socketShutdown(SocketHandle socket);

// closesocket. Pending events of the socket are dropped.
void socketClose(SocketHandle socket);

// ---- Addresses and host lookup -----------------------------------------

// inet_addr: the address of a dotted IPv4 text in network byte order, or
// INADDR_NONE when the text is not one.
uint32_t parseDottedAddress(const char* text);

// inet_ntoa: dotted text of an address in network byte order.
std::string dottedAddress(uint32_t address);

// Starts an asynchronous lookup of host's IPv4 address
// (WSAAsyncGetHostByName); its end is PlatformEvents::onHostResolved with the
// returned task. Returns NO_LOOKUP when the lookup cannot be started.
LookupTask lookupHost(const char* host);

// Numeric text of an address: "127.0.0.1", "::1" (no brackets).
std::string addressText(const NetAddress& address);

// Starts an asynchronous lookup of all of host's addresses, both families, in
// the order the system's resolver prefers (getaddrinfo); its end is
// PlatformEvents::onHostAddresses with the returned task. Cancelled like
// lookupHost's tasks. Returns NO_LOOKUP when the lookup cannot be started.
LookupTask lookupHostAddresses(const char* host);

// Cancels a pending lookup (WSACancelAsyncRequest): its result is never
// delivered. Unknown or finished tasks are ignored.
void cancelLookup(LookupTask task);
