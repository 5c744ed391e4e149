// The test servers' harness: starts and stops nginx, fault_server.py and
// tinyproxy on 127.0.0.1 for the native tests (see test_servers.h).
#include "tests/servers/test_servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

#ifndef DORIMEL_FAULT_SERVER
#define DORIMEL_FAULT_SERVER "tests/servers/fault_server.py"
#endif
#ifndef DORIMEL_PYTHON
#define DORIMEL_PYTHON "python3"
#endif

namespace testservers {

namespace {

const int kStartTimeoutMs = 15000;

uint64_t nowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000;
}

void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") removeTree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Sleeps a little between two polls of something that cannot be awaited
// otherwise (a foreign server's port, a child's exit).
void shortPause() {
    timespec t{0, 10 * 1000 * 1000};
    nanosleep(&t, nullptr);
}

}  // namespace

// ---- files ------------------------------------------------------------------

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path_ = buffer.data();
}

TempDir::~TempDir() {
    if (!keep_ && !path_.empty()) removeTree(path_);
}

uint8_t patternByte(uint64_t offset) {
    uint64_t x = (offset + 1) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return uint8_t(x);
}

bool makeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

bool writePatternFile(const std::string& path, uint64_t size) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(path.substr(0, slash))) return false;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<uint8_t> block(1 << 16);
    bool ok = true;
    for (uint64_t done = 0; done < size && ok;) {
        size_t n = size_t(std::min<uint64_t>(block.size(), size - done));
        for (size_t i = 0; i < n; ++i) block[i] = patternByte(done + i);
        ok = fwrite(block.data(), 1, n, f) == n;
        done += n;
    }
    return fclose(f) == 0 && ok;
}

bool fileHasPattern(const std::string& path, uint64_t size) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> block(1 << 16);
    uint64_t done = 0;
    bool ok = true;
    for (;;) {
        size_t n = fread(block.data(), 1, block.size(), f);
        if (n == 0) break;
        for (size_t i = 0; i < n && ok; ++i) ok = block[i] == patternByte(done + i);
        done += n;
        if (!ok) break;
    }
    fclose(f);
    return ok && done == size;
}

bool writeFile(const std::string& path, const std::string& content) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(path.substr(0, slash))) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return bool(out.flush());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- ports ------------------------------------------------------------------

uint16_t freePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool waitForPort(uint16_t port, int timeoutMs) {
    uint64_t end = nowMs() + uint64_t(timeoutMs);
    do {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return true;
        shortPause();
    } while (nowMs() < end);
    return false;
}

// ---- child processes ----------------------------------------------------------

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& stdoutFile,
                         bool mergeStderr) {
    stop();
    if (argv.empty()) return false;
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::string program = argv[0];
    if (program.find('/') == std::string::npos) {
        const char* path = getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');) {
            std::string candidate = (dir.empty() ? "." : dir) + "/" + argv[0];
            if (access(candidate.c_str(), X_OK) == 0) {
                program = candidate;
                break;
            }
        }
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (stdoutFile.empty() && pipe2(fds, O_CLOEXEC) != 0) return false;
    int fileFd = -1;
    if (!stdoutFile.empty()) {
        fileFd = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fileFd < 0) return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // A server must not outlive a test process that dies without its
        // destructors (a crash, a time-out kill).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int out = fileFd >= 0 ? fileFd : fds[1];
        dup2(out, 1);
        if (mergeStderr) dup2(out, 2);
        execve(program.c_str(), args.data(), environ);
        _exit(127);
    }
    if (fds[1] >= 0) close(fds[1]);
    if (fileFd >= 0) close(fileFd);
    if (pid < 0) {
        if (fds[0] >= 0) close(fds[0]);
        return false;
    }
    pid_ = pid;
    stdoutFd_ = fds[0];
    pending_.clear();
    return true;
}

bool ChildProcess::readLine(std::string& line, int timeoutMs) {
    uint64_t end = nowMs() + uint64_t(timeoutMs);
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (stdoutFd_ < 0) return false;
        uint64_t now = nowMs();
        if (now >= end) return false;
        pollfd p{stdoutFd_, POLLIN, 0};
        int ready = poll(&p, 1, int(end - now));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[512];
        ssize_t got = read(stdoutFd_, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending_.append(buffer, size_t(got));
    }
}

