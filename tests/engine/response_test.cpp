// The response decision table, redirects, connection failures, time-outs and
// the retry limit, each against the fault server with the exact rows logged.
#include <gtest/gtest.h>

#include "platform/system.h"
#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

namespace {

const uint64_t kSize = 20000;

struct Expected {
    int kind;
    unsigned id;
};

struct ResponseCase {
    const char* name;
    std::string path;        // under the fault server
    uint32_t flags;          // DownloadOptions flags
    std::vector<Expected> rows;  // rows that must appear (string-table texts)
    int stage;               // final stage
    size_t requests;         // requests the server saw
    bool fileComplete;       // the file finished byte-identical
};

}  // namespace

class ResponseTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        writePatternFile(www + "/a.bin", kSize);
        writePatternFile(www + "/a.zip", kSize);
        writePatternFile(www + "/page.html", kSize);
        ASSERT_TRUE(server.start(www));
    }
    testservers::FaultServer server;
};

TEST_F(ResponseTest, ActsOnEveryRowOfTheDecisionTable) {
    const ResponseCase cases[] = {
        {"206 from the wrong start retries", "/x/n=1,close=1000,crstart=7,times=2/a.bin", 0,
         {{LOG_FATAL, 68}, {LOG_ERROR, 39}}, STAGE_ENDED, 3, true},
        {"206 with the wrong total stops", "/x/n=2,close=1000,crtotal=5,times=2/a.bin", 0,
         {{LOG_FATAL, 69}, {LOG_WARNING, 36}}, STAGE_STOPPED, 2, false},
        {"200 to a resume stops", "/x/n=3,close=1000,norange,times=2/a.bin", 0,
         {{LOG_WARNING, 71}, {LOG_WARNING, 36}}, STAGE_STOPPED, 2, false},
        {"200 to a resume restarts with -rn", "/x/n=4,close=1000,norange,times=2/a.bin", FLAG_RESTART_IF_NO_RESUME,
         {{LOG_WARNING, 71}, {LOG_INFO, 72}}, STAGE_ENDED, 3, true},
        {"text/html for a file retries, then stops", "/x/n=5,type=text%2Fhtml/a.zip", 0,
         {{LOG_ERROR, 30}, {LOG_WARNING, 36}}, STAGE_STOPPED, 2, false},
        {"text/html for a page is downloaded", "/x/n=6,type=text%2Fhtml/page.html", 0, {{LOG_INFO, 17}}, STAGE_ENDED, 1,
         true},
        {"Content-Length -5 stops", "/x/n=7,length=-5/a.bin", 0, {{LOG_ERROR, 74}}, STAGE_STOPPED, 1, false},
        {"a Content-Length beyond any file stops", "/x/n=17,length=9223372036854775807/a.bin", 0, {{LOG_ERROR, 74}},
         STAGE_STOPPED, 1, false},
        {"no Content-Length runs until the close", "/x/n=8,nolength/a.bin", 0, {{LOG_WARNING, 73}, {LOG_INFO, 18}},
         STAGE_ENDED, 1, true},
        {"401 stops", "/x/n=9,status=401/a.bin", 0, {{LOG_ERROR, 19}}, STAGE_STOPPED, 1, false},
        {"401 retries with -ie", "/x/n=10,status=401,times=1/a.bin", FLAG_RETRY_ON_ERROR, {{LOG_INFO, 46}}, STAGE_ENDED, 2,
         true},
        {"404 retries once with the URL as referer", "/x/n=11,status=404/a.bin", 0, {{LOG_ERROR, 20}, {LOG_INFO, 46}},
         STAGE_STOPPED, 2, false},
        {"500 stops", "/x/n=12,status=500/a.bin", 0, {{LOG_ERROR, 31}}, STAGE_STOPPED, 1, false},
        {"500 retries with -ie", "/x/n=13,status=500,times=1/a.bin", FLAG_RETRY_ON_ERROR, {{LOG_ERROR, 31}}, STAGE_ENDED, 2,
         true},
        {"an endless header is cut and retried", "/x/n=15,endless,times=1/a.bin", 0, {{LOG_FATAL, 67}, {LOG_ERROR, 39}},
         STAGE_ENDED, 2, true},
        {"an early close resumes", "/x/n=16,close=7000,times=1/a.bin", 0, {{LOG_ERROR, 39}, {LOG_INFO, 46}}, STAGE_ENDED, 2,
         true},
    };
    for (const ResponseCase& c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = server.requests().size();
        AppSettings settings = testSettings(out);
        settings.downloadOptions.flags = c.flags;
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url(c.path);
        EXPECT_EQ(runJob(job, ui), c.stage) << ui.dump();
        for (const Expected& row : c.rows) EXPECT_TRUE(ui.has(row.kind, text(row.id))) << row.id << "\n" << ui.dump();
        EXPECT_EQ(server.requests().size() - before, c.requests);
        std::string name = job.record().targetFile;
        if (c.fileComplete) {
            EXPECT_TRUE(fileHasPattern(outPath(name), kSize)) << name;
        }
        if (c.stage == STAGE_ENDED) {
            EXPECT_TRUE(ui.has(LOG_INFO, text(18)));
        } else {
            EXPECT_FALSE(ui.has(LOG_INFO, text(18)));
            job.keepTempFile();
        }
        std::remove(outPath(name).c_str());
    }
}

