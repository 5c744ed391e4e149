// https downloads (EnableHttps on) against nginx and the fault server with
// certificates of a test CA made at test time: byte-identical files, split,
// cut and resumed, a kept file resumed, the certificate faults that stop the
// job at once, the CONNECT tunnel through tinyproxy, redirects to https,
// the handshake faults (close, garbage, stall until the time-out), ends
// without close_notify (a cut, unless a known length is already whole), the
// refused downgrade to plaintext and https referer in the clear, https URLs
// and kept files refused while HTTPS is off, and a proxy's faulty answers.
#include <optional>

#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

namespace {

using testservers::processCertificates;

testservers::ServerTls serverTls(const std::string& kind) {
    return {processCertificates().certificateFile(kind), processCertificates().keyFile()};
}

}  // namespace

class HttpsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        processCertificates();
    }
    AppSettings httpsSettings() {
        AppSettings settings = testSettings(out);
        settings.EnableHttps = true;
        return settings;
    }
    // Runs a job on url; returns its final stage.
    int download(const std::string& url, RecordingUi& ui, AppSettings settings,
                 std::function<void(DownloadJob&)> prepare = nullptr) {
        DownloadJob job(settings, ui);
        job.newDownload.strURL = url;
        if (prepare) prepare(job);
        return runJob(job, ui);
    }
    int rows(const RecordingUi& ui, const std::string& row) const { return ui.count(row); }
};

TEST_F(HttpsTest, DownloadsByteIdenticalAndEachCertificateFaultStopsAtOnce) {
    struct Case {
        const char* certificate;
        uint64_t size;
        unsigned row;  // 0: the download finishes
        bool limited = false;  // the speed limit paces the plaintext by the tick
        bool byAddress = false;  // reached as 127.0.0.1 instead of localhost
    } cases[] = {
        {"valid", 1, 0},          {"valid", 100001, 0},     {"valid", 50000000, 0}, {"valid", 3000000, 0, true},
        {"untrusted", 100001, 132}, {"expired", 100001, 133}, {"wrongname", 100001, 134},
        {"selfsigned", 100001, 132}, {"localhostonly", 100001, 134, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.certificate) + " " + std::to_string(c.size));
        std::string name = "f" + std::to_string(c.size) + ".bin";
        ASSERT_TRUE(writePatternFile(www + "/" + name, c.size));
        testservers::NginxOptions options;
        options.tls = serverTls(c.certificate);
        testservers::NginxServer nginx;
        ASSERT_TRUE(nginx.start(www, options));
        RecordingUi ui;
        AppSettings settings = httpsSettings();
        settings.downloadOptions.set(FLAG_SPEED_LIMIT, c.limited);
        settings.downloadOptions.speedLimit = 4000;  // K/s: 400 KiB a tick of 5 ms
        std::string url = nginx.url("/" + name);
        if (c.byAddress) url.replace(url.find("localhost"), 9, "127.0.0.1");
        int stage = download(url, ui, settings);
        if (c.row == 0) {
            EXPECT_EQ(stage, STAGE_ENDED) << ui.dump();
            EXPECT_TRUE(fileHasPattern(outPath(name), c.size));
            EXPECT_EQ(rows(ui, text(131)), 1);
            EXPECT_TRUE(ui.has(LOG_SENT, "Host: localhost"));
        } else {
            EXPECT_EQ(stage, STAGE_STOPPED) << ui.dump();
            EXPECT_TRUE(ui.has(LOG_ERROR, text(c.row))) << ui.dump();
            EXPECT_EQ(rows(ui, text(46)), 0);  // no retry wait
            EXPECT_FALSE(fileExists(outPath(name)));
            EXPECT_FALSE(fileExists(outPath(name) + ".dorimelt"));
            EXPECT_TRUE(nginx.accessLog().empty());  // no request went out
        }
        std::remove(outPath(name).c_str());
    }
}

