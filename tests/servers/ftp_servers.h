// FTP servers of the native tests, all on 127.0.0.1:
//  - VsftpdServer: Debian's vsftpd, anonymous log-in, passive mode on the
//    loopback, serving a folder (paths in URLs are the folder's full paths:
//    the server runs as the launching user, without a change of root).
//  - UserFtpServer: pyftpdlib (ftp_user_server.py) with one user name and
//    password; the folder is the user's root ("/" in URLs).
//  - ScriptedFtpServer: a server of our own in a thread of the test process
//    that answers each control connection from a script: the exact commands
//    it received are recorded, replies can be sent in pieces, and the data
//    connection is opened, fed and closed where the script says.
// Every wait is bounded; each object stops its server on destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/servers/test_servers.h"

namespace testservers {

class VsftpdServer {
  public:
    VsftpdServer() = default;
    ~VsftpdServer() { stop(); }
    // maxRate: bytes per second of each transfer (0: no limit); maxPerIp:
    // simultaneous connections from one address (0: no limit).
    bool start(const std::string& root, int maxRate = 0, int maxPerIp = 0);
    void stop();
    uint16_t port() const { return port_; }
    // Listen on [::1] only (set before start); clients then use EPSV.
    bool ipv6 = false;
    // "ftp://127.0.0.1:<port>" (with ipv6 "ftp://[::1]:<port>") + root + path
    // (path starts with "/").
    std::string url(const std::string& path) const;

  private:
    ChildProcess process_;
    TempDir* dir_ = nullptr;
    std::string root_;
    uint16_t port_ = 0;
};

class UserFtpServer {
  public:
    UserFtpServer() = default;
    ~UserFtpServer() { stop(); }
    bool start(const std::string& root, const std::string& user, const std::string& password);
    void stop();
    uint16_t port() const { return port_; }
    // "ftp://<userInfo>@127.0.0.1:<port>" + path.
    std::string url(const std::string& userInfo, const std::string& path) const;

  private:
    ChildProcess process_;
    uint16_t port_ = 0;
};

// One step of a scripted control connection.
struct FtpStep {
    // The command expected from the client (its line without "\r\n"); empty
    // for the greeting, which is sent without reading anything.
    std::string expect;
    // Sent after the command: the whole reply text with its line ends. With
    // pieces, it is sent in the pieces given instead (separate sends, a short
    // pause between them so that they arrive as separate reads).
    std::string reply;
    std::vector<std::string> pieces;
    // PASV: open a data listener before replying; "{ADDR}" in the reply
    // becomes "127,0,0,1,p1,p2" and "{PORT}" just "p1,p2". The data connection
    // is accepted after the reply.
    bool passive = false;
    // Data sent on the data connection after the reply, which is then closed;
    // then afterData is sent on the control connection.
    bool sendData = false;
    std::string data;
    std::string afterData;
    // Sent before the data instead of after: the server announces the end
    // before the file (the reply above, if any, is still sent first).
    bool endBeforeData = false;
    // Keep the data connection open until the end of the script (after the
    // remaining steps) instead of closing it right after the data.
    bool closeDataLater = false;
    // Close the control connection after this step (the rest of the script
    // is dropped).
    bool closeAfter = false;
};

class ScriptedFtpServer {
  public:
    ScriptedFtpServer() = default;
    ~ScriptedFtpServer() { stop(); }
    // Control connection i follows scripts[i]; connections beyond the scripts
    // are closed at once. After its last step a connection records what else
    // comes; any command beyond the script closes the connection.
    bool start(const std::vector<std::vector<FtpStep>>& scripts);
    void stop();
    uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;
    // The commands each control connection received, in order.
    std::vector<std::vector<std::string>> commands() const;
    // Number of control connections accepted.
    int connections() const { return accepted_; }

  private:
    void acceptLoop();
    void serve(int fd, size_t index);

    std::vector<std::vector<FtpStep>> scripts_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> commands_;
    std::vector<int> openFds_;
};

}  // namespace testservers
