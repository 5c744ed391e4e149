// The Windows side of the platform seam under a real Winsock (Wine): a hidden
// window receives the seam's messages and hands them to handleSeamMessage,
// exactly as the download window does. Checks connect, read re-arming, close,
// refusal, lookup, the tick and the 64-bit file operations; prints one line
// per check and "FAILED" on any failure (exit status 1).
//
// Other modes, for the TLS tests (tests/platform/wine_tls_test.py):
//   seam_probe.exe install-ca FILE.der | remove-ca FILE.der
//       adds the certificate to (removes it from) the CurrentUser "Root" store
//   seam_probe.exe fetch PORT HOST PATH OUTFILE
//       connects to 127.0.0.1:PORT through the seam, starts TLS for HOST and
//       prints "tls <error>"; on success sends an HTTP/1.0 GET for PATH and
//       reads the answer the way the engine does (the header one byte per
//       NET_READ, the body in large reads, after NET_CLOSE until recv says
//       0), writes the body to OUTFILE and prints "body <bytes> <ms>".
#include "platform/win32/win32_seam.h"

#include <wincrypt.h>

#include "platform/tls.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    printf("%s %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

struct Event {
    char kind;
    intptr_t handle;
    int event;
    int error;
    uint32_t address;
};

class Recorder : public PlatformEvents {
public:
    std::vector<Event> events;
    int ticks = 0;
    void onHostResolved(LookupTask task, int error, uint32_t address) override {
        events.push_back({'L', task, 0, error, address});
    }
    void onSessionSocket(SocketHandle s, int event, int error) override {
        events.push_back({'S', s, event, error, 0});
    }
    void onDataSocket(SocketHandle s, int event, int error) override { events.push_back({'D', s, event, error, 0}); }
    void onTick() override { ++ticks; }
};

Recorder recorder;

LRESULT CALLBACK probeWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result;
    if (handleSeamMessage(hwnd, message, wParam, lParam, &result)) return result;
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Pumps messages until done() or timeoutMs passed.
template <typename Done>
bool pumpUntil(Done done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!done()) {
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - spent, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    return true;
}

int countEvents(SocketHandle s, int event) {
    int n = 0;
    for (const Event& e : recorder.events)
        if (e.handle == s && e.event == event) ++n;
    return n;
}

SOCKET listenLoopback(uint16_t& port) {
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(l, 4);
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return l;
}

void socketChecks() {
    uint16_t port = 0;
    SOCKET listener = listenLoopback(port);
    SocketHandle s = socketCreate();
    check(s != NO_SOCKET, "socketCreate");
    check(socketSelect(s, SOCKET_ROUTE_SESSION, NET_ALL) == 0, "socketSelect");
    int rc = socketConnect(s, htonl(INADDR_LOOPBACK), port);
    check(rc == SOCKET_ERROR && netLastError() == WSAEWOULDBLOCK, "connect under way");
    check(pumpUntil([&] { return countEvents(s, NET_CONNECT) > 0; }, 5000), "NET_CONNECT arrives");
    SOCKET peer = accept(listener, nullptr, nullptr);
    send(peer, "abc", 3, 0);
    shutdown(peer, SD_SEND);
    check(pumpUntil([&] { return countEvents(s, NET_READ) > 0; }, 5000), "NET_READ arrives");
    // No read: no second NET_READ within 300 ms.
    pumpUntil([] { return false; }, 300);
    check(countEvents(s, NET_READ) == 1, "NET_READ not repeated without a read");
    std::string got;
    for (int i = 0; i < 3; ++i) {
        char c;
        if (socketRecv(s, &c, 1) == 1) got += c;
        pumpUntil([&] { return countEvents(s, NET_READ) > i + 1 || countEvents(s, NET_CLOSE) > 0; }, 2000);
    }
    check(got == "abc", "bytes read one by one");
    check(pumpUntil([&] { return countEvents(s, NET_CLOSE) > 0; }, 5000), "NET_CLOSE after the data");
    char c;
    check(socketRecv(s, &c, 1) == 0, "recv 0 at the end");
    socketSelect(s, SOCKET_ROUTE_SESSION, 0);
    socketShutdown(s);
    socketClose(s);
    closesocket(peer);
    closesocket(listener);

    // Refused: a port nobody listens on any more.
    uint16_t closedPort = 0;
    closesocket(listenLoopback(closedPort));
    SocketHandle r = socketCreate();
    socketSelect(r, SOCKET_ROUTE_DATA, NET_ALL);
    socketConnect(r, htonl(INADDR_LOOPBACK), closedPort);
    check(pumpUntil([&] { return countEvents(r, NET_CONNECT) > 0; }, 10000), "refused connect reported");
    for (const Event& e : recorder.events)
        if (e.handle == r && e.event == NET_CONNECT)
            check(e.kind == 'D' && e.error == WSAECONNREFUSED, "refusal on the data route with WSAECONNREFUSED");
    check(!errorText(WSAECONNREFUSED).empty(), "errorText of WSAECONNREFUSED");
    socketClose(r);
}

