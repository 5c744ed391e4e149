// The posix seam's TLS sockets keep the notification rules of plain ones:
// the handshake ends with one NET_TLS and no NET_READ before it, plaintext
// held inside the TLS state gets a NET_READ of its own after every read that
// leaves some behind (and none without a read); a peer that closes, answers garbage or stalls in the
// handshake gives the right outcome.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/events.h"
#include "platform/net.h"
#include "platform/posix/event_loop.h"
#include "platform/tls.h"
#include "tests/servers/test_servers.h"

namespace {

// Runs the loop with a 2 ms tick until quit or about 8 s.
class Loop : public PlatformEvents {
public:
    std::function<void(SocketHandle, int, int)> onSocket;
    std::function<void()> tick;
    int ticks = 0;
    Loop() {
        resetEventLoop();
        setTickIntervalMs(2);
        setPlatformEvents(this);
        startTickTimer();
    }
    ~Loop() {
        stopTickTimer();
        setPlatformEvents(nullptr);
        resetEventLoop();
        setTickIntervalMs(TICK_INTERVAL_MS);
    }
    void onHostResolved(LookupTask, int, uint32_t) override {}
    void onSessionSocket(SocketHandle s, int event, int error) override { onSocket(s, event, error); }
    void onDataSocket(SocketHandle, int, int) override {}
    void onTick() override {
        if (++ticks >= 4000) quitEventLoop();
        if (tick) tick();
    }
};

SocketHandle connectTo(uint16_t port) {
    SocketHandle s = socketCreate();
    EXPECT_EQ(socketSelect(s, SOCKET_ROUTE_SESSION, NET_ALL), 0);
    EXPECT_EQ(socketConnect(s, htonl(INADDR_LOOPBACK), port), SOCKET_ERROR);
    return s;
}

}  // namespace

// The server sends all but the last byte and then holds the connection open:
// once the socket is drained, only the plaintext held inside the TLS state
// can produce the read events that the small reads need.
TEST(TlsSeam, HeldPlaintextGetsItsOwnReadEvenWhenTheSocketIsQuiet) {
    const auto& certs = testservers::processCertificates();
    testservers::TempDir dir;
    const uint64_t size = 100000;
    ASSERT_TRUE(testservers::writePatternFile(dir.path() + "/www/f.bin", size + 1));
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www", {certs.certificateFile("valid"), certs.keyFile()}));

    Loop loop;
    SocketHandle s = connectTo(server.port());
    std::string received, order;
    bool armed = false;       // a NET_READ was delivered and not yet followed by a read
    int skipTicks = 0;        // ticks left during which the test does not read
    int readsWhileArmed = 0;  // NET_READ while the previous one was not read: must stay 0
    auto readSome = [&] {
        char piece[7];  // small reads: most of every record stays held inside
        int n = socketRecv(s, piece, sizeof piece);
        armed = false;
        if (n > 0) received.append(piece, size_t(n));
        size_t body = received.find("\r\n\r\n");
        if (body != std::string::npos && received.size() - body - 4 == size) quitEventLoop();
    };
    loop.onSocket = [&](SocketHandle, int event, int error) {
        order += event == NET_CONNECT ? 'C' : event == NET_TLS ? 'T' : event == NET_READ ? 'R' : 'X';
        if (event == NET_CONNECT) {
            ASSERT_EQ(error, 0);
            ASSERT_EQ(tlsStart(s, "127.0.0.1"), 0);
            EXPECT_TRUE(tlsActive(s));
        } else if (event == NET_TLS) {
            ASSERT_EQ(error, 0);
            const char request[] = "GET /x/stall=100000/f.bin HTTP/1.0\r\nHost: localhost\r\n\r\n";
            ASSERT_EQ(socketSend(s, request, sizeof request - 1), int(sizeof request - 1));
        } else if (event == NET_READ) {
            if (armed) ++readsWhileArmed;
            armed = true;
            // Once, leave the event unread for a while: nothing more may come.
            if (received.size() > 5000 && skipTicks == 0 && order.find('P') == std::string::npos) {
                order += 'P';
                skipTicks = 20;
                return;
            }
            readSome();
        }
    };
    loop.tick = [&] {
        if (skipTicks > 0 && --skipTicks == 0) readSome();
    };
    ASSERT_TRUE(runEventLoop());
    EXPECT_EQ(readsWhileArmed, 0);
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(order.substr(0, 3), "CTR");  // no read event before the handshake's end
    EXPECT_EQ(order.find('X'), std::string::npos);  // no close: the server holds on
    size_t body = received.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    ASSERT_EQ(received.size() - body - 4, size);
    for (uint64_t i = 0; i < size; ++i)
        ASSERT_EQ(uint8_t(received[body + 4 + i]), testservers::patternByte(i)) << i;
    socketClose(s);
    EXPECT_FALSE(tlsActive(s));
    EXPECT_NE(platformTlsLibrary(), nullptr);
}

// A peer that is no TLS server: it reads the ClientHello, then closes,
// answers plain text, or says nothing until the test lets it close.
TEST(TlsSeam, PeerThatClosesAnswersGarbageOrStallsInTheHandshake) {
    testservers::processCertificates();
    struct Case {
        const char* fault;
        bool handshakeError;  // TLS_ERROR_HANDSHAKE, else a connection error
    } cases[] = {{"close", false}, {"garbage", true}, {"stall", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);

        Loop loop;
        SocketHandle s = connectTo(ntohs(a.sin_port));
        int peer = -1, tlsEvents = 0, tlsError = 0, otherEvents = 0, stallTicks = -1;
        loop.onSocket = [&](SocketHandle, int event, int error) {
            if (event == NET_CONNECT) {
                peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                ASSERT_EQ(tlsStart(s, "localhost"), 0);
                char hello[512];
                ASSERT_GT(recv(peer, hello, sizeof hello, 0), 0);  // the ClientHello went out at once
                if (std::string(c.fault) == "close") {
                    close(peer);
                    peer = -1;
                } else if (std::string(c.fault) == "garbage") {
                    const char text[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
                    ASSERT_GT(send(peer, text, sizeof text - 1, 0), 0);
                } else {
                    stallTicks = 50;
                }
            } else if (event == NET_TLS) {
                ++tlsEvents;
                tlsError = error;
                quitEventLoop();
            } else {
                ++otherEvents;
            }
        };
        loop.tick = [&] {
            // The stalling peer gives up after 50 quiet ticks.
            if (stallTicks > 0 && --stallTicks == 0) {
                EXPECT_EQ(tlsEvents, 0);
                close(peer);
                peer = -1;
            }
        };
        ASSERT_TRUE(runEventLoop());
        EXPECT_EQ(tlsEvents, 1);
        EXPECT_EQ(otherEvents, 0);
        EXPECT_NE(tlsError, 0);
        EXPECT_EQ(isTlsError(tlsError), c.handshakeError) << tlsError;
        if (c.handshakeError) {
            EXPECT_EQ(tlsError, TLS_ERROR_HANDSHAKE);
        }
        if (std::string(c.fault) == "stall") {
            EXPECT_EQ(stallTicks, 0);
        }
        socketClose(s);
        if (peer >= 0) close(peer);
        close(listener);
    }
}
