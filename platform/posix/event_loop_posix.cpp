// Posix side of the seam: the poll() loop with Winsock's notification rules
// for sockets (platform/net.h), host lookups on their own threads, the 100 ms
// tick and the tick count. Everything the program sees is delivered on the
// loop's thread.
//
// How Winsock's WSAAsyncSelect semantics are imitated:
//  - connect never fails with "refused" at once: the outcome is queued as
//    NET_CONNECT even when the kernel knows it immediately;
//  - NET_READ is reported once and re-armed by socketRecv: a socket whose
//    read is not armed is not polled at all, so unread data never wakes the
//    loop (no busy wait under the speed limit);
//  - an orderly close is reported as NET_CLOSE only when the end of the
//    stream is next to read (a peek returns 0), i.e. after all data was read;
//    a reset is reported when the peek fails.
// A TLS socket (platform/tls.h) keeps the same rules over its plaintext: the
// handshake is driven by the socket's readiness and ends with NET_TLS; the
// "peek" asks OpenSSL whether plaintext, the close or an error is next; and
// input already inside the TLS state is examined without waiting for the
// socket, so a read that leaves plaintext behind gets its own NET_READ.
#include <arpa/inet.h>
#include <string.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/events.h"
#include "platform/net.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/tls_connection.h"
#include "platform/tls.h"

namespace {

enum class ConnectState { NONE, CONNECTING, DONE, REPORTED };

struct TlsDeleter {
    void operator()(posixtls::Connection* connection) const { posixtls::destroy(connection); }
};

struct SocketEntry {
    SocketRoute route = SOCKET_ROUTE_SESSION;
    int mask = 0;
    ConnectState connect = ConnectState::NONE;
    int connectError = 0;      // outcome while DONE
    bool readArmed = true;
    bool closeReported = false;  // no more events of this socket: not polled
    std::unique_ptr<posixtls::Connection, TlsDeleter> tls;  // after tlsStart
    bool handshaking = false;    // NET_TLS not yet queued
};

struct QueuedEvent {
    bool lookup = false;
    SocketHandle socket = NO_SOCKET;
    int event = 0;
    int error = 0;
    LookupTask task = NO_LOOKUP;
    uint32_t address = INADDR_NONE;
    bool allAddresses = false;  // onHostAddresses rather than onHostResolved
    std::vector<NetAddress> addresses;
};

struct LookupResult {
    LookupTask task;
    int error;
    uint32_t address;
    bool allAddresses = false;
    std::vector<NetAddress> addresses;
};

// Shared with the lookup threads and the signal handler; everything else is
// touched by the loop's thread only.
struct WakeChannel {
    int readFd = -1;
    int writeFd = -1;
    std::mutex mutex;
    std::vector<LookupResult> results;  // guarded by mutex
};

WakeChannel& wakeChannel() {
    static WakeChannel* channel = [] {
        auto* c = new WakeChannel;  // never freed: lookup threads may outlive everything
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            c->readFd = fds[0];
            c->writeFd = fds[1];
        }
        return c;
    }();
    return *channel;
}

volatile sig_atomic_t quitRequested = 0;
volatile sig_atomic_t wakeRequested = 0;
thread_local int lastError = 0;

PlatformEvents* receiver = nullptr;
TickCountSource tickSource = nullptr;
std::map<SocketHandle, SocketEntry> sockets;
std::deque<QueuedEvent> queued;
std::deque<std::function<void()>> deferredCalls;
std::set<LookupTask> pendingLookups;
LookupTask nextLookupTask = 1;
std::function<void()> wakeHandler;
bool tickRunning = false;
uint64_t nextTickAt = 0;
int tickIntervalMs = TICK_INTERVAL_MS;
bool looping = false;

uint64_t monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

void pokeWakePipe() {
    int fd = wakeChannel().writeFd;
    if (fd >= 0) {
        char byte = 1;
        ssize_t ignored = write(fd, &byte, 1);  // a full pipe already wakes the loop
        (void)ignored;
    }
}

void drainWakePipe() {
    char buffer[64];
    while (read(wakeChannel().readFd, buffer, sizeof buffer) > 0) {
    }
}