TEST_F(ResponseTest, SetsTheRefererToTheUrlAfterAnHtmlAnswerAndA404) {
    const char* paths[] = {"/x/type=text%2Fhtml/a.zip", "/x/status=404/a.bin"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        size_t before = server.requests().size();
        AppSettings settings = testSettings(out);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        std::string url = server.url(path);
        job.newDownload.strURL = url;
        runJob(job, ui);
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size() - before, 2u);
        EXPECT_EQ(requests[before].find("Referer:"), std::string::npos);
        EXPECT_NE(requests[before + 1].find("Referer: " + url + "\r\n"), std::string::npos);
    }
}

TEST_F(ResponseTest, RecognisesHeadersEndedByBareLineFeeds) {
    testservers::writeFile(www + "/lf.txt", "HTTP/1.0 200 OK\nContent-Length: 3\nX-Note: one\r\n\nabc");
    testservers::writeFile(www + "/garbage", "SPAM 200 OK\r\n\r\nabc");
    testservers::writeFile(www + "/nospace", "HTTP/1.0200OK\r\nContent-Length: 3\r\n\r\nabc");
    {
        AppSettings settings = testSettings(out);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("/raw/lf.txt");
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_EQ(fileContent(outPath("lf.txt")), "abc");
        EXPECT_TRUE(ui.has(LOG_RECEIVED, "X-Note: one"));
    }
    for (const char* name : {"garbage", "nospace"}) {
        SCOPED_TRACE(name);
        AppSettings settings = testSettings(out);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url(std::string("/raw/") + name);
        EXPECT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_ERROR, text(24)));
    }
}

TEST_F(ResponseTest, FollowsTheSecondRedirectAfterRetryingWithTheUrlAsReferer) {
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    std::string url = server.url("/x/status=302,loc=%2Ff%2Fa.bin/start.bin");
    std::string target = server.url("/f/a.bin");
    job.newDownload.strURL = url;
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].find("Referer:"), std::string::npos);
    EXPECT_NE(requests[1].find("Referer: " + url + "\r\n"), std::string::npos);
    EXPECT_EQ(requests[2].compare(0, 21, "GET /f/a.bin HTTP/1.0"), 0) << requests[2];
    EXPECT_NE(requests[2].find("Referer: " + url + "\r\n"), std::string::npos);
    EXPECT_EQ(ui.count(text(21)), 2);
    EXPECT_TRUE(ui.has(LOG_INFO, target + text(78)));
    // Same host: no lookup, the old connection drained without a row.
    EXPECT_EQ(ui.count(text(5)), 0);
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), kSize));
    EXPECT_EQ(job.record().targetFile, "a.bin");
}

