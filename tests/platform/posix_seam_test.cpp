// The posix side of the platform seam behaves as Winsock does where the engine
// relies on it: connect outcomes and peer closes arrive as events, a read
// event is re-armed only by a read, lookups end on the loop's thread, and the
// file operations never replace an existing file.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/events.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/posix/event_loop.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "tests/servers/test_servers.h"

namespace {

struct Event {
    char kind;  // 'L' lookup, 'S' session socket, 'D' data socket, 'T' tick
    intptr_t handle;
    int event;
    int error;
    uint32_t address;
};

// Records every event and lets the test react to each one. The loop quits on
// its own after a bounded number of ticks, so that no test can hang.
class Recorder : public PlatformEvents {
public:
    std::vector<Event> events;
    std::function<void(const Event&)> react;
    int tickLimit = 2000;  // 2000 ticks of 2 ms: ~4 s at most
    int ticks = 0;

    Recorder() {
        resetEventLoop();
        setTickIntervalMs(2);
        setPlatformEvents(this);
        startTickTimer();
    }
    ~Recorder() {
        stopTickTimer();
        setPlatformEvents(nullptr);
        resetEventLoop();
        setTickIntervalMs(TICK_INTERVAL_MS);
    }
    void onHostResolved(LookupTask task, int error, uint32_t address) override {
        record({'L', task, 0, error, address});
    }
    void onSessionSocket(SocketHandle s, int event, int error) override { record({'S', s, event, error, 0}); }
    void onDataSocket(SocketHandle s, int event, int error) override { record({'D', s, event, error, 0}); }
    void onTick() override {
        ++ticks;
        if (ticks >= tickLimit) quitEventLoop();
        record({'T', 0, 0, 0, 0});
    }
    int count(char kind, int event = -1) const {
        int n = 0;
        for (const Event& e : events)
            if (e.kind == kind && (event < 0 || e.event == event)) ++n;
        return n;
    }

private:
    void record(const Event& e) {
        if (e.kind != 'T') events.push_back(e);
        if (react) react(e);
    }
};

// A listening socket on 127.0.0.1 with an ephemeral port (plain blocking
// calls: the client side connects through the backlog, so accept never waits).
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int acceptOne() { return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

SocketHandle connectTo(uint16_t port, SocketRoute route = SOCKET_ROUTE_SESSION) {
    SocketHandle s = socketCreate();
    EXPECT_NE(s, NO_SOCKET);
    EXPECT_EQ(socketSelect(s, route, NET_ALL), 0);
    EXPECT_EQ(socketConnect(s, kLoopback, port), SOCKET_ERROR);
    EXPECT_EQ(netLastError(), WSAEWOULDBLOCK);
    return s;
}

}  // namespace

TEST(PosixSeam, RefusedConnectIsAnEventNotAFailedCall) {
    Recorder r;
    uint16_t port = testservers::freePort();  // nobody listens there
    SocketHandle s = connectTo(port);
    r.react = [&](const Event& e) {
        if (e.kind == 'S') quitEventLoop();
    };
    ASSERT_TRUE(runEventLoop());
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].handle, s);
    EXPECT_EQ(r.events[0].event, NET_CONNECT);
    EXPECT_EQ(r.events[0].error, WSAECONNREFUSED);
    EXPECT_FALSE(errorText(WSAECONNREFUSED).empty());
    EXPECT_EQ(errorText(WSAECONNREFUSED), strerror(ECONNREFUSED));
    socketClose(s);
}

TEST(PosixSeam, ReadIsReportedOnceAndReArmedOnlyByARead) {
    Recorder r;
    Listener listener;
    SocketHandle s = connectTo(listener.port);
    int peer = -1;
    int readsSeen = 0, ticksSinceRead = 0;
    std::string received;
    r.react = [&](const Event& e) {
        if (e.kind == 'S' && e.event == NET_CONNECT) {
            EXPECT_EQ(e.error, 0);
            peer = listener.acceptOne();
            ASSERT_EQ(send(peer, "abc", 3, 0), 3);
            shutdown(peer, SHUT_WR);  // the close waits behind the data
        } else if (e.kind == 'S' && e.event == NET_READ) {
            ++readsSeen;
            ticksSinceRead = 0;
        } else if (e.kind == 'T' && readsSeen > 0 && received.size() < 3 && ++ticksSinceRead == 20) {
            // 20 ticks without a read brought no second NET_READ; now read
            // one byte, which re-arms the event for the rest.
            EXPECT_EQ(readsSeen, int(received.size()) + 1);
            char c;
            ASSERT_EQ(socketRecv(s, &c, 1), 1);
            received += c;
        } else if (e.kind == 'S' && e.event == NET_CLOSE) {
            EXPECT_EQ(e.error, 0);
            char c;
            EXPECT_EQ(socketRecv(s, &c, 1), 0);
            quitEventLoop();
        }
    };
    ASSERT_TRUE(runEventLoop());
    EXPECT_EQ(received, "abc");
    EXPECT_EQ(readsSeen, 3);  // one per byte read, none while unread
    EXPECT_EQ(r.count('S', NET_CLOSE), 1);
    EXPECT_EQ(r.count('S', NET_CONNECT), 1);
    socketClose(s);
    close(peer);
}

