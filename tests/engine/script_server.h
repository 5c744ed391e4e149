// A scripted HTTP server for the engine tests, for exchanges the fault server
// cannot express (a different answer per connection): listens on 127.0.0.1,
// reads each request header, records it and hands the connection to the
// test's script, one thread per connection. Every wait is bounded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptConnection {
public:
    ScriptConnection(int fd, int number, std::string request, const std::atomic<bool>& stopping)
        : fd_(fd), number_(number), request_(std::move(request)), stopping_(stopping) {}
    int number() const { return number_; }  // 1 for the first connection
    const std::string& request() const { return request_; }
    // Sends everything; false when the client has gone.
    bool send(const std::string& data);
    // Sends pattern bytes [from, to) in pieces of chunk bytes, pausing
    // pauseMs between pieces; false when the client has gone.
    bool sendPattern(uint64_t from, uint64_t to, size_t chunk = 65536, int pauseMs = 0);
    // Keeps the connection open without sending until the client closes it
    // or the server stops (at most maxMs).
    void holdUntilClosed(int maxMs = 30000);

private:
    int fd_;
    int number_;
    std::string request_;
    const std::atomic<bool>& stopping_;
};

class ScriptServer {
public:
    using Script = std::function<void(ScriptConnection&)>;
    explicit ScriptServer(Script script);
    ~ScriptServer();
    uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;
    std::vector<std::string> requests() const;

private:
    void acceptLoop();
    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};
