// FTP servers of the native tests (see ftp_servers.h).
#include "tests/servers/ftp_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <sstream>

namespace testservers {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStepTimeoutMs = 20000;

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Waits until fd is readable, in slices so that a stopping server returns.
bool waitReadable(int fd, int timeoutMs, const std::atomic<bool>& stopping) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r > 0) return true;
        if (r < 0 || std::chrono::steady_clock::now() > end) return false;
    }
    return false;
}

// One command line (without "\r\n"); false at the end of the connection.
bool readLine(int fd, std::string& pending, std::string& line, int timeoutMs,
              const std::atomic<bool>& stopping) {
    for (;;) {
        size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 2);
            return true;
        }
        if (!waitReadable(fd, timeoutMs, stopping)) return false;
        char buffer[512];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

int listenLoopback(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

// ---- vsftpd -------------------------------------------------------------------

bool VsftpdServer::start(const std::string& root, int maxRate, int maxPerIp) {
    stop();
    dir_ = new TempDir("dorimel-vsftpd");
    root_ = root;
    const std::string d = dir_->path();
    std::mt19937 random(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        unsigned passiveLow = 40000 + random() % 20000;
        std::ostringstream conf;
        conf << (ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\nlisten_port="
                      : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=")
             << port_
             << "\n"
             << "background=NO\nrun_as_launching_user=YES\n"
             << "anonymous_enable=YES\nno_anon_password=NO\nanon_root=" << root << "\n"
             << "local_enable=NO\nwrite_enable=NO\n"
             << "pasv_enable=YES\n" << (ipv6 ? "" : "pasv_address=127.0.0.1\n") << "pasv_min_port=" << passiveLow
             << "\npasv_max_port=" << passiveLow + 200 << "\n"
             << "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
             << "vsftpd_log_file=" << d << "/vsftpd.log\nmax_clients=0\n"
             << "max_per_ip=" << maxPerIp << "\n"
             << "anon_max_rate=" << maxRate << "\n";
        if (!writeFile(d + "/vsftpd.conf", conf.str())) return false;
        if (!process_.start({"/usr/sbin/vsftpd", d + "/vsftpd.conf"}, d + "/stdout.log", true))
            return false;
        if (waitForPort(port_, kStartTimeoutMs, ipv6)) return true;
        process_.stop();
    }
    return false;
}

void VsftpdServer::stop() {
    process_.stop();
    delete dir_;
    dir_ = nullptr;
    port_ = 0;
}

std::string VsftpdServer::url(const std::string& path) const {
    return (ipv6 ? "ftp://[::1]:" : "ftp://127.0.0.1:") + std::to_string(port_) + root_ + path;
}

// ---- pyftpdlib ------------------------------------------------------------------

bool UserFtpServer::start(const std::string& root, const std::string& user,
                          const std::string& password) {
    stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        // The interpreter the build found with pyftpdlib (Debian's, where
        // python3-pyftpdlib is installed for it).
        if (!process_.start({DORIMEL_FTP_PYTHON, DORIMEL_FTP_USER_SERVER, root,
                             std::to_string(port_), user, password}))
            return false;
        std::string line;
        if (process_.readLine(line, kStartTimeoutMs) && line == "READY" &&
            waitForPort(port_, kStartTimeoutMs))
            return true;
        process_.stop();
    }
    return false;
}

void UserFtpServer::stop() {
    process_.stop();
    port_ = 0;
}

std::string UserFtpServer::url(const std::string& userInfo, const std::string& path) const {
    return "ftp://" + userInfo + "@127.0.0.1:" + std::to_string(port_) + path;
}

// ---- scripted server ----------------------------------------------------------------

bool ScriptedFtpServer::start(const std::vector<std::vector<FtpStep>>& scripts) {
    stop();
    stopping_ = false;
    accepted_ = 0;
    scripts_ = scripts;
    commands_.clear();
    listenFd_ = listenLoopback(port_);
    if (listenFd_ < 0) return false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void ScriptedFtpServer::stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

std::string ScriptedFtpServer::url(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::vector<std::string>> ScriptedFtpServer::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void ScriptedFtpServer::acceptLoop() {
    while (!stopping_) {
        if (!waitReadable(listenFd_, 100, stopping_)) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        size_t index = static_cast<size_t>(accepted_++);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.resize(index + 1);
        }
        workers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void ScriptedFtpServer::serve(int fd, size_t index) {
    std::string pending;
    auto record = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_[index].push_back(line);
    };
    int dataFd = -1;
    bool ok = index < scripts_.size();
    if (ok) {
        for (const FtpStep& step : scripts_[index]) {
            if (!step.expect.empty()) {
                std::string line;
                if (!readLine(fd, pending, line, kStepTimeoutMs, stopping_)) {
                    ok = false;
                    break;
                }
                record(line);
                if (line != step.expect) {
                    ok = false;
                    break;
                }
            }
            int dataListen = -1;
            std::string reply = step.reply;
            std::vector<std::string> pieces = step.pieces;
            if (step.passive) {
                uint16_t dataPort = 0;
                dataListen = listenLoopback(dataPort);
                std::string p =
                    std::to_string(dataPort / 256) + "," + std::to_string(dataPort % 256);
                reply = replaceAll(replaceAll(reply, "{ADDR}", "127,0,0,1," + p), "{PORT}", p);
                for (std::string& piece : pieces)
                    piece = replaceAll(replaceAll(piece, "{ADDR}", "127,0,0,1," + p), "{PORT}", p);
            }
            if (pieces.empty()) {
                sendAll(fd, reply);
            } else {
                for (const std::string& piece : pieces) {
                    sendAll(fd, piece);
                    // Separate segments, so that the client sees separate reads.
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                }
            }
            if (dataListen >= 0) {
                if (waitReadable(dataListen, kStepTimeoutMs, stopping_))
                    dataFd = accept4(dataListen, nullptr, nullptr, SOCK_CLOEXEC);
                close(dataListen);
            }
            if (step.sendData) {
                if (step.endBeforeData) sendAll(fd, step.afterData);
                if (dataFd >= 0) {
                    sendAll(dataFd, step.data);
                    if (!step.closeDataLater) {
                        shutdown(dataFd, SHUT_WR);
                        close(dataFd);
                        dataFd = -1;
                    }
                }
                if (!step.endBeforeData) sendAll(fd, step.afterData);
            }
            if (step.closeAfter) {
                ok = false;
                break;
            }
        }
    }
    if (dataFd >= 0) {
        shutdown(dataFd, SHUT_WR);
        close(dataFd);
        dataFd = -1;
    }
    if (ok) {
        // The script is done: record what else arrives until the client
        // closes; a command beyond the script ends the connection.
        std::string line;
        if (readLine(fd, pending, line, 60000, stopping_)) record(line);
    }
    if (dataFd >= 0) close(dataFd);
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

}  // namespace testservers