// Over TLS the same rules hold for plaintext. The server sends all but the
// last byte and then holds the connection open: once the socket is drained,
// only the plaintext held inside the TLS state can produce the read events
// the small reads need; and an event left unread still brings no other.
TEST(PosixSeam, TlsHandshakeEndsWithOneEventAndHeldPlaintextGetsItsOwnRead) {
    const auto& certificates = testservers::processCertificates();
    testservers::TempDir dir;
    const uint64_t size = 100000;
    ASSERT_TRUE(testservers::writePatternFile(dir.path() + "/www/f.bin", size + 1));
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www", {certificates.certificateFile("valid"), certificates.keyFile()}));
    Recorder r;
    SocketHandle s = connectTo(server.port());
    std::string received;
    int readsUnanswered = 0, extraReads = 0, quietTicks = -1;
    auto readSome = [&] {
        char piece[7];  // small reads: most of every record stays held inside
        int n = socketRecv(s, piece, sizeof piece);
        readsUnanswered = 0;
        if (n > 0) received.append(piece, size_t(n));
        size_t body = received.find("\r\n\r\n");
        if (body != std::string::npos && received.size() - body - 4 == size) quitEventLoop();
    };
    r.react = [&](const Event& e) {
        if (e.kind == 'S' && e.event == NET_CONNECT) {
            ASSERT_EQ(tlsStart(s, "127.0.0.1"), 0);  // an address is verified as one
        } else if (e.kind == 'S' && e.event == NET_TLS) {
            ASSERT_EQ(e.error, 0);
            const char request[] = "GET /x/stall=100000/f.bin HTTP/1.0\r\n\r\n";
            ASSERT_EQ(socketSend(s, request, sizeof request - 1), int(sizeof request - 1));
        } else if (e.kind == 'S' && e.event == NET_READ) {
            if (readsUnanswered++ > 0) ++extraReads;
            if (received.size() > 5000 && quietTicks < 0) quietTicks = 20;  // once, leave it unread
            else readSome();
        } else if (e.kind == 'T' && quietTicks > 0 && --quietTicks == 0) {
            readSome();
        }
    };
    ASSERT_TRUE(runEventLoop());
    EXPECT_EQ(extraReads, 0);  // never a second NET_READ before a read
    ASSERT_GE(r.events.size(), 3u);
    EXPECT_EQ(r.events[1].event, NET_TLS);  // one, and no read event before it
    EXPECT_EQ(r.count('S', NET_TLS), 1);
    EXPECT_EQ(r.count('S', NET_CLOSE), 0);
    size_t body = received.find("\r\n\r\n");
    ASSERT_EQ(received.size() - body - 4, size);
    for (uint64_t i = 0; i < size; ++i) ASSERT_EQ(uint8_t(received[body + 4 + i]), testservers::patternByte(i));
    EXPECT_TRUE(tlsActive(s));
    socketClose(s);
    EXPECT_FALSE(tlsActive(s));
}