TEST_F(HttpsTest, SplitCutAndKeptDownloadsResumeOverHttps) {
    const uint64_t size = 2000000;
    ASSERT_TRUE(writePatternFile(www + "/big.bin", size));
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www, serverTls("valid")));

    // Split: session 1 asks for the second half while session 0 drips.
    AppSettings split = httpsSettings();
    split.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    EXPECT_EQ(download(server.url("/x/drip=16384:4/big.bin"), ui, split), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("big.bin"), size));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("Range: bytes=1000000-\r\n"), std::string::npos);
    std::remove(outPath("big.bin").c_str());

    // Cut without close_notify after 300000 bytes: retried with a range.
    RecordingUi cut;
    EXPECT_EQ(download(server.url("/x/close=300000,times=1/big.bin"), cut, httpsSettings()), STAGE_ENDED)
        << cut.dump();
    EXPECT_TRUE(fileHasPattern(outPath("big.bin"), size));
    requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_NE(requests[3].find("Range: bytes=300000-\r\n"), std::string::npos);
    std::remove(outPath("big.bin").c_str());

    // Stopped and kept, then resumed from the kept file over https.
    AppSettings settings = httpsSettings();
    RecordingUi first;
    DownloadJob job(settings, first);
    job.newDownload.strURL = server.url("/x/stall=150000/big.bin");
    first.onTick = [&] {
        if (job.session(0).position >= 150000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, first), STAGE_STOPPED) << first.dump();
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    AppSettings resumed = httpsSettings();
    RecordingUi second;
    DownloadJob again(resumed, second);
    ASSERT_TRUE(again.loadTempFile(temp, resumed).ok);
    resumed.resuming = true;
    resumed.tempFilePath = temp;
    again.session(0).url = server.url("/f/big.bin");  // the server no longer stalls
    EXPECT_EQ(runJob(again, second), STAGE_ENDED) << second.dump();
    EXPECT_TRUE(fileHasPattern(outPath("big.bin"), size));
    EXPECT_EQ(rows(second, text(131)), 1);
    requests = server.requests();
    EXPECT_NE(requests.back().find("Range: bytes=150000-\r\n"), std::string::npos);
}

TEST_F(HttpsTest, TunnelThroughTheProxyAndRedirectsToHttps) {
    const uint64_t size = 100001;
    ASSERT_TRUE(writePatternFile(www + "/f.bin", size));
    testservers::NginxOptions options;
    options.tls = serverTls("valid");
    testservers::NginxServer nginx;
    ASSERT_TRUE(nginx.start(www, options));
    std::string target = "localhost:" + std::to_string(nginx.port());

    // tinyproxy opens the tunnel to nginx's port only.
    testservers::TinyProxy proxy;
    ASSERT_TRUE(proxy.start(nginx.port()));
    AppSettings viaProxy = httpsSettings();
    viaProxy.Proxy = proxy.address();
    RecordingUi ui;
    EXPECT_EQ(download(nginx.url("/f.bin"), ui, viaProxy), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("f.bin"), size));
    EXPECT_TRUE(ui.has(LOG_SENT, "CONNECT " + target + " HTTP/1.0"));
    EXPECT_TRUE(ui.has(LOG_SENT, "Host: " + target));
    EXPECT_TRUE(ui.has(LOG_SENT, "GET /f.bin HTTP/1.0"));  // the server's own form inside the tunnel
    std::remove(outPath("f.bin").c_str());

    // A tunnel to another port is refused: logged, and the job stops.
    testservers::TinyProxy strict;
    ASSERT_TRUE(strict.start(uint16_t(nginx.port() == 1 ? 2 : 1)));
    viaProxy.Proxy = strict.address();
    RecordingUi refused;
    EXPECT_EQ(download(nginx.url("/f.bin"), refused, viaProxy), STAGE_STOPPED) << refused.dump();
    bool statusShown = false;  // the row carries the proxy's status line
    for (const LogRow& row : refused.rows)
        statusShown = statusShown || row.text.rfind(text(139) + " : HTTP/1.0 403", 0) == 0;
    EXPECT_TRUE(statusShown) << refused.dump();
    EXPECT_FALSE(fileExists(outPath("f.bin")));

    // An http server redirects to https: followed without a proxy when on,
    // refused (string 77) as specified when off.
    testservers::FaultServer plain;
    ASSERT_TRUE(plain.start(www));
    std::string redirect =
        plain.url("/x/status=302,loc=https%3A%2F%2F" + target.replace(9, 1, "%3A") + "%2Ff.bin/f.bin");
    auto withReferer = [](DownloadJob& job) { job.newDownload.strReferer = "http://127.0.0.1/"; };
    RecordingUi followed;
    EXPECT_EQ(download(redirect, followed, httpsSettings(), withReferer), STAGE_ENDED) << followed.dump();
    EXPECT_TRUE(fileHasPattern(outPath("f.bin"), size));
    RecordingUi off;
    EXPECT_EQ(download(redirect, off, testSettings(out), withReferer), STAGE_STOPPED) << off.dump();
    EXPECT_TRUE(off.has(LOG_INFO, text(77)));
}

