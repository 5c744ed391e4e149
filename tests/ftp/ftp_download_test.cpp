// FTP downloads from real servers on 127.0.0.1: vsftpd (anonymous) and
// pyftpdlib (user and password), files of every size byte-identical, the
// split download, a stop and resume that continues through "REST", and a
// kept temporary file resumed as start-up loads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "engine/ftp_client.h"
#include "tests/engine/engine_test_fixture.h"
#include "tests/servers/ftp_servers.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

namespace {

// The offset of the first "REST <n>" row of session with n > 0, or 0.
uint64_t firstResumeOffset(const RecordingUi& ui, int session) {
    for (const LogRow& row : ui.rows)
        if (row.session == session && row.kind == LOG_SENT && row.text.rfind("REST ", 0) == 0) {
            uint64_t offset = std::strtoull(row.text.c_str() + 5, nullptr, 10);
            if (offset > 0) return offset;
        }
    return 0;
}

}  // namespace

class FtpDownloadTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        settings = testSettings(out);
    }
    // Runs the download of url, stopping and resuming it once after more
    // than 300000 bytes arrived, until it ends (or 120 s pass).
    void runStoppedOnceAndResumed(DownloadJob& job, RecordingUi& ui, const std::string& url) {
        job.newDownload.strURL = url;
        bool stopped = false;
        ui.onTick = [&] {
            if (!stopped && job.session(0).position > 300000) {
                stopped = true;
                job.stopJob();
                job.resume();
            }
            if (job.stage() == STAGE_ENDED) quitEventLoop();
        };
        runJob(job, ui, 120);
    }
    AppSettings settings;
};

TEST_F(FtpDownloadTest, AnonymousDownloadsFromVsftpdAreByteIdentical) {
    const uint64_t sizes[] = {1, 100001, 50u * 1024 * 1024};
    for (uint64_t size : sizes) writePatternFile(www + "/a" + std::to_string(size) + ".bin", size);
    testservers::VsftpdServer server;
    ASSERT_TRUE(server.start(www));
    for (uint64_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "a" + std::to_string(size) + ".bin";
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("/" + name);
        EXPECT_EQ(runJob(job, ui, 120), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath(name), size));
        EXPECT_FALSE(fileExists(outPath(name) + ".dorimelt"));
        EXPECT_TRUE(ui.has(LOG_SENT, "USER anonymous")) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_SENT, "PASS XXXXXXXXXX")) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_SENT, "REST 0")) << ui.dump();
        EXPECT_EQ(job.record().contentLength, -2);  // finished, with the size learned from "SIZE"
        settings.Dead = 0;
    }
}

TEST_F(FtpDownloadTest, UserAndPasswordDownloadsAreByteIdentical) {
    const uint64_t sizes[] = {1, 100001, 50u * 1024 * 1024};
    for (uint64_t size : sizes) writePatternFile(www + "/u" + std::to_string(size) + ".bin", size);
    testservers::UserFtpServer server;
    ASSERT_TRUE(server.start(www, "alice", "Wonder-1"));
    for (uint64_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "u" + std::to_string(size) + ".bin";
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("alice:Wonder-1", "/" + name);
        EXPECT_EQ(runJob(job, ui, 120), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(fileHasPattern(outPath(name), size));
        EXPECT_TRUE(ui.has(LOG_SENT, "USER alice")) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_SENT, "PASS XXXXXXXXXX")) << ui.dump();
        for (const LogRow& row : ui.rows)
            EXPECT_EQ(row.text.find("Wonder-1"), std::string::npos) << row.text;
        settings.Dead = 0;
    }
    // A wrong password is an error reply during the log-in: the job stops.
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("alice:wrong", "/u1.bin");
    EXPECT_EQ(runJob(job, ui, 60), STAGE_STOPPED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_ERROR, text(85))) << ui.dump();
}

TEST_F(FtpDownloadTest, SplitDownloadOverFtpIsByteIdentical) {
    const uint64_t size = 3000000;
    writePatternFile(www + "/s.bin", size);
    testservers::VsftpdServer server;
    // Slow enough that session 0 is still in the first half when session 1
    // has logged in.
    ASSERT_TRUE(server.start(www, 1500000));
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/s.bin");
    EXPECT_EQ(runJob(job, ui, 120), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("s.bin"), size));
    EXPECT_TRUE(ui.has(LOG_SENT, "REST " + std::to_string(size / 2))) << ui.dump();
    bool secondLoggedIn = false;
    for (const LogRow& row : ui.rows)
        secondLoggedIn |= row.session == 1 && row.text == "USER anonymous";
    EXPECT_TRUE(secondLoggedIn) << ui.dump();
}

