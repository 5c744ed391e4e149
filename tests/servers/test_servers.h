// Real servers on 127.0.0.1 for the native tests: nginx (Debian's
// nginx-light, generated configuration), our fault-injecting HTTP server
// (fault_server.py, see its header for the URL directives) and tinyproxy.
// Each object starts its server in start() and stops it in stop() or its
// destructor; every wait is bounded. Link with the dorimel_test_servers
// library (tests/servers/CMakeLists.txt).
//
// Typical use in a GoogleTest:
//   testservers::TempDir dir;
//   testservers::writePatternFile(dir.path() + "/www/f.bin", 100001);
//   testservers::FaultServer server;
//   ASSERT_TRUE(server.start(dir.path() + "/www"));
//   std::string url = server.url("/x/close=5000,times=1/f.bin");
//   ... run the engine on url ...
//   auto requests = server.requests();   // exact header bytes, in order
//   EXPECT_TRUE(testservers::fileHasPattern(target, 100001));
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testservers {

// A fresh folder under $TMPDIR (or /tmp), removed with its content on
// destruction unless keep() was called.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "dorimel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

// The test content: byte i of every pattern file is patternByte(i), a
// sequence that does not repeat within 2^32 bytes, so that data at a wrong
// offset never compares equal.
uint8_t patternByte(uint64_t offset);
// Writes a pattern file of size bytes (creating missing folders).
bool writePatternFile(const std::string& path, uint64_t size);
// True when the file at path has exactly size bytes of the pattern.
bool fileHasPattern(const std::string& path, uint64_t size);

bool writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool makeDirs(const std::string& path);

// A port on 127.0.0.1 that was free a moment ago.
uint16_t freePort();
// Connects to 127.0.0.1:port until it accepts, at most timeoutMs.
bool waitForPort(uint16_t port, int timeoutMs);

// A child process (argv[0] is looked up in PATH), its standard output (and,
// with mergeStderr, its standard error) readable by line. Killed (SIGTERM,
// then SIGKILL after 5 s) and reaped by stop() and the destructor.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool start(const std::vector<std::string>& argv, const std::string& stdoutFile = "",
               bool mergeStderr = false);
    // Reads one line of the child's standard output (when not redirected to a
    // file), at most timeoutMs. False at the end or on time-out.
    bool readLine(std::string& line, int timeoutMs);
    // Waits for the child's exit, at most timeoutMs, collecting its output
    // meanwhile (so that a full pipe cannot block it). exitCode is the exit
    // status, or 128 + the signal. False on time-out (the child still runs).
    bool waitExit(int timeoutMs, int& exitCode);
    // Everything the child wrote that was not read by readLine yet (after
    // waitExit: all of it).
    std::string takeOutput();
    // Sends a signal (SIGINT for Ctrl-C).
    void signal(int number);
    void stop();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
};

// Certificates made at test time with the openssl command line in a folder:
// a test CA (caFile(), what SSL_CERT_FILE points at) and server certificates
// with one key (keyFile()): "valid" (localhost and 127.0.0.1, by the test
// CA), "untrusted" (the same names by another CA), "expired" (by the test
// CA, valid only in 2020) and "wrongname" (by the test CA, for
// www.example.invalid only).
class TestCertificates {
public:
    bool make(const std::string& folder);
    std::string caFile() const { return folder_ + "/ca.pem"; }
    std::string certificateFile(const std::string& kind) const { return folder_ + "/" + kind + ".pem"; }
    std::string keyFile() const { return folder_ + "/server.key"; }

private:
    std::string folder_;
};

// The certificates of this test process, made on the first call in a folder
// that lives until the process ends, with SSL_CERT_FILE pointed at their CA
// (OpenSSL reads it once, so one process has one test CA).
const TestCertificates& processCertificates();

// TLS of a test server: certificate and key files (empty: plain http).
struct ServerTls {
    std::string certificateFile;
    std::string keyFile;
    bool on() const { return !certificateFile.empty(); }
};

// fault_server.py on a free port, serving root. Requests are recorded in a
// folder of its own. With tls, every connection is TLS; with handshakeFault
// ("close", "garbage", "stall") every connection fails its handshake so.
class FaultServer {
public:
    FaultServer() = default;
    ~FaultServer() { stop(); }
    bool start(const std::string& root, const ServerTls& tls = ServerTls(),
               const std::string& handshakeFault = "");
    void stop();
    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" + path (path starts with "/"); with TLS
    // "https://localhost:<port>" + path.
    std::string url(const std::string& path) const;
    // Header bytes of every request so far, in arrival order.
    std::vector<std::string> requests() const;
    // Waits until at least count requests were recorded, at most timeoutMs.
    bool waitForRequests(size_t count, int timeoutMs) const;
    const std::string& root() const { return root_; }

private:
    ChildProcess process_;
    std::string root_;
    std::string recordDir_;
    uint16_t port_ = 0;
    bool tls_ = false;
};

struct NginxOptions {
    // Per-connection rate of the location /limited/ (files under
    // <root>/limited/), in KiB/s.
    int limitRateKiB = 100;
    // Value of the Content-Disposition header added to every file under
    // /disposition/ (files under <root>/disposition/).
    std::string disposition = "attachment; filename=\"served name.bin\"";
    // Serve https with this certificate instead of http.
    ServerTls tls;
};

// nginx serving root on a free port: ranges as nginx does them, plus the
// /limited/ and /disposition/ locations. Its configuration, logs and
// temporary folders live in a folder of its own. The access log records each
// request line and its Range header.
class NginxServer {
public:
    NginxServer() = default;
    ~NginxServer() { stop(); }
    bool start(const std::string& root, const NginxOptions& options = NginxOptions());
    void stop();
    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" + path, or "https://localhost:<port>" + path.
    std::string url(const std::string& path) const;
    // Lines of the access log: "<request line> | range=<Range or ->".
    std::vector<std::string> accessLog() const;
    // Lines of a second log: "<request line> | referer=<..> | cookie=<..>".
    std::vector<std::string> headersLog() const;

private:
    std::vector<std::string> logLines(const char* name) const;
    ChildProcess process_;
    TempDir* dir_ = nullptr;
    uint16_t port_ = 0;
    bool tls_ = false;
};

// tinyproxy on a free port of 127.0.0.1, allowing 127.0.0.1 only; with
// connectPort, CONNECT tunnels to that port only.
class TinyProxy {
public:
    TinyProxy() = default;
    ~TinyProxy() { stop(); }
    bool start(uint16_t connectPort = 0);
    void stop();
    uint16_t port() const { return port_; }
    // "127.0.0.1:<port>", the form of the proxy setting.
    std::string address() const;

private:
    ChildProcess process_;
    TempDir* dir_ = nullptr;
    uint16_t port_ = 0;
};

}  // namespace testservers
