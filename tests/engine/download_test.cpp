// End-to-end downloads through the real posix platform: sizes, the split
// download and its meeting point, the exact request on the wire, the log rows
// of a plain run.
#include <gtest/gtest.h>

#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

namespace {

struct SizeCase {
    uint64_t size;
    bool split;
    bool expectSecondSession;
};

}  // namespace

class DownloadTest : public EngineTest {};

TEST_F(DownloadTest, DownloadsFilesOfEverySizeByteIdentical) {
    const SizeCase cases[] = {
        {1, false, false},       {100000, true, false}, {100001, true, true},
        {100001, false, false},  {3000000, true, true},
    };
    testservers::FaultServer server;
    for (const SizeCase& c : cases) writePatternFile(www + "/s" + std::to_string(c.size) + ".bin", c.size);
    ASSERT_TRUE(server.start(www));
    size_t seen = 0;
    for (const SizeCase& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + (c.split ? " split" : ""));
        std::string name = "s" + std::to_string(c.size) + ".bin";
        std::remove(outPath(name).c_str());
        AppSettings settings = testSettings(out);
        settings.downloadOptions.set(FLAG_SPLIT, c.split);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        // A slow body, so that session 0 is still in the first half when
        // session 1 starts (on the loopback the whole file can come in one
        // read, and session 0 would then take the rest).
        uint64_t piece = std::max<uint64_t>(2048, c.size / 64);
        job.newDownload.strURL =
            server.url((c.split ? "/x/drip=" + std::to_string(piece) + ":10/" : std::string("/f/")) + name);
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath(name), c.size));
        EXPECT_FALSE(fileExists(outPath(name) + ".dorimelt"));
        EXPECT_EQ(job.record().moveSucceeded, 1);
        EXPECT_EQ(settings.Dead, 1);
        EXPECT_TRUE(ui.has(LOG_INFO, text(18))) << ui.dump();
        EXPECT_EQ(ui.title, text(44));
        EXPECT_TRUE(ui.finished);
        std::vector<std::string> requests = server.requests();
        std::vector<std::string> mine(requests.begin() + seen, requests.end());
        seen = requests.size();
        std::string range = "Range: bytes=" + std::to_string(c.size / 2) + "-\r\n";
        bool second = mine.size() == 2 && mine[1].find(range) != std::string::npos;
        EXPECT_EQ(second, c.expectSecondSession) << mine.size();
        if (!c.expectSecondSession) {
            EXPECT_EQ(mine.size(), 1u);
        }
    }
}

TEST_F(DownloadTest, HugeTimeoutsNeverExpireOnTheFirstTick) {
    writePatternFile(www + "/t.bin", 5000);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    for (int32_t timeout : {300000000, INT32_MAX}) {
        SCOPED_TRACE(timeout);
        std::remove(outPath("t.bin").c_str());
        AppSettings settings = testSettings(out);
        settings.Timeout = timeout;
        RecordingUi ui;
        DownloadJob job(settings, ui);
        // A body that takes several ticks to arrive.
        job.newDownload.strURL = server.url("/x/drip=1000:150/t.bin");
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath("t.bin"), 5000));
        EXPECT_EQ(ui.count(text(79)), 0) << ui.dump();
    }
}

TEST_F(DownloadTest, SendsTheRequestHeadersInTheirFixedOrder) {
    writePatternFile(www + "/a.bin", 5000);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    std::string url = server.url("/x/close=1000,times=1/a.bin#frag");
    job.newDownload.strURL = url;
    job.newDownload.strReferer = "http://127.0.0.1/page.html";
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    std::string host = "Host: 127.0.0.1\r\n";
    EXPECT_EQ(requests[0],
              "GET /x/close=1000,times=1/a.bin HTTP/1.0\r\n"
              "Referer: http://127.0.0.1/page.html\r\n"
              "User-Agent: Dorimel/0.11\r\n"
              "Accept: */*\r\n"
              "Connection: close\r\n" +
                  host + "\r\n");
    // After the early close the same session resumes with a range.
    EXPECT_EQ(requests[1],
              "GET /x/close=1000,times=1/a.bin HTTP/1.0\r\n"
              "Referer: http://127.0.0.1/page.html\r\n"
              "User-Agent: Dorimel/0.11\r\n"
              "Accept: */*\r\n"
              "Range: bytes=1000-\r\n"
              "Connection: close\r\n" +
                  host + "\r\n");
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), 5000));
    EXPECT_TRUE(ui.has(LOG_ERROR, text(39)));
    EXPECT_TRUE(ui.has(LOG_INFO, "1000" + text(70)));
}