TEST_F(ResponseTest, LooksUpAnotherHostAfterARedirect) {
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    std::string target = "http%3A%2F%2Flocalhost%3A" + std::to_string(server.port()) + "%2Ff%2Fa.bin";
    job.newDownload.strURL = server.url("/x/status=301,loc=" + target + "/s.cgi");
    job.newDownload.strReferer = "http://127.0.0.1/";
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WAITING, text(5)));
    EXPECT_TRUE(ui.has(LOG_INFO, text(11) + "(127.0.0.1)"));
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), kSize));
}

TEST_F(ResponseTest, RefusesARedirectToHttpsUnlessAProxyFetchesIt) {
    for (int proxy = 0; proxy < 2; ++proxy) {
        SCOPED_TRACE(proxy ? "proxy" : "direct");
        AppSettings settings = testSettings(out);
        if (proxy) settings.Proxy = "127.0.0.1:" + std::to_string(server.port());
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("/x/status=302,loc=https%3A%2F%2F127.0.0.1%2Fs.bin/a.bin");
        job.newDownload.strReferer = "http://127.0.0.1/";
        runJob(job, ui);
        EXPECT_EQ(ui.has(LOG_INFO, text(77)), proxy == 0) << ui.dump();
        EXPECT_EQ(ui.has(LOG_INFO, "https://127.0.0.1/s.bin" + text(78)), proxy == 1);
        if (proxy) {
            EXPECT_EQ(server.requests().back().compare(0, 38, "GET https://127.0.0.1/s.bin HTTP/1.0\r\n"), 0);
        }
    }
}

TEST_F(ResponseTest, StopsAfterThirtyTwoCountedAttempts) {
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_NO_REDIRECT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/status=302,loc=%2Ff%2Fa.bin/a.bin");
    EXPECT_EQ(runJob(job, ui, 120), STAGE_STOPPED) << ui.dump();
    EXPECT_EQ(ui.count(text(46)), 30);
    EXPECT_EQ(ui.count(text(75)), 31);
    EXPECT_EQ(ui.controls[CTRL_RETRIES], "32 / 32");
    EXPECT_TRUE(ui.has(LOG_WARNING, text(36)));
    EXPECT_EQ(server.requests().size(), 31u);
}

TEST_F(ResponseTest, ResumesAfterATimeOutOnAStalledConnection) {
    AppSettings settings = testSettings(out);
    settings.Timeout = 1;
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/stall=3000,times=1/a.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_ERROR, text(79)));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("Range: bytes=3000-\r\n"), std::string::npos);
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), kSize));
}

TEST_F(ResponseTest, ResetConnectionRetriesWithTheUrlAsReferer) {
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    std::string url = server.url("/x/reset=2000,times=1/a.bin");
    job.newDownload.strURL = url;
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    bool resetRow = false;
    for (const LogRow& row : ui.rows)
        resetRow = resetRow || (row.kind == LOG_ERROR && row.text.rfind(text(23), 0) == 0);
    EXPECT_TRUE(resetRow) << ui.dump();
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("Referer: " + url + "\r\n"), std::string::npos);
    EXPECT_TRUE(fileHasPattern(outPath("a.bin"), kSize));
}

TEST_F(ResponseTest, RetriesARefusedConnectionAndStopsOnRequest) {
    uint16_t port = testservers::freePort();
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = "http://127.0.0.1:" + std::to_string(port) + "/a.bin";
    ui.onTick = [&] {
        if (ui.count(text(46)) >= 2) job.stopJob();
    };
    EXPECT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_ERROR, text(13) + errorText(WSAECONNREFUSED))) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WARNING, text(36)));
    EXPECT_FALSE(job.hasTempFile());
}

TEST_F(ResponseTest, LogsAnInvalidUrlAndKeepsRunning) {
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    ui.onTick = [&] {
        if (ui.ticks == 20) job.stopJob();
    };
    EXPECT_EQ(runJob(job, ui), STAGE_STOPPED);
    EXPECT_TRUE(ui.has(LOG_ERROR, text(2)));
}