TEST_F(HttpsTest, HandshakeFaultsAreRetriedStoppedOrTimedOut) {
    struct Case {
        const char* fault;
        unsigned row;    // the row of the handshake's end, or 0
        bool retried;    // a retry wait follows
    } cases[] = {{"close", 137, true}, {"garbage", 135, false}, {"stall", 79, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        testservers::FaultServer server;
        ASSERT_TRUE(server.start(www, testservers::ServerTls(), c.fault));
        AppSettings settings = httpsSettings();
        settings.Timeout = 1;  // 10 ticks of 5 ms
        RecordingUi ui;
        int stage = download(server.url("/f/none.bin"), ui, settings, [&](DownloadJob& job) {
            ui.onTick = [&ui, &job] {
                if (ui.count(text(46)) >= 2) job.stopJob();  // two retries are enough
            };
        });
        EXPECT_EQ(stage, STAGE_STOPPED) << ui.dump();
        bool found = false;
        for (const LogRow& row : ui.rows) found = found || row.text.rfind(text(c.row), 0) == 0;
        EXPECT_TRUE(found) << ui.dump();
        EXPECT_EQ(ui.count(text(46)) >= 2, c.retried) << ui.dump();
        EXPECT_EQ(ui.count(text(131)), 0);
    }
}

TEST_F(HttpsTest, AnEndWithoutCloseNotifyIsACutThatResumes) {
    const uint64_t size = 1000000;
    ASSERT_TRUE(writePatternFile(www + "/u.bin", size));
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www, serverTls("valid")));

    // A body of unknown length ends only with close_notify: whole.
    RecordingUi whole;
    EXPECT_EQ(download(server.url("/x/nolength/u.bin"), whole, httpsSettings()), STAGE_ENDED) << whole.dump();
    EXPECT_TRUE(fileHasPattern(outPath("u.bin"), size));
    EXPECT_EQ(server.requests().size(), 1u);
    std::remove(outPath("u.bin").c_str());

    // A known length proves the body whole: no close_notify needed.
    RecordingUi sized;
    EXPECT_EQ(download(server.url("/x/nonotify/u.bin"), sized, httpsSettings()), STAGE_ENDED) << sized.dump();
    EXPECT_TRUE(fileHasPattern(outPath("u.bin"), size));
    EXPECT_EQ(server.requests().size(), 2u);
    std::remove(outPath("u.bin").c_str());

    // Cut after 300000 bytes between two records or inside one, without
    // close_notify: not finished there, but retried from 300000.
    for (const char* cut : {"close", "cut"}) {
        SCOPED_TRACE(cut);
        RecordingUi ui;
        size_t before = server.requests().size();
        std::string path = std::string("/x/nolength,times=1,") + cut + "=300000/u.bin";
        EXPECT_EQ(download(server.url(path), ui, httpsSettings()), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath("u.bin"), size));
        EXPECT_EQ(ui.count(text(18)), 1);
        EXPECT_EQ(ui.count(text(46)), 1) << ui.dump();  // one retry wait after the cut
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), before + 2);
        EXPECT_NE(requests.back().find("Range: bytes=300000-\r\n"), std::string::npos);
        std::remove(outPath("u.bin").c_str());
    }
}

TEST_F(HttpsTest, NoDowngradeToPlaintextAndNoHttpsRefererInTheClear) {
    ASSERT_TRUE(writePatternFile(www + "/x.bin", 1000));
    testservers::FaultServer plain;
    ASSERT_TRUE(plain.start(www));
    testservers::FaultServer secure;
    ASSERT_TRUE(secure.start(www, serverTls("valid")));
    auto withReferer = [](const std::string& referer) {
        return [referer](DownloadJob& job) { job.newDownload.strReferer = referer; };
    };

    // https to http or ftp: refused with a row naming the target; nothing
    // reaches the plaintext server.
    std::string httpTarget = plain.url("/f/x.bin");
    for (const std::string& target : {httpTarget, std::string("ftp://127.0.0.1:1/x.bin")}) {
        SCOPED_TRACE(target);
        RecordingUi ui;
        std::string encoded;
        for (char c : target) encoded += c == ':' ? "%3A" : c == '/' ? "%2F" : std::string(1, c);
        std::string url = secure.url("/x/status=302,loc=" + encoded + "/r.bin?q=secret");
        EXPECT_EQ(download(url, ui, httpsSettings(), withReferer("https://localhost/page")), STAGE_STOPPED)
            << ui.dump();
        EXPECT_TRUE(ui.has(LOG_ERROR, target + text(140))) << ui.dump();
        EXPECT_EQ(ui.count(text(78)), 0);
        EXPECT_TRUE(plain.requests().empty());
    }
    // Over TLS the https referer goes out; over plaintext it does not, while
    // an http referer still does.
    EXPECT_NE(secure.requests().front().find("Referer: https://localhost/page\r\n"), std::string::npos);
    for (const char* referer : {"https://localhost/page?session=1", "HTTPS://localhost/", "http://127.0.0.1/"}) {
        RecordingUi ui;
        EXPECT_EQ(download(plain.url("/f/x.bin"), ui, httpsSettings(), withReferer(referer)), STAGE_ENDED)
            << ui.dump();
        bool sent = plain.requests().back().find("Referer:") != std::string::npos;
        EXPECT_EQ(sent, referer[4] == ':') << referer;
        std::remove(outPath("x.bin").c_str());
    }
}