TEST(PosixSeam, ResetAndDataSocketRouteAndClosedSocketsGoQuiet) {
    Recorder r;
    Listener listener;
    SocketHandle data = connectTo(listener.port, SOCKET_ROUTE_DATA);
    SocketHandle other = connectTo(listener.port);
    int peers[2] = {-1, -1};
    int accepted = 0;
    r.react = [&](const Event& e) {
        if (e.event == NET_CONNECT) {
            int peer = listener.acceptOne();
            peers[accepted++] = peer;
            if (accepted == 2) {
                // Reset the data connection; give the other one data, then
                // close the other socket from our side before its event runs.
                linger hard{1, 0};
                setsockopt(peers[0], SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                setsockopt(peers[1], SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                close(peers[0]);
                close(peers[1]);
                peers[0] = peers[1] = -1;
                socketClose(other);
            }
        } else if (e.event == NET_CLOSE) {
            quitEventLoop();
        }
    };
    ASSERT_TRUE(runEventLoop());
    // Which peer is which depends on the accept order; both were reset, but
    // only the socket still open reports it, on its own route.
    ASSERT_EQ(r.count('S', NET_CLOSE) + r.count('D', NET_CLOSE), 1);
    const Event& last = r.events.back();
    EXPECT_EQ(last.kind, 'D');
    EXPECT_EQ(last.handle, data);
    EXPECT_EQ(last.error, WSAECONNRESET);
    for (const Event& e : r.events) {
        if (e.handle == other) {
            EXPECT_EQ(e.event, NET_CONNECT);
        }
    }
    socketClose(data);
}

TEST(PosixSeam, LookupEndsOnTheLoopAndCancelledLookupsStaySilent) {
    Recorder r;
    LookupTask cancelled = lookupHost("localhost");
    ASSERT_NE(cancelled, NO_LOOKUP);
    cancelLookup(cancelled);
    LookupTask task = lookupHost("localhost");
    ASSERT_NE(task, NO_LOOKUP);
    int ticksAfter = -1;
    r.react = [&](const Event& e) {
        if (e.kind == 'L') ticksAfter = 0;
        // Let the cancelled lookup's thread finish too before judging.
        if (e.kind == 'T' && ticksAfter >= 0 && ++ticksAfter == 25) quitEventLoop();
    };
    ASSERT_TRUE(runEventLoop());
    ASSERT_EQ(r.count('L'), 1);
    EXPECT_EQ(r.events[0].handle, task);
    EXPECT_EQ(r.events[0].error, 0);
    EXPECT_EQ(dottedAddress(r.events[0].address), "127.0.0.1");
    EXPECT_EQ(parseDottedAddress("127.0.0.1"), kLoopback);
    EXPECT_EQ(parseDottedAddress("localhost"), INADDR_NONE);
}

TEST(PosixSeam, FilesKeepSixtyFourBitOffsetsAndNeverReplaceOnRenameOrMove) {
    testservers::TempDir dir;
    const std::string a = dir.path() + "/a.bin", b = dir.path() + "/b.bin", c = dir.path() + "/c.bin";
    FileHandle f = fileOpenAlways(a.c_str());
    ASSERT_NE(f, NO_FILE);
    const int64_t far = 5000000000LL;  // past 4 GiB: sparse, costs no space
    ASSERT_TRUE(fileWriteAt(f, far, "xyz", 3));
    EXPECT_EQ(fileSize(f), far + 3);
    char buffer[4] = {};
    EXPECT_EQ(fileReadAt(f, far + 1, buffer, 4), 2);
    EXPECT_STREQ(buffer, "yz");
    ASSERT_TRUE(fileSetSize(f, 10));
    EXPECT_EQ(fileSize(f), 10);
    EXPECT_TRUE(fileFlush(f));
    fileClose(f);

    ASSERT_TRUE(testservers::writeFile(b, "keep me"));
    EXPECT_FALSE(fileRename(a.c_str(), b.c_str()));
    EXPECT_FALSE(moveToDestination(a.c_str(), b.c_str()));
    EXPECT_EQ(testservers::readFile(b), "keep me");
    EXPECT_TRUE(pathExists(a.c_str()));
    EXPECT_TRUE(moveToDestination(a.c_str(), a.c_str()));  // same file: nothing to do
    EXPECT_FALSE(moveToDestination(c.c_str(), (dir.path() + "/d.bin").c_str()));
    EXPECT_TRUE(fileRename(a.c_str(), c.c_str()));
    EXPECT_FALSE(pathExists(a.c_str()));
    EXPECT_TRUE(moveToDestination(c.c_str(), a.c_str()));
    EXPECT_EQ(testservers::readFile(a).size(), 10u);
    EXPECT_FALSE(fileCreateNew(a.c_str()) != NO_FILE);
    EXPECT_TRUE(recycleFile(a.c_str()));
    EXPECT_FALSE(pathExists(a.c_str()));
}