bool ChildProcess::waitExit(int timeoutMs, int& exitCode) {
    if (pid_ <= 0) return false;
    uint64_t end = nowMs() + uint64_t(timeoutMs);
    // A pidfd makes the exit something poll() can wait for.
    int pidFd = int(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int status;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Collect the rest of the output up to the end of the pipe.
            if (stdoutFd_ >= 0) {
                char buffer[4096];
                for (ssize_t got; (got = read(stdoutFd_, buffer, sizeof buffer)) > 0;)
                    pending_.append(buffer, size_t(got));
            }
            if (pidFd >= 0) close(pidFd);
            return true;
        }
        uint64_t now = nowMs();
        if (now >= end) break;
        pollfd p[2] = {{pidFd, POLLIN, 0}, {stdoutFd_, POLLIN, 0}};
        int wait = pidFd >= 0 ? int(std::min<uint64_t>(end - now, 1000)) : 10;
        int ready = poll(p, 2, wait);
        if (ready > 0 && stdoutFd_ >= 0 && (p[1].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            ssize_t got = read(stdoutFd_, buffer, sizeof buffer);
            if (got > 0) pending_.append(buffer, size_t(got));
            else if (got == 0) {
                close(stdoutFd_);  // end of output; the exit follows
                stdoutFd_ = -1;
            }
        }
    }
    if (pidFd >= 0) close(pidFd);
    return false;
}

std::string ChildProcess::takeOutput() {
    std::string all;
    all.swap(pending_);
    return all;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

void ChildProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        uint64_t end = nowMs() + 5000;
        int status;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (nowMs() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            shortPause();
        }
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
}

// ---- fault_server.py ------------------------------------------------------------

bool TestCertificates::make(const std::string& folder) {
    folder_ = folder;
    if (!makeDirs(folder + "/db")) return false;
    const std::string conf =
        "[ca]\ndefault_ca = test\n[test]\ndatabase = " + folder + "/db/index.txt\nserial = " + folder +
        "/db/serial\nnew_certs_dir = " + folder + "/db\ndefault_md = sha256\npolicy = any\n"
        "[any]\ncommonName = supplied\n";
    if (!writeFile(folder + "/ca.cnf", conf) || !writeFile(folder + "/db/index.txt", "") ||
        !writeFile(folder + "/db/serial", "01\n") ||
        !writeFile(folder + "/names.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n") ||
        !writeFile(folder + "/wrong.ext", "subjectAltName=DNS:www.example.invalid\n"))
        return false;
    const char* script =
        "set -e\n"
        "key='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes'\n"
        "openssl req -x509 $key -keyout ca.key -out ca.pem -days 30 -subj '/CN=Dorimel Test CA'\n"
        "openssl req -x509 $key -keyout other.key -out other.pem -days 30 -subj '/CN=Other CA'\n"
        "openssl req -new $key -keyout server.key -out server.csr -subj '/CN=localhost'\n"
        "openssl req -new -key server.key -out wrong.csr -subj '/CN=www.example.invalid'\n"
        "sign() { openssl x509 -req -in $1 -CA $2.pem -CAkey $2.key -CAcreateserial -days 30 -extfile $3 -out $4; }\n"
        "sign server.csr ca names.ext valid.pem\n"
        "sign server.csr other names.ext untrusted.pem\n"
        "sign wrong.csr ca wrong.ext wrongname.pem\n"
        "openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in server.csr "
        "-startdate 20200101000000Z -enddate 20200201000000Z -extfile names.ext -out expired.pem\n";
    ChildProcess openssl;
    int code = -1;
    return openssl.start({"sh", "-c", std::string("cd '") + folder + "' && " + script}, folder + "/openssl.log",
                         true) &&
           openssl.waitExit(60000, code) && code == 0;
}

const TestCertificates& processCertificates() {
    static TempDir folder("dorimel-certificates");  // removed when the process ends
    static const TestCertificates made = [] {
        TestCertificates certificates;
        if (!certificates.make(folder.path())) fprintf(stderr, "test certificates: openssl failed\n");
        setenv("SSL_CERT_FILE", certificates.caFile().c_str(), 1);
        return certificates;
    }();
    return made;
}

bool FaultServer::start(const std::string& root, const ServerTls& tls, const std::string& handshakeFault) {
    stop();
    root_ = root;
    tls_ = tls.on() || !handshakeFault.empty();
    char pattern[] = "/tmp/dorimel-requests-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    recordDir_ = pattern;
    std::vector<std::string> argv = {DORIMEL_PYTHON, DORIMEL_FAULT_SERVER, "--root", root, "--record", recordDir_};
    if (tls.on()) argv.insert(argv.end(), {"--tls", tls.certificateFile, tls.keyFile});
    if (!handshakeFault.empty()) argv.insert(argv.end(), {"--handshake", handshakeFault});
    if (!process_.start(argv)) return false;
    std::string line;
    if (!process_.readLine(line, kStartTimeoutMs) || line.compare(0, 5, "PORT ") != 0) {
        stop();
        return false;
    }
    port_ = uint16_t(atoi(line.c_str() + 5));
    return port_ != 0;
}

