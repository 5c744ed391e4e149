// The user's commands on a running job: stop during the retry wait and
// resume, and the speed limit switched on and off during a download.
#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/system.h"
#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

class ControlTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(server.start(www));
    }
    testservers::FaultServer server;
};

TEST_F(ControlTest, StoppingFreezesTheRetryWaitAndResumingRestartsIt) {
    writePatternFile(www + "/w.bin", 50000);
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/close=10000,times=1/w.bin");
    int frozenAt = -1;
    ui.onTick = [&] {
        if (job.session(0).phase == PHASE_WAITING && job.session(0).waitCount < 40 && frozenAt < 0) {
            job.stopJob();
            frozenAt = job.session(0).waitCount;
        }
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WARNING, text(36)));
    EXPECT_EQ(job.session(0).suspended, 1);
    // Ticks while stopped change nothing.
    ui.quitOnStop = false;
    ui.onTick = [&] {
        if (ui.ticks > 200) quitEventLoop();
    };
    runJob(job, ui, 30, false);
    EXPECT_EQ(job.session(0).waitCount, frozenAt);
    EXPECT_EQ(job.session(0).phase, PHASE_WAITING);
    // Resume: the counter shows 0 again and the session waits anew.
    ui.quitOnStop = true;
    ui.onTick = nullptr;
    job.resume();
    EXPECT_EQ(job.stage(), STAGE_RUNNING);
    EXPECT_EQ(ui.controls[CTRL_RETRIES], "0 / 32");
    EXPECT_EQ(job.session(0).waitCount, RETRY_WAIT_TICKS);
    EXPECT_EQ(runJob(job, ui, 60, false), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("w.bin"), 50000));
    EXPECT_NE(server.requests().back().find("Range: bytes=10000-"), std::string::npos);
}

TEST_F(ControlTest, SpeedLimitedDownloadDrainsWhenTheLimitGoesOff) {
    const uint64_t size = 400000;
    writePatternFile(www + "/l.bin", size);
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPEED_LIMIT, true);
    settings.downloadOptions.speedLimit = 10;  // 1024 bytes a tick at first
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/f/l.bin");
    uint64_t maxStep = 0, last = 0;
    bool switched = false;
    ui.onTick = [&] {
        uint64_t now = job.session(0).position;
        if (!switched && now > last) maxStep = std::max(maxStep, now - last);
        last = now;
        if (!switched && now >= 30000) {
            switched = true;
            settings.downloadOptions.set(FLAG_SPEED_LIMIT, false);
            job.speedLimitSwitchedOff();
        }
    };
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(switched);
    // The ratio at most doubles the quota of 1024 bytes a tick.
    EXPECT_LE(maxStep, 2048u);
    EXPECT_TRUE(fileHasPattern(outPath("l.bin"), size));
}

// A failed lookup stops the job, and the stop names the session whose lookup
// it was. The failure is delivered through the job's own event entry, so no
// name server is ever asked.
TEST_F(ControlTest, FailedLookupIsFollowedByTheStopRowOfItsSession) {
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = "http://localhost/x.bin";
    LookupTask task = NO_LOOKUP;
    postDeferred([&] {
        job.start();
        task = job.session(0).lookupTask;
        if (task != NO_LOOKUP) job.onHostResolved(task, WSAHOST_NOT_FOUND, INADDR_NONE);
    });
    ASSERT_EQ(runJob(job, ui, 60, false), STAGE_STOPPED) << ui.dump();
    ASSERT_NE(task, NO_LOOKUP);
    std::vector<std::string> rows = ui.rowsOf(0);
    ASSERT_GE(rows.size(), 2u) << ui.dump();
    EXPECT_EQ(rows[rows.size() - 2], "2|" + text(6) + errorText(WSAHOST_NOT_FOUND)) << ui.dump();
    EXPECT_EQ(rows.back(), "6|" + text(36)) << ui.dump();
    EXPECT_EQ(job.session(0).lookupTask, NO_LOOKUP);
}
