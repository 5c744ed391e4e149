// Windows side of the seam: sockets through Winsock 1.1's asynchronous calls
// (WSAAsyncSelect, WSAAsyncGetHostByName, WSACancelAsyncRequest), whose
// notifications arrive as window messages at the seam's window and are turned
// into PlatformEvents calls by handleSeamMessage. Winsock already behaves as
// platform/net.h describes; this file only adapts types. Sockets that became
// TLS sockets (tls_win32.cpp) pass their messages and their sends and
// receives through the TLS layer first. lookupHostAddresses (EnableIpv6) has
// no asynchronous Winsock 1.1 form: a thread of its own runs getaddrinfo and
// posts the result to the seam's window, so the program still sees every
// event on the window's thread.
#include "platform/win32/win32_seam.h"

#include "platform/win32/tls_win32.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/win32/abi_layout.h"

// Winsock's notifications carry the socket or the lookup's task handle in
// wParam; the seam keeps both in its own pointer-sized handles.
static_assert(sizeof(SOCKET) == sizeof(WPARAM) && sizeof(HANDLE) == sizeof(WPARAM) &&
                  sizeof(SocketHandle) == sizeof(SOCKET) && sizeof(LookupTask) == sizeof(HANDLE),
              "socket and task handles in wParam");

namespace {

HWND window = nullptr;
PlatformEvents* receiver = nullptr;
TickCountSource tickSource = nullptr;
bool tickRunning = false;

// The host-entry buffers of pending lookups: Winsock writes into them until
// the lookup's message is posted or the lookup is cancelled.
std::map<HANDLE, std::unique_ptr<char[]>> lookupBuffers;

// What each socket was registered with (the TLS layer adds FD_WRITE to it).
struct Registration {
    UINT message;
    long events;
};
std::map<SOCKET, Registration> registrations;

SOCKET asSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Tasks of lookupHostAddresses: odd numbers from a range no Winsock task
// handle takes (those are multiples of 4), pending until delivered or cancelled.
LookupTask nextAddressTask = 0x40000001;
std::set<LookupTask> pendingAddressLookups;

struct AddressLookup {
    HWND window;
    LookupTask task;
    std::string host;
    int error = 0;
    std::vector<NetAddress> addresses;
};

NetAddress netAddressOf(const sockaddr* address) {
    NetAddress out;
    if (address->sa_family == AF_INET) {
        out = NetAddress::ipv4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    } else if (address->sa_family == AF_INET6) {
        out.family = NET_FAMILY_IPV6;
        memcpy(out.bytes, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    }
    return out;
}

DWORD WINAPI runAddressLookup(LPVOID parameter) {
    AddressLookup* lookup = static_cast<AddressLookup*>(parameter);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(lookup->host.c_str(), nullptr, &hints, &list);
    if (rc == 0) {
        for (addrinfo* a = list; a; a = a->ai_next) {
            if (!a->ai_addr) continue;
            NetAddress address = netAddressOf(a->ai_addr);
            if (address.known() &&
                std::find(lookup->addresses.begin(), lookup->addresses.end(), address) == lookup->addresses.end())
                lookup->addresses.push_back(address);
        }
        if (lookup->addresses.empty()) lookup->error = WSANO_DATA;
    } else {
        lookup->error = rc;  // Winsock's getaddrinfo gives WSA error codes
    }
    if (list) freeaddrinfo(list);
    if (!PostMessageA(lookup->window, WM_HOST_ADDRESSES, static_cast<WPARAM>(lookup->task),
                      reinterpret_cast<LPARAM>(lookup)))
        delete lookup;  // the window is gone: nobody waits for it
    return 0;
}

}  // namespace

void setSeamWindow(HWND newWindow) {
    if (!newWindow) tickRunning = false;
    window = newWindow;
}

HWND seamWindow() { return window; }

bool handleSeamMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    *result = 0;
    switch (message) {
    case WM_HOST_RESOLVED: {
        auto it = lookupBuffers.find(reinterpret_cast<HANDLE>(wParam));
        if (it == lookupBuffers.end()) return true;  // cancelled: never delivered
        int error = WSAGETASYNCERROR(lParam);
        uint32_t address = INADDR_NONE;
        const hostent* entry = reinterpret_cast<const hostent*>(it->second.get());
        if (error == 0) {
            if (entry->h_addr_list && entry->h_addr_list[0])
                memcpy(&address, entry->h_addr_list[0], sizeof address);
            else
                error = WSANO_DATA;
        }
        lookupBuffers.erase(it);
        if (receiver) receiver->onHostResolved(static_cast<LookupTask>(wParam), error, address);
        return true;
    }
    case WM_HOST_ADDRESSES: {
        std::unique_ptr<AddressLookup> lookup(reinterpret_cast<AddressLookup*>(lParam));
        LookupTask task = static_cast<LookupTask>(wParam);
        if (pendingAddressLookups.erase(task) == 0) return true;  // cancelled: never delivered
        if (receiver) receiver->onHostAddresses(task, lookup->error, lookup->addresses);
        return true;
    }
    case WM_SESSION_SOCKET:
    case WM_DATA_SOCKET:
        if (receiver) {
            SocketHandle socket = static_cast<SocketHandle>(wParam);
            int event = WSAGETSELECTEVENT(lParam);
            int error = WSAGETSELECTERROR(lParam);
            if (!tlsFilterEvent(socket, lParam, event, error)) return true;
            if (message == WM_SESSION_SOCKET)
                receiver->onSessionSocket(socket, event, error);
            else
                receiver->onDataSocket(socket, event, error);
        }
        return true;
    case WM_TIMER:
        if (wParam != TICK_TIMER_ID) return false;
        if (receiver && tickRunning) receiver->onTick();
        return true;
    }
    return false;
}

