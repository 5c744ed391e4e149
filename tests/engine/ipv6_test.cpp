// Downloads over IPv6 (EnableIpv6) from servers bound to [::1] only: the
// bracketed literal on the wire and in the rows, a cut resumed, the split
// download, a proxy given as a literal, and the refusal of bracketed hosts
// when the option is off or the literal is malformed.
#include <gtest/gtest.h>

#include "engine/address_race.h"
#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

class Ipv6Test : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        settings = testSettings(out);
        settings.EnableIpv6 = true;
    }
    AppSettings settings;
};

TEST_F(Ipv6Test, LiteralUrlCarriesItsBracketsAndResumesAfterACut) {
    writePatternFile(www + "/a.bin", 300000);
    testservers::FaultServer server;
    server.ipv6 = true;
    ASSERT_TRUE(server.start(www));
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/close=100000,times=1/a.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), 300000));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].find("\r\nHost: [::1]\r\n"), std::string::npos) << requests[0];
    EXPECT_NE(requests[1].find("Range: bytes=100000-"), std::string::npos) << requests[1];
    EXPECT_TRUE(ui.has(LOG_WAITING, text(12) + "[::1]([::1])")) << ui.dump();
    EXPECT_EQ(ui.count(text(5)), 0);  // a literal needs no lookup
}

TEST_F(Ipv6Test, SplitDownloadFromNginxOnLoopbackSixIsByteIdentical) {
    const uint64_t size = 3000000;
    writePatternFile(www + "/s.bin", size);
    testservers::NginxOptions options;
    options.ipv6 = true;
    testservers::NginxServer nginx;
    ASSERT_TRUE(nginx.start(www, options));
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = nginx.url("/s.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("s.bin"), size));
    bool secondHalf = false;
    for (const std::string& line : nginx.accessLog())
        secondHalf = secondHalf || line.find("range=bytes=1500000-") != std::string::npos;
    EXPECT_TRUE(secondHalf);
}

TEST_F(Ipv6Test, ProxyGivenAsALiteralFetchesAndTunnelsToIpv6Origins) {
    writePatternFile(www + "/p.bin", 200000);
    testservers::FaultServer origin;
    origin.ipv6 = true;
    ASSERT_TRUE(origin.start(www));
    testservers::TinyProxy proxy;
    proxy.ipv6 = true;
    ASSERT_TRUE(proxy.start());
    settings.Proxy = proxy.address();
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = origin.url("/f/p.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("p.bin"), 200000));
    EXPECT_TRUE(ui.has(LOG_SENT, "GET " + origin.url("/f/p.bin") + " HTTP/1.0")) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WAITING, text(12) + proxy.address() + "([::1])")) << ui.dump();
    std::remove(outPath("p.bin").c_str());

    // https: CONNECT names the bracketed literal; the certificate is checked
    // against the bare address.
    testservers::NginxOptions options;
    options.ipv6 = true;
    options.tls = {testservers::processCertificates().certificateFile("valid"),
                   testservers::processCertificates().keyFile()};
    testservers::NginxServer nginx;
    ASSERT_TRUE(nginx.start(www, options));
    testservers::TinyProxy tunnel;
    tunnel.ipv6 = true;
    ASSERT_TRUE(tunnel.start(nginx.port()));
    settings.Proxy = tunnel.address();
    settings.EnableHttps = true;
    settings.Dead = 0;
    const std::string target = "[::1]:" + std::to_string(nginx.port());
    RecordingUi secure;
    DownloadJob https(settings, secure);
    https.newDownload.strURL = "https://" + target + "/p.bin";
    EXPECT_EQ(runJob(https, secure), STAGE_ENDED) << secure.dump();
    EXPECT_TRUE(fileHasPattern(outPath("p.bin"), 200000));
    EXPECT_TRUE(secure.has(LOG_SENT, "CONNECT " + target + " HTTP/1.0")) << secure.dump();
}

TEST_F(Ipv6Test, BracketedHostsAreInvalidWithTheOptionOffOrWhenMalformed) {
    struct Case {
        const char* url;
        bool ipv6;
    } cases[] = {{"http://[::1]:9/a.bin", false}, {"ftp://[::1]/a.bin", false},
                 {"http://[zz::]:9/a.bin", true}, {"http://[fe80::1%25lo]:9/a.bin", true},
                 {"http://[1:2:3:4:5:6:7:8:9]/a", true}, {"http://[::1/a.bin", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        settings.EnableIpv6 = c.ipv6;
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = c.url;
        ui.onTick = [&] {
            if (ui.has(LOG_ERROR, text(2))) quitEventLoop();
        };
        runJob(job, ui, 10);
        EXPECT_TRUE(ui.has(LOG_ERROR, text(2))) << ui.dump();
        EXPECT_EQ(ui.count(text(5)), 0) << ui.dump();
        settings.Dead = 0;
    }
}

TEST(AttemptOrder, AlternatesFamiliesStartingWithTheResolversFirst) {
    auto v4 = [](uint8_t last) { return NetAddress::ipv4(0x0000007fu | uint32_t(last) << 24); };
    auto v6 = [](uint8_t last) {
        NetAddress a;
        a.family = NET_FAMILY_IPV6;
        a.bytes[15] = last;
        return a;
    };
    EXPECT_EQ(attemptOrder({v6(1), v6(2), v6(3), v4(1)}),
              (std::vector<NetAddress>{v6(1), v4(1), v6(2), v6(3)}));
    EXPECT_EQ(attemptOrder({v4(1), v4(2), v6(1), v6(2)}),
              (std::vector<NetAddress>{v4(1), v6(1), v4(2), v6(2)}));
    EXPECT_EQ(shownAddress(v6(1)), "[::1]");
    EXPECT_EQ(shownAddress(v4(1)), "127.0.0.1");
}