void FaultServer::stop() {
    process_.stop();
    if (!recordDir_.empty()) removeTree(recordDir_);
    recordDir_.clear();
    port_ = 0;
}

std::string FaultServer::url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<std::string> FaultServer::requests() const {
    std::vector<std::string> result;
    for (int n = 1;; ++n) {
        std::string path = recordDir_ + "/" + std::to_string(n) + ".req";
        struct stat st;
        if (stat(path.c_str(), &st) != 0) break;
        result.push_back(readFile(path));
    }
    return result;
}

bool FaultServer::waitForRequests(size_t count, int timeoutMs) const {
    uint64_t end = nowMs() + uint64_t(timeoutMs);
    while (requests().size() < count) {
        if (nowMs() >= end) return false;
        shortPause();
    }
    return true;
}

// ---- nginx ------------------------------------------------------------------------

bool NginxServer::start(const std::string& root, const NginxOptions& options) {
    stop();
    dir_ = new TempDir("dorimel-nginx");
    const std::string d = dir_->path();
    tls_ = options.tls.on();
    const std::string tlsLines = tls_ ? "    ssl_certificate " + options.tls.certificateFile + ";\n    ssl_certificate_key " +
                                           options.tls.keyFile + ";\n"
                                     : std::string();
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        std::string escaped;
        for (char c : options.disposition) {
            if (c == '\'' || c == '\\') escaped += '\\';
            escaped += c;
        }
        std::ostringstream conf;
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n"
             << "  types { application/zip zip; text/html html htm; text/plain txt; }\n"
             << "  default_type application/octet-stream;\n"
             << "  log_format t '$request | range=$http_range';\n"
             << "  access_log " << d << "/access.log t;\n"
             << "  log_format h '$request | referer=$http_referer | cookie=$http_cookie';\n"
             << "  access_log " << d << "/headers.log h;\n"
             << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
             << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
             << "  scgi_temp_path " << d << "/scgi;\n"
             << "  sendfile on;\n  keepalive_timeout 0;\n"
             << "  server {\n    listen 127.0.0.1:" << port_ << (options.tls.on() ? " ssl" : "") << ";\n"
             << "    root " << root << ";\n"
             << "    location /limited/ { limit_rate " << options.limitRateKiB << "k; }\n"
             << "    location /disposition/ { add_header Content-Disposition '" << escaped << "'; }\n"
             << tlsLines
             << "  }\n}\n";
        if (!writeFile(d + "/nginx.conf", conf.str())) return false;
        if (!process_.start({"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
                            d + "/stdout.log"))
            return false;
        if (waitForPort(port_, kStartTimeoutMs)) return true;
        process_.stop();  // the port was taken meanwhile: another one
    }
    return false;
}

void NginxServer::stop() {
    process_.stop();
    delete dir_;
    dir_ = nullptr;
    port_ = 0;
}

std::string NginxServer::url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<std::string> NginxServer::accessLog() const {
    return logLines("access.log");
}

std::vector<std::string> NginxServer::headersLog() const {
    return logLines("headers.log");
}

std::vector<std::string> NginxServer::logLines(const char* name) const {
    std::vector<std::string> lines;
    if (!dir_) return lines;
    std::istringstream in(readFile(dir_->path() + "/" + name));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---- tinyproxy ------------------------------------------------------------------

bool TinyProxy::start(uint16_t connectPort) {
    stop();
    dir_ = new TempDir("dorimel-proxy");
    const std::string d = dir_->path();
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        std::ostringstream conf;
        conf << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 60\n"
             << "Allow 127.0.0.1\nMaxClients 20\n"
             << "LogFile \"" << d << "/tinyproxy.log\"\nLogLevel Info\n"
             << "PidFile \"" << d << "/tinyproxy.pid\"\n"
             << "DisableViaHeader Yes\n";
        if (connectPort != 0) conf << "ConnectPort " << connectPort << "\n";
        if (getuid() == 0) conf << "User nobody\nGroup nogroup\n";
        if (!writeFile(d + "/tinyproxy.conf", conf.str())) return false;
        chmod(d.c_str(), 0777);
        if (!process_.start({"tinyproxy", "-d", "-c", d + "/tinyproxy.conf"}, d + "/stdout.log")) return false;
        if (waitForPort(port_, kStartTimeoutMs)) return true;
        process_.stop();
    }
    return false;
}

void TinyProxy::stop() {
    process_.stop();
    delete dir_;
    dir_ = nullptr;
    port_ = 0;
}

std::string TinyProxy::address() const { return "127.0.0.1:" + std::to_string(port_); }

}  // namespace testservers