void dropQueuedEventsOf(SocketHandle socket) {
    queued.erase(std::remove_if(queued.begin(), queued.end(),
                                [socket](const QueuedEvent& e) { return !e.lookup && e.socket == socket; }),
                 queued.end());
}

void queueSocketEvent(SocketHandle socket, int event, int error) {
    QueuedEvent e;
    e.socket = socket;
    e.event = event;
    e.error = error;
    queued.push_back(e);
}

int fail(int error) {
    lastError = error;
    return SOCKET_ERROR;
}

// Connect outcomes known without polling (immediate results, or found by the
// last poll) become events once the socket is registered for them.
void collectConnectResults() {
    for (auto& [socket, entry] : sockets) {
        if (entry.connect == ConnectState::DONE && (entry.mask & NET_CONNECT)) {
            entry.connect = ConnectState::REPORTED;
            if (entry.connectError != 0) entry.closeReported = true;
            queueSocketEvent(socket, NET_CONNECT, entry.connectError);
        }
    }
}

void collectLookupResults() {
    std::vector<LookupResult> results;
    {
        std::lock_guard<std::mutex> lock(wakeChannel().mutex);
        results.swap(wakeChannel().results);
    }
    for (const LookupResult& r : results) {
        if (pendingLookups.erase(r.task) == 0) continue;  // cancelled meanwhile
        QueuedEvent e;
        e.lookup = true;
        e.task = r.task;
        e.error = r.error;
        e.address = r.address;
        e.allAddresses = r.allAddresses;
        e.addresses = r.addresses;
        queued.push_back(e);
    }
}

short pollInterest(const SocketEntry& entry) {
    if (entry.closeReported) return 0;
    if (entry.tls) {
        short interest = posixtls::holdsOutput(entry.tls.get()) ? POLLOUT : 0;
        if (entry.handshaking || (entry.readArmed && (entry.mask & (NET_READ | NET_CLOSE)))) interest |= POLLIN;
        return interest;
    }
    if (entry.connect == ConnectState::CONNECTING) return (entry.mask & NET_CONNECT) ? POLLOUT : 0;
    if (entry.connect == ConnectState::DONE) return 0;
    if (entry.readArmed && (entry.mask & (NET_READ | NET_CLOSE))) return POLLIN;
    return 0;
}

// Input arrived on a TLS socket (or waits inside its TLS state): drive the
// handshake, or find out what a read would give, as the peek does below.
void examineTlsInput(SocketHandle socket, SocketEntry& entry) {
    posixtls::Connection* tls = entry.tls.get();
    int error = 0;
    if (entry.handshaking) {
        posixtls::Step step = posixtls::handshake(tls, error);
        if (step == posixtls::Step::WAITING) return;
        entry.handshaking = false;
        if (step == posixtls::Step::FAILED) entry.closeReported = true;
        queueSocketEvent(socket, NET_TLS, error);
        return;
    }
    if (!entry.readArmed || entry.closeReported) return;
    int next = posixtls::probe(tls, error);
    if (next > 0) {
        entry.readArmed = false;
        if (entry.mask & NET_READ) queueSocketEvent(socket, NET_READ, 0);
    } else if (next == 0 || error != WSAEWOULDBLOCK) {
        entry.closeReported = true;
        if (entry.mask & NET_CLOSE) queueSocketEvent(socket, NET_CLOSE, next == 0 ? 0 : error);
    }
}

// TLS sockets whose state holds input a read would consume: no poll would
// report it, so examine them now (each examination consumes the held
// ciphertext, so this does not repeat without a read in between).
void collectHeldTlsInput() {
    for (auto& [socket, entry] : sockets) {
        if (entry.tls && !entry.handshaking && entry.readArmed && !entry.closeReported &&
            posixtls::holdsInput(entry.tls.get()))
            examineTlsInput(socket, entry);
    }
}