void lookupAndTickChecks() {
    LookupTask task = lookupHost("localhost");
    check(task != NO_LOOKUP, "lookupHost starts");
    check(pumpUntil([&] {
              for (const Event& e : recorder.events)
                  if (e.kind == 'L') return true;
              return false;
          }, 10000),
          "lookup result arrives");
    for (const Event& e : recorder.events)
        if (e.kind == 'L') check(e.handle == task && e.error == 0 && dottedAddress(e.address) == "127.0.0.1",
                                 "localhost is 127.0.0.1");
    startTickTimer();
    check(pumpUntil([] { return recorder.ticks >= 3; }, 5000), "tick timer ticks");
    stopTickTimer();
}

void fileChecks() {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string a = std::string(folder) + "seam_probe_a.bin", b = std::string(folder) + "seam_probe_b.bin";
    DeleteFileA(a.c_str());
    DeleteFileA(b.c_str());
    FileHandle f = fileOpenAlways(a.c_str());
    check(f != NO_FILE, "fileOpenAlways");
    const int64_t beyond4G = 0x100000010LL;  // past 4 GiB
    check(fileWriteAt(f, beyond4G, "xyz", 3), "write past 4 GiB");
    check(fileSize(f) == beyond4G + 3, "64-bit size");
    char buffer[4] = {};
    check(fileReadAt(f, beyond4G + 1, buffer, 4) == 2 && strcmp(buffer, "yz") == 0, "read past 4 GiB");
    check(fileSetSize(f, 10) && fileSize(f) == 10, "truncate");
    check(fileFlush(f), "flush");
    fileClose(f);
    FileHandle g = fileCreateNew(b.c_str());
    check(g != NO_FILE, "fileCreateNew");
    fileWrite(g, "keep", 4);
    fileClose(g);
    check(!fileRename(a.c_str(), b.c_str()), "rename refuses an existing target");
    check(moveToDestination(a.c_str(), a.c_str()), "move onto itself succeeds");
    DeleteFileA(b.c_str());
    check(moveToDestination(a.c_str(), b.c_str()) && !pathExists(a.c_str()) && pathExists(b.c_str()),
          "move into place");
    check(fileDelete(b.c_str()) && !pathExists(b.c_str()), "delete");
}

// ---- TLS -------------------------------------------------------------------

bool readFileBytes(const char* path, std::vector<BYTE>& bytes) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    BYTE buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    return !bytes.empty();
}