TEST_F(HttpsTest, HttpsOffRefusesAnHttpsUrlAndAKeptHttpsFile) {
    ASSERT_TRUE(writePatternFile(www + "/big.bin", 400000));
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www, serverTls("valid")));

    // A command-line URL that only contains "http://".
    RecordingUi direct;
    EXPECT_EQ(download(server.url("/f/big.bin?u=http://b/"), direct, testSettings(out)), STAGE_STOPPED)
        << direct.dump();
    EXPECT_TRUE(direct.has(LOG_FATAL, text(141))) << direct.dump();
    EXPECT_EQ(direct.count(text(12)), 0);  // not even a connection

    // A file kept by an https download, resumed with HTTPS off.
    AppSettings on = httpsSettings();
    RecordingUi first;
    DownloadJob job(on, first);
    job.newDownload.strURL = server.url("/x/stall=150000/big.bin");
    first.onTick = [&] {
        if (job.session(0).position >= 150000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, first), STAGE_STOPPED) << first.dump();
    ASSERT_TRUE(job.keepTempFile());
    size_t requests = server.requests().size();
    AppSettings off = testSettings(out);
    RecordingUi second;
    DownloadJob again(off, second);
    ASSERT_TRUE(again.loadTempFile(job.tempPath(), off).ok);
    off.EnableHttps = false;
    off.resuming = true;
    off.tempFilePath = job.tempPath();
    EXPECT_EQ(runJob(again, second), STAGE_STOPPED) << second.dump();
    EXPECT_TRUE(second.has(LOG_FATAL, text(141))) << second.dump();
    EXPECT_EQ(server.requests().size(), requests);
    EXPECT_TRUE(fileExists(job.tempPath()));
}

TEST_F(HttpsTest, ProxyAnswersAreTheProxysFaults) {
    testservers::FaultServer proxy;
    ASSERT_TRUE(proxy.start(www));
    struct Case {
        const char* reply;
        unsigned row;
        bool retried;
    } cases[] = {
        // 407 stops even with retry on error: the same answer would come again.
        {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", 142, false},
        {"HTTP/1.0 403 Forbidden\r\n\r\n", 139, true},
        // Bytes behind a 200 are the proxy's, not a broken handshake.
        {"HTTP/1.0 200 Connection established\r\n\r\nHTTP/1.0 200 OK\r\n", 143, true},
        // 200 and closed: retried after the wait, not after the time-out.
        {"HTTP/1.0 200 Connection established\r\n\r\n", 137, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ASSERT_TRUE(testservers::writeFile(www + "/connect-reply", c.reply));
        AppSettings settings = httpsSettings();
        settings.Proxy = "127.0.0.1:" + std::to_string(proxy.port());
        settings.downloadOptions.set(FLAG_RETRY_ON_ERROR, true);
        settings.Timeout = 60;
        RecordingUi ui;
        int stage = download("https://localhost:1/f.bin", ui, settings, [&](DownloadJob& job) {
            ui.onTick = [&ui, &job] {
                if (ui.count(text(46)) >= 2) job.stopJob();
            };
        });
        EXPECT_EQ(stage, STAGE_STOPPED) << ui.dump();
        std::string found;
        for (const LogRow& row : ui.rows)
            if (found.empty() && row.text.rfind(text(c.row), 0) == 0) found = row.text;
        EXPECT_FALSE(found.empty()) << ui.dump();
        if (c.row == 142 || c.row == 139) {  // the proxy's status line says why
            std::string reply = c.reply;
            EXPECT_EQ(found, text(c.row) + " : " + reply.substr(0, reply.find('\r')));
        }
        EXPECT_EQ(ui.count(text(46)) >= 2, c.retried) << ui.dump();
        EXPECT_EQ(ui.count(text(135)) + ui.count(text(79)), 0) << ui.dump();
    }
}