// The poll said something about this socket: turn it into Winsock's event.
void examineSocket(SocketHandle socket, SocketEntry& entry, short revents) {
    if (entry.tls) {
        if (revents & (POLLOUT | POLLERR | POLLHUP)) posixtls::flush(entry.tls.get());
        if (revents & (POLLIN | POLLERR | POLLHUP)) examineTlsInput(socket, entry);
        return;
    }
    if (entry.connect == ConnectState::CONNECTING) {
        if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(int(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        entry.connect = ConnectState::DONE;
        entry.connectError = error == 0 ? 0 : winsockErrorFromErrno(error);
        return;  // collectConnectResults queues it
    }
    char byte;
    ssize_t peeked = recv(int(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0) {
        entry.readArmed = false;
        if (entry.mask & NET_READ) queueSocketEvent(socket, NET_READ, 0);
    } else if (peeked == 0) {
        entry.closeReported = true;
        if (entry.mask & NET_CLOSE) queueSocketEvent(socket, NET_CLOSE, 0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        entry.closeReported = true;
        if (entry.mask & NET_CLOSE) queueSocketEvent(socket, NET_CLOSE, winsockErrorFromErrno(errno));
    }
}

void deliver(const QueuedEvent& e) {
    if (!receiver) return;
    if (e.lookup) {
        if (e.allAddresses) receiver->onHostAddresses(e.task, e.error, e.addresses);
        else receiver->onHostResolved(e.task, e.error, e.address);
        return;
    }
    auto it = sockets.find(e.socket);
    if (it == sockets.end()) return;  // closed meanwhile
    int mask = it->second.mask;
    if (e.event == NET_TLS ? mask == 0 : !(mask & e.event)) return;  // turned off meanwhile
    if (it->second.route == SOCKET_ROUTE_DATA)
        receiver->onDataSocket(e.socket, e.event, e.error);
    else
        receiver->onSessionSocket(e.socket, e.event, e.error);
}

// One turn: wait for something (or for the next tick), then deliver.
void loopTurn() {
    collectLookupResults();
    collectConnectResults();
    collectHeldTlsInput();

    std::vector<pollfd> fds;
    std::vector<SocketHandle> polled;
    fds.push_back({wakeChannel().readFd, POLLIN, 0});
    for (auto& [socket, entry] : sockets) {
        short interest = pollInterest(entry);
        if (interest) {
            fds.push_back({int(socket), interest, 0});
            polled.push_back(socket);
        }
    }
    int timeout = -1;
    uint64_t now = monotonicMs();
    if (!queued.empty() || !deferredCalls.empty() || wakeRequested || quitRequested)
        timeout = 0;
    else if (tickRunning)
        timeout = nextTickAt > now ? int(nextTickAt - now) : 0;

    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
        if (fds[0].revents) drainWakePipe();
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            auto it = sockets.find(polled[i - 1]);
            if (it != sockets.end()) examineSocket(it->first, it->second, fds[i].revents);
        }
    }
    collectLookupResults();
    collectConnectResults();

    if (wakeRequested) {
        wakeRequested = 0;
        if (wakeHandler) wakeHandler();
    }
    // Deliver what is queued now; events queued by these handlers wait for
    // the next turn, so a busy socket cannot starve the tick.
    size_t count = queued.size();
    for (size_t i = 0; i < count && !queued.empty() && !quitRequested; ++i) {
        QueuedEvent e = queued.front();
        queued.pop_front();
        deliver(e);
    }
    size_t calls = deferredCalls.size();
    for (size_t i = 0; i < calls && !deferredCalls.empty() && !quitRequested; ++i) {
        std::function<void()> call = std::move(deferredCalls.front());
        deferredCalls.pop_front();
        call();
    }
    if (tickRunning && !quitRequested && monotonicMs() >= nextTickAt) {
        nextTickAt = monotonicMs() + uint64_t(tickIntervalMs);  // late ticks do not pile up
        if (receiver) receiver->onTick();
    }
}

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

// allAddresses: every address of both families (lookupHostAddresses), else
// the first IPv4 address (lookupHost).
void runLookup(LookupTask task, std::string host, bool allAddresses) {
    addrinfo hints{};
    hints.ai_family = allAddresses ? AF_UNSPEC : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    LookupResult result{task, 0, INADDR_NONE, allAddresses, {}};
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc == 0 && allAddresses) {
        for (addrinfo* a = list; a; a = a->ai_next) {
            if (!a->ai_addr) continue;
            NetAddress address = netAddressOf(a->ai_addr);
            if (address.known() &&
                std::find(result.addresses.begin(), result.addresses.end(), address) == result.addresses.end())
                result.addresses.push_back(address);
        }
    }
    if (rc == 0 && allAddresses && !result.addresses.empty()) {
    } else if (rc == 0 && !allAddresses && list && list->ai_addr) {
        result.address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    } else {
        result.error = rc == EAI_AGAIN ? WSATRY_AGAIN
                       : rc == EAI_FAIL ? WSANO_RECOVERY
#ifdef EAI_NODATA
                       : rc == EAI_NODATA ? WSANO_DATA
#endif
                       : rc == 0 ? WSANO_DATA
                                 : WSAHOST_NOT_FOUND;
    }
    if (list) freeaddrinfo(list);
    {
        std::lock_guard<std::mutex> lock(wakeChannel().mutex);
        wakeChannel().results.push_back(result);
    }
    pokeWakePipe();
}

}  // namespace