// ---- events.h -------------------------------------------------------------

void setPlatformEvents(PlatformEvents* events) { receiver = events; }
PlatformEvents* platformEvents() { return receiver; }

void startTickTimer() {
    if (window && SetTimer(window, TICK_TIMER_ID, TICK_INTERVAL_MS, nullptr)) tickRunning = true;
}

void stopTickTimer() {
    if (tickRunning && window) KillTimer(window, TICK_TIMER_ID);
    tickRunning = false;
}

bool tickTimerRunning() { return tickRunning; }

uint32_t tickCount() { return tickSource ? tickSource() : GetTickCount(); }
void overrideTickCount(TickCountSource source) { tickSource = source; }

// ---- net.h ----------------------------------------------------------------

int netLastError() { return WSAGetLastError(); }

SocketHandle socketCreate() { return socketCreateFor(NET_FAMILY_IPV4); }

SocketHandle socketCreateFor(uint8_t family) {
    SOCKET s = socket(family == NET_FAMILY_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return NO_SOCKET;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return static_cast<SocketHandle>(s);
}

int socketSelect(SocketHandle socket, SocketRoute route, int events) {
    long mask = events;
    if (events && tlsActive(socket)) mask |= FD_WRITE;  // ciphertext left over is sent as the socket drains
    if (events)
        registrations[asSocket(socket)] = Registration{UINT(route), mask};
    else
        registrations.erase(asSocket(socket));
    return WSAAsyncSelect(asSocket(socket), window, events ? UINT(route) : 0, mask);
}

bool socketRegistration(SocketHandle socket, UINT& message, long& events) {
    auto it = registrations.find(asSocket(socket));
    if (it == registrations.end()) return false;
    message = it->second.message;
    events = it->second.events;
    return true;
}

int socketConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return connect(asSocket(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int socketConnectTo(SocketHandle socket, const NetAddress& address, uint16_t port) {
    if (address.family != NET_FAMILY_IPV6) return socketConnect(socket, address.ipv4Value(), port);
    sockaddr_in6 to;
    memset(&to, 0, sizeof to);
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    memcpy(&to.sin6_addr, address.bytes, 16);
    return connect(asSocket(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int socketSend(SocketHandle socket, const void* data, size_t length) {
    if (tlsActive(socket)) return tlsSend(socket, data, length);
    int chunk = length > 0x7fffffff ? 0x7fffffff : int(length);
    return send(asSocket(socket), static_cast<const char*>(data), chunk, 0);
}

int socketRecv(SocketHandle socket, void* buffer, size_t length) {
    if (tlsActive(socket)) return tlsRecv(socket, buffer, length);
    int chunk = length > 0x7fffffff ? 0x7fffffff : int(length);
    return recv(asSocket(socket), static_cast<char*>(buffer), chunk, 0);
}

void socketReserveReceiveBuffer(SocketHandle socket, int bytes) {
    int current = 0;
    int length = sizeof current;
    if (getsockopt(asSocket(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&current), &length) != 0 ||
        current >= bytes)
        return;
    setsockopt(asSocket(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void socketShutdown(SocketHandle socket) { shutdown(asSocket(socket), SD_BOTH); }

void socketClose(SocketHandle socket) {
    tlsForget(socket);
    registrations.erase(asSocket(socket));
    closesocket(asSocket(socket));
}

uint32_t parseDottedAddress(const char* text) { return inet_addr(text); }

std::string dottedAddress(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    const char* text = inet_ntoa(a);
    return text ? text : "";
}

LookupTask lookupHost(const char* host) {
    if (!host) return NO_LOOKUP;
    std::unique_ptr<char[]> buffer(new char[MAXGETHOSTSTRUCT]());
    HANDLE task = WSAAsyncGetHostByName(window, WM_HOST_RESOLVED, host, buffer.get(), MAXGETHOSTSTRUCT);
    if (!task) return NO_LOOKUP;
    lookupBuffers[task] = std::move(buffer);
    return reinterpret_cast<LookupTask>(task);
}

std::string addressText(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.family == NET_FAMILY_IPV4) {
        return dottedAddress(address.ipv4Value());
    } else if (address.family == NET_FAMILY_IPV6) {
        sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        memcpy(&a.sin6_addr, address.bytes, 16);
        DWORD length = sizeof text;
        if (WSAAddressToStringA(reinterpret_cast<sockaddr*>(&a), sizeof a, nullptr, text, &length) != 0) text[0] = 0;
    }
    return text;
}

LookupTask lookupHostAddresses(const char* host) {
    if (!host || !window) return NO_LOOKUP;
    LookupTask task = nextAddressTask;
    nextAddressTask += 2;
    AddressLookup* lookup = new AddressLookup{window, task, host, 0, {}};
    HANDLE thread = CreateThread(nullptr, 0, runAddressLookup, lookup, 0, nullptr);
    if (!thread) {
        delete lookup;
        return NO_LOOKUP;
    }
    CloseHandle(thread);
    pendingAddressLookups.insert(task);
    return task;
}

void cancelLookup(LookupTask task) {
    if (pendingAddressLookups.erase(task) != 0) return;  // its message is dropped when it comes
    auto it = lookupBuffers.find(reinterpret_cast<HANDLE>(task));
    if (it == lookupBuffers.end()) return;
    WSACancelAsyncRequest(it->first);
    lookupBuffers.erase(it);
}