TEST_F(DownloadTest, SendsTheAbsoluteUrlAndPragmaThroughAProxy) {
    // The fault server stands in for the proxy here, so that the exact bytes
    // the engine sends to a proxy are recorded.
    writePatternFile(www + "/p.bin", 300);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    for (int noCache = 0; noCache < 2; ++noCache) {
        AppSettings settings = testSettings(out);
        settings.Proxy = "127.0.0.1:" + std::to_string(server.port());
        settings.downloadOptions.set(FLAG_PROXY_NO_CACHE, noCache != 0);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        std::string url = "http://127.0.0.1:1/f/p.bin#part";
        job.newDownload.strURL = url;
        std::remove(outPath("p.bin").c_str());
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath("p.bin"), 300));
        std::string expected = "GET " + url + " HTTP/1.0\r\nUser-Agent: Dorimel/0.11\r\n" +
                               (noCache ? "Pragma: no-cache\r\n" : "") +
                               "Accept: */*\r\nConnection: close\r\nHost: 127.0.0.1\r\n\r\n";
        EXPECT_EQ(server.requests().back(), expected);
        EXPECT_TRUE(ui.has(LOG_WAITING, text(12) + settings.Proxy + "(127.0.0.1)")) << ui.dump();
    }
}

TEST_F(DownloadTest, LogsAPlainRunRowByRow) {
    writePatternFile(www + "/r.bin", 10);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    std::string url = server.url("/f/r.bin");
    job.newDownload.strURL = url;
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED);
    std::vector<std::string> rows = ui.rowsOf(0);
    std::vector<std::string> head(rows.begin(), rows.begin() + 11);
    std::vector<std::string> expected = {
        "1|" + text(7) + "(" + url + ")",
        "3|" + text(12) + "127.0.0.1(127.0.0.1)",
        "1|" + text(10),
        "4|GET /f/r.bin HTTP/1.0",
        "4|User-Agent: Dorimel/0.11",
        "4|Accept: */*",
        "4|Connection: close",
        "4|Host: 127.0.0.1",
        "3|" + text(28),
        "5|HTTP/1.0 200 OK",
    };
    head.resize(expected.size());
    EXPECT_EQ(head, expected) << ui.dump();
    EXPECT_EQ(rows.back(), "1|" + text(18));
    EXPECT_TRUE(ui.has(LOG_INFO, text(17)));
    EXPECT_EQ(ui.controls[CTRL_URL], url);
    EXPECT_EQ(ui.controls[CTRL_TARGET_PATH], outPath("r.bin"));
    EXPECT_EQ(ui.controls[CTRL_RETRIES], "1 / 32");
}

TEST_F(DownloadTest, DownloadsThroughARealProxySplitAndResumed) {
    const uint64_t size = 600000;
    writePatternFile(www + "/viaproxy.bin", size);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    testservers::TinyProxy proxy;
    ASSERT_TRUE(proxy.start());
    AppSettings settings = testSettings(out);
    settings.Proxy = proxy.address();
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/drip=8192:5,close=100000,times=1/viaproxy.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("viaproxy.bin"), size));
    bool secondHalf = false, resumed = false;
    for (const std::string& request : server.requests()) {
        secondHalf = secondHalf || request.find("Range: bytes=300000-") != std::string::npos;
        resumed = resumed || request.find("Range: bytes=100000-") != std::string::npos;
    }
    EXPECT_TRUE(secondHalf);
    EXPECT_TRUE(resumed);
}