// ---- events.h -------------------------------------------------------------

void setPlatformEvents(PlatformEvents* events) { receiver = events; }
PlatformEvents* platformEvents() { return receiver; }

void startTickTimer() {
    tickRunning = true;
    nextTickAt = monotonicMs() + uint64_t(tickIntervalMs);
}

void stopTickTimer() { tickRunning = false; }
bool tickTimerRunning() { return tickRunning; }

uint32_t tickCount() { return tickSource ? tickSource() : uint32_t(monotonicMs()); }
void overrideTickCount(TickCountSource source) { tickSource = source; }

// ---- event_loop.h ---------------------------------------------------------

bool runEventLoop() {
    if (looping) return false;
    looping = true;
    wakeChannel();
    while (!quitRequested) loopTurn();
    quitRequested = 0;
    looping = false;
    return true;
}

void quitEventLoop() {
    quitRequested = 1;
    pokeWakePipe();
}

void postDeferred(std::function<void()> call) { deferredCalls.push_back(std::move(call)); }

void wakeEventLoop() {
    wakeRequested = 1;
    pokeWakePipe();
}

void setWakeHandler(std::function<void()> handler) { wakeHandler = std::move(handler); }

void setTickIntervalMs(int milliseconds) { tickIntervalMs = milliseconds > 0 ? milliseconds : 1; }

void resetEventLoop() {
    sockets.clear();
    queued.clear();
    deferredCalls.clear();
    pendingLookups.clear();
    tickRunning = false;
    quitRequested = 0;
    wakeRequested = 0;
    {
        std::lock_guard<std::mutex> lock(wakeChannel().mutex);
        wakeChannel().results.clear();
    }
}

// ---- net.h ----------------------------------------------------------------

int netLastError() { return lastError; }

SocketHandle socketCreate() { return socketCreateFor(NET_FAMILY_IPV4); }

SocketHandle socketCreateFor(uint8_t family) {
    int domain = family == NET_FAMILY_IPV6 ? AF_INET6 : AF_INET;
    int fd = socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError = winsockErrorFromErrno(errno);
        return NO_SOCKET;
    }
    sockets[fd] = SocketEntry();
    return fd;
}

int socketSelect(SocketHandle socket, SocketRoute route, int events) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return fail(WSAENOTSOCK);
    SocketEntry& entry = it->second;
    if (entry.route != route || entry.mask != events) dropQueuedEventsOf(socket);
    entry.route = route;
    entry.mask = events & NET_ALL;
    if (events & NET_READ) entry.readArmed = true;  // waiting data is reported again
    return 0;
}

int socketConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    return socketConnectTo(socket, NetAddress::ipv4(address), port);
}

int socketConnectTo(SocketHandle socket, const NetAddress& address, uint16_t port) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return fail(WSAENOTSOCK);
    SocketEntry& entry = it->second;
    if (entry.connect != ConnectState::NONE) return fail(WSAEALREADY);
    sockaddr_storage to{};
    socklen_t toLength;
    if (address.family == NET_FAMILY_IPV6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        memcpy(&v6->sin6_addr, address.bytes, 16);
        toLength = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = address.ipv4Value();
        toLength = sizeof *v4;
    }
    int rc = connect(int(socket), reinterpret_cast<sockaddr*>(&to), toLength);
    int error = rc == 0 ? 0 : errno;
    if (error == EINPROGRESS || error == EINTR) {
        entry.connect = ConnectState::CONNECTING;
    } else if (error == 0 || error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
               error == ETIMEDOUT || error == ECONNRESET) {
        // Winsock reports these through FD_CONNECT, never from connect().
        entry.connect = ConnectState::DONE;
        entry.connectError = error == 0 ? 0 : winsockErrorFromErrno(error);
    } else {
        return fail(winsockErrorFromErrno(error));
    }
    return fail(WSAEWOULDBLOCK);
}