int changeRootStore(const char* path, bool add) {
    std::vector<BYTE> der;
    if (!readFileBytes(path, der)) return 2;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    if (!store) return 2;
    bool ok;
    if (add) {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else {
        PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
        PCCERT_CONTEXT found = wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                                   CERT_FIND_EXISTING, wanted, nullptr)
                                      : nullptr;
        ok = found && CertDeleteCertificateFromStore(found);
        if (wanted) CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    printf("%s %s\n", add ? "install-ca" : "remove-ca", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

// Reads a TLS socket as the engine does and checks the seam's rules on the
// way: nothing before NET_TLS, never two NET_READs without a read between
// them, no WSAEWOULDBLOCK while reading out after NET_CLOSE.
class Fetcher : public PlatformEvents {
public:
    SocketHandle socket = NO_SOCKET;
    bool connected = false, tlsDone = false, closed = false, failed = false;
    int tlsError = -1;
    bool readSinceEvent = true;
    std::string header;
    bool inBody = false;
    std::vector<char> buffer = std::vector<char>(0x81FFF);
    FILE* out = nullptr;
    uint64_t bodyBytes = 0;

    void onHostResolved(LookupTask, int, uint32_t) override {}
    void onDataSocket(SocketHandle, int, int) override {}
    void onTick() override {}
    void onSessionSocket(SocketHandle s, int event, int error) override {
        if (s != socket || closed || failed) return;
        if (event == NET_CONNECT) {
            connected = true;
            if (error) fail("connect", error);
            return;
        }
        if (event == NET_TLS) {
            tlsDone = true;
            tlsError = error;
            return;
        }
        if (!tlsDone) return fail("event before NET_TLS", event);
        if (error) return fail("socket error", error);
        if (event == NET_READ) {
            if (!readSinceEvent) return fail("NET_READ twice without a read", 0);
            readSinceEvent = false;
            readOnce();
        } else if (event == NET_CLOSE) {
            for (;;) {
                int got = recvSome();
                if (got == 0) break;
                if (got < 0) return fail("read after NET_CLOSE", netLastError());
            }
            closed = true;
        }
    }
    void readOnce() {
        int got = recvSome();
        if (got == 0) closed = true;
        else if (got < 0 && netLastError() != WSAEWOULDBLOCK) fail("read", netLastError());
    }
    int recvSome() {
        readSinceEvent = true;
        int got = socketRecv(socket, buffer.data(), inBody ? buffer.size() : 1);
        if (got <= 0) return got;
        if (inBody) {
            fwrite(buffer.data(), 1, size_t(got), out);
            bodyBytes += uint64_t(got);
        } else {
            header += buffer[0];
            if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0) inBody = true;
        }
        return got;
    }
    void fail(const char* what, int code) {
        printf("FAILED %s (%d)\n", what, code);
        failed = true;
    }
};

int fetch(uint16_t port, const char* host, const char* path, const char* outPath) {
    Fetcher fetcher;
    setPlatformEvents(&fetcher);
    fetcher.socket = socketCreate();
    socketSelect(fetcher.socket, SOCKET_ROUTE_SESSION, NET_ALL);
    socketConnect(fetcher.socket, htonl(INADDR_LOOPBACK), port);
    if (!pumpUntil([&] { return fetcher.connected; }, 20000) || fetcher.failed) return 1;
    DWORD start = GetTickCount();
    if (tlsStart(fetcher.socket, host) != 0) {
        printf("tls %d\n", netLastError());
        return 0;
    }
    if (!pumpUntil([&] { return fetcher.tlsDone || fetcher.failed; }, 60000)) {
        printf("FAILED no NET_TLS\n");
        return 1;
    }
    printf("tls %d\n", fetcher.tlsError);
    if (fetcher.tlsError != 0 || fetcher.failed) {
        socketClose(fetcher.socket);
        return fetcher.failed ? 1 : 0;
    }
    std::string request = std::string("GET ") + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
    if (socketSend(fetcher.socket, request.data(), request.size()) != int(request.size())) {
        printf("FAILED send (%d)\n", netLastError());
        return 1;
    }
    fetcher.out = fopen(outPath, "wb");
    bool ended = pumpUntil([&] { return fetcher.closed || fetcher.failed; }, 600000);
    fclose(fetcher.out);
    socketSelect(fetcher.socket, SOCKET_ROUTE_SESSION, 0);
    socketClose(fetcher.socket);
    setPlatformEvents(nullptr);
    if (!ended) printf("FAILED stalled after %llu body bytes\n", (unsigned long long)fetcher.bodyBytes);
    if (!ended || fetcher.failed) return 1;
    printf("status %s\n", fetcher.header.substr(0, fetcher.header.find('\r')).c_str());
    printf("body %llu %lu\n", (unsigned long long)fetcher.bodyBytes, (unsigned long)(GetTickCount() - start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "install-ca" || mode == "remove-ca") && argc == 3)
        return changeRootStore(argv[2], mode == "install-ca");
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 2;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = probeWindow;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SeamProbe";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("SeamProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    setSeamWindow(window);
    if (mode == "fetch" && argc == 6) {
        int rc = fetch(uint16_t(atoi(argv[2])), argv[3], argv[4], argv[5]);
        setSeamWindow(nullptr);
        DestroyWindow(window);
        WSACleanup();
        return rc;
    }
    setPlatformEvents(&recorder);
    socketChecks();
    lookupAndTickChecks();
    fileChecks();
    setPlatformEvents(nullptr);
    setSeamWindow(nullptr);
    DestroyWindow(window);
    WSACleanup();
    printf("%s\n", failures ? "FAILED" : "all checks passed");
    return failures ? 1 : 0;
}