TEST_F(FtpDownloadTest, StoppedTransferResumesThroughRest) {
    const uint64_t size = 1500000;
    writePatternFile(www + "/r.bin", size);
    testservers::VsftpdServer server;
    ASSERT_TRUE(server.start(www, 1000000));
    RecordingUi ui;
    ui.quitOnStop = false;
    DownloadJob job(settings, ui);
    runStoppedOnceAndResumed(job, ui, server.url("/r.bin"));
    EXPECT_EQ(job.stage(), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("r.bin"), size));
    EXPECT_GT(firstResumeOffset(ui, 0), 300000u) << ui.dump();
}

TEST_F(FtpDownloadTest, KeptTemporaryFileResumesFromStartUp) {
    const uint64_t size = 1500000;
    writePatternFile(www + "/k.bin", size);
    testservers::VsftpdServer server;
    ASSERT_TRUE(server.start(www, 1000000));
    std::string temp;
    {
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("/k.bin");
        ui.onTick = [&] {
            if (job.session(0).position > 300000) job.stopJob();
        };
        ASSERT_EQ(runJob(job, ui, 120), STAGE_STOPPED) << ui.dump();
        temp = job.tempPath();
        ASSERT_TRUE(job.keepTempFile());
    }
    AppSettings resumed = testSettings(out);
    RecordingUi ui;
    DownloadJob job(resumed, ui);
    TempFileLoadResult loaded = job.loadTempFile(temp, resumed);
    ASSERT_TRUE(loaded.ok) << loaded.errorText;
    resumed.resuming = true;
    resumed.NoDialog = true;
    resumed.tempFilePath = temp;
    EXPECT_EQ(runJob(job, ui, 120), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("k.bin"), size));
    EXPECT_FALSE(fileExists(temp));
    EXPECT_GT(firstResumeOffset(ui, 0), 300000u) << ui.dump();
}

TEST_F(FtpDownloadTest, RefusedSecondLogInLeavesTheWholeFileToSessionZero) {
    const uint64_t size = 3000000;
    writePatternFile(www + "/one.bin", size);
    testservers::VsftpdServer server;
    // One connection per address: the split's second log-in is refused.
    ASSERT_TRUE(server.start(www, 1500000, 1));
    settings.downloadOptions.set(FLAG_SPLIT, true);
    // The server may still count the probe of its start for a moment:
    // session 0 then waits and tries again.
    settings.downloadOptions.set(FLAG_RETRY_ON_ERROR, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/one.bin");
    EXPECT_EQ(runJob(job, ui, 120), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("one.bin"), size));
    std::vector<std::string> second = ui.rowsOf(1);
    auto has = [&](const std::string& row) {
        return std::find(second.begin(), second.end(), row) != second.end();
    };
    EXPECT_TRUE(has("1|" + text(71))) << ui.dump();
    EXPECT_TRUE(has("1|" + text(38))) << ui.dump();
    EXPECT_FALSE(has("2|" + text(85))) << ui.dump();
}

// Over IPv6 the data connection comes from EPSV, to the control connection's
// address; a stop and resume continues through "REST" there too.
TEST_F(FtpDownloadTest, Ipv6ControlConnectionUsesEpsvSizedAndResumed) {
    const uint64_t size = 1500000;
    writePatternFile(www + "/v6.bin", size);
    testservers::VsftpdServer server;
    server.ipv6 = true;
    ASSERT_TRUE(server.start(www, 1000000));
    settings.EnableIpv6 = true;
    RecordingUi ui;
    ui.quitOnStop = false;
    DownloadJob job(settings, ui);
    runStoppedOnceAndResumed(job, ui, server.url("/v6.bin"));
    EXPECT_EQ(job.stage(), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("v6.bin"), size));
    EXPECT_TRUE(ui.has(LOG_SENT, "EPSV")) << ui.dump();
    EXPECT_FALSE(ui.has(LOG_SENT, "PASV")) << ui.dump();
    EXPECT_EQ(job.record().contentLength, -2);  // sized by "SIZE"
    EXPECT_GT(firstResumeOffset(ui, 0), 300000u) << ui.dump();
}
