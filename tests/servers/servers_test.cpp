// The test servers themselves: each one starts, answers on 127.0.0.1 as the
// engine tests expect, and stops. A failure here means a missing package or a
// broken harness, not an engine fault.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

// One blocking HTTP exchange: the whole response up to the server's close.
std::string fetch(uint16_t port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), 0) == ssize_t(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, size_t(n));
    }
    close(fd);
    return response;
}

std::string body(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string patternText(uint64_t from, uint64_t count) {
    std::string s;
    for (uint64_t i = 0; i < count; ++i) s += char(patternByte(from + i));
    return s;
}

}  // namespace

TEST(TestServers, PatternNeverMatchesItselfAtAnotherOffset) {
    int equal = 0;
    for (uint64_t shift : {1ull, 251ull, 4096ull, 65536ull, 1000003ull})
        if (patternText(0, 64) == patternText(shift, 64)) ++equal;
    EXPECT_EQ(equal, 0);
}

TEST(TestServers, FaultServerServesRangesAndRecordsExactHeaders) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 1000));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    std::string request = "GET /f/f.bin HTTP/1.0\r\nRange: bytes=400-\r\nX-Order: 1\r\n\r\n";
    std::string response = fetch(server.port(), request);
    EXPECT_EQ(response.compare(0, 12, "HTTP/1.0 206"), 0) << response;
    EXPECT_NE(response.find("Content-Range: bytes 400-999/1000\r\n"), std::string::npos);
    EXPECT_EQ(body(response), patternText(400, 600));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], request);

    // Misbehaviours hold for the first request only with times=1.
    std::string early = fetch(server.port(), "GET /x/close=10,times=1/f.bin HTTP/1.0\r\n\r\n");
    EXPECT_EQ(body(early), patternText(0, 10));
    std::string whole = fetch(server.port(), "GET /x/close=10,times=1/f.bin HTTP/1.0\r\n\r\n");
    EXPECT_EQ(body(whole), patternText(0, 1000));
    std::string wrong = fetch(server.port(), "GET /x/crstart=1,type=text%2Fhtml/f.bin HTTP/1.0\r\nRange: bytes=5-\r\n\r\n");
    EXPECT_NE(wrong.find("Content-Range: bytes 6-999/1000\r\n"), std::string::npos) << wrong;
    EXPECT_NE(wrong.find("Content-Type: text/html\r\n"), std::string::npos);
    std::string moved = fetch(server.port(), "GET /x/status=302,loc=ftp%3A%2F%2F127.0.0.1%2Fa/f.bin HTTP/1.0\r\n\r\n");
    EXPECT_NE(moved.find("Location: ftp://127.0.0.1/a\r\n"), std::string::npos) << moved;
}

TEST(TestServers, NginxServesRangesAndDisposition) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 100001));
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/disposition/d.bin", 10));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    std::string response = fetch(nginx.port(), "GET /f.bin HTTP/1.0\r\nRange: bytes=50000-\r\n\r\n");
    EXPECT_EQ(response.compare(0, 12, "HTTP/1.1 206"), 0) << response.substr(0, 200);
    EXPECT_EQ(body(response), patternText(50000, 50001));
    std::string named = fetch(nginx.port(), "GET /disposition/d.bin HTTP/1.0\r\n\r\n");
    EXPECT_NE(named.find("Content-Disposition: attachment; filename=\"served name.bin\"\r\n"), std::string::npos)
        << named;
    nginx.stop();
}

TEST(TestServers, TinyProxyForwardsToALocalServer) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 3000));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    TinyProxy proxy;
    ASSERT_TRUE(proxy.start());
    std::string response =
        fetch(proxy.port(), "GET " + server.url("/f/f.bin") + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(body(response), patternText(0, 3000)) << response.substr(0, 300);
    ASSERT_EQ(server.requests().size(), 1u);
}