int socketSend(SocketHandle socket, const void* data, size_t length) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return fail(WSAENOTSOCK);
    if (it->second.tls) {
        int error = 0;
        int written = posixtls::write(it->second.tls.get(), data, length, error);
        return written < 0 ? fail(error) : written;
    }
    ssize_t sent = send(int(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return fail(winsockErrorFromErrno(errno));
    return int(sent);
}

int socketRecv(SocketHandle socket, void* buffer, size_t length) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return fail(WSAENOTSOCK);
    it->second.readArmed = true;  // Winsock re-enables FD_READ on every recv
    if (it->second.tls) {
        if (it->second.handshaking) return fail(WSAEWOULDBLOCK);
        int error = 0;
        int got = posixtls::read(it->second.tls.get(), buffer, length, error);
        if (got < 0 && error != WSAEWOULDBLOCK) it->second.closeReported = true;
        return got < 0 ? fail(error) : got;
    }
    ssize_t got;
    do {
        got = recv(int(socket), buffer, length, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        int error = winsockErrorFromErrno(errno);
        if (error != WSAEWOULDBLOCK) it->second.closeReported = true;  // reset: nothing more to report
        return fail(error);
    }
    return int(got);
}

void socketReserveReceiveBuffer(SocketHandle socket, int bytes) {
    // Setting the size turns Linux's automatic sizing off for the socket, so
    // only do it when the automatic size is too small.
    int current = 0;
    socklen_t length = sizeof current;
    if (!sockets.count(socket) || getsockopt(int(socket), SOL_SOCKET, SO_RCVBUF, &current, &length) != 0 ||
        current >= bytes)
        return;
    setsockopt(int(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void socketShutdown(SocketHandle socket) {
    if (sockets.count(socket)) shutdown(int(socket), SHUT_RDWR);
}

void socketClose(SocketHandle socket) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return;
    sockets.erase(it);
    dropQueuedEventsOf(socket);
    close(int(socket));
}

uint32_t parseDottedAddress(const char* text) { return inet_addr(text); }

std::string dottedAddress(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

namespace {

LookupTask startLookup(const char* host, bool allAddresses) {
    if (!host || wakeChannel().writeFd < 0) return NO_LOOKUP;
    LookupTask task = nextLookupTask++;
    try {
        std::thread(runLookup, task, std::string(host), allAddresses).detach();
    } catch (...) {
        return NO_LOOKUP;
    }
    pendingLookups.insert(task);
    return task;
}

}  // namespace

LookupTask lookupHost(const char* host) { return startLookup(host, false); }

LookupTask lookupHostAddresses(const char* host) { return startLookup(host, true); }

std::string addressText(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.family == NET_FAMILY_IPV4) inet_ntop(AF_INET, address.bytes, text, sizeof text);
    else if (address.family == NET_FAMILY_IPV6) inet_ntop(AF_INET6, address.bytes, text, sizeof text);
    return text;
}

void cancelLookup(LookupTask task) { pendingLookups.erase(task); }

// ---- tls.h ----------------------------------------------------------------

int tlsStart(SocketHandle socket, const char* host) {
    auto it = sockets.find(socket);
    if (it == sockets.end()) return fail(WSAENOTSOCK);
    SocketEntry& entry = it->second;
    if (entry.tls || entry.connect == ConnectState::CONNECTING || entry.closeReported) return fail(WSAEINVAL);
    int error = 0;
    posixtls::Connection* tls = posixtls::create(int(socket), host, error);
    if (!tls) return fail(error);
    entry.tls.reset(tls);
    entry.handshaking = true;
    // The first handshake message goes out now; its answer comes by poll.
    examineTlsInput(socket, entry);
    return 0;
}

bool tlsActive(SocketHandle socket) {
    auto it = sockets.find(socket);
    return it != sockets.end() && it->second.tls != nullptr;
}

const char* platformTlsLibrary() { return posixtls::libraryName(); }
