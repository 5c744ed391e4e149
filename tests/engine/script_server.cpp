// The scripted HTTP server of the engine tests (see script_server.h).
#include "tests/engine/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/servers/test_servers.h"

bool ScriptConnection::send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ScriptConnection::sendPattern(uint64_t from, uint64_t to, size_t chunk, int pauseMs) {
    std::string piece;
    for (uint64_t at = from; at < to && !stopping_;) {
        uint64_t end = std::min<uint64_t>(to, at + chunk);
        piece.resize(static_cast<size_t>(end - at));
        for (uint64_t i = at; i < end; ++i) piece[static_cast<size_t>(i - at)] = static_cast<char>(testservers::patternByte(i));
        if (!send(piece)) return false;
        at = end;
        if (pauseMs > 0 && at < to) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return true;
}

void ScriptConnection::holdUntilClosed(int maxMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    char scrap[4096];
    while (!stopping_ && std::chrono::steady_clock::now() < end) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            if (recv(fd_, scrap, sizeof scrap, 0) <= 0) return;
        }
    }
}

ScriptServer::ScriptServer(Script script) : script_(std::move(script)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listenFd_, 16);
    socklen_t length = sizeof address;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() {
    stopping_ = true;
    acceptThread_.join();
    for (std::thread& worker : workers_) worker.join();
    close(listenFd_);
}

std::string ScriptServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptServer::acceptLoop() {
    int number = 0;
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        ++number;
        workers_.emplace_back([this, fd, number] {
            std::string request;
            char c;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end &&
                   !stopping_) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                if (recv(fd, &c, 1, 0) <= 0) break;
                request += c;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            ScriptConnection connection(fd, number, request, stopping_);
            script_(connection);
            shutdown(fd, SHUT_WR);
            // Let the client read to the end before the descriptor goes.
            connection.holdUntilClosed(2000);
            close(fd);
        });
    }
}
