// The download window's status display computed without a window: title,
// percentages, times, speed, remaining time, the progress bar and the tick's
// pacing of the close button, toolbar, elapsed time and speed.
#include "app/status_display.h"

#include <gtest/gtest.h>

#include "foundation/app_settings.h"

namespace {

const std::string kSuffix = " (limited)";

JobStatus running(int64_t length) {
    JobStatus job;
    job.stage = STATUS_STAGE_RUNNING;
    job.contentLength = length;
    job.targetFile = "file.zip";
    return job;
}

TEST(StatusDisplay, PercentCombinesSplitSessionsAndClampsOutOfRangeToZero) {
    JobStatus job = running(1000);
    job.sessions[0].percent = 40;
    EXPECT_EQ(progressPercent(job), 40);
    job.sessions[1].position = 600;  // session 1 has received: a split download
    job.sessions[1].percent = 70;
    EXPECT_EQ(progressPercent(job), 60);
    job.sessions[0].percent = 100;
    job.sessions[1].percent = 100;  // 150: outside 0..100
    EXPECT_EQ(progressPercent(job), 0);
    job.sessions[0].percent = 10;
    job.sessions[1].percent = 10;  // -30
    EXPECT_EQ(progressPercent(job), 0);
    job.sessions[1].percent = 60;
    job.finalDisplay = true;
    EXPECT_EQ(progressPercent(job), 100);
}

TEST(StatusDisplay, TitleByLengthAndSpeedLimit) {
    JobStatus job = running(0);
    EXPECT_EQ(titleText(job, 0, kSuffix), "Dorimel");
    job.contentLength = -1;
    job.sessions[0].position = 5 * 1024 + 1000;
    EXPECT_EQ(titleText(job, 0, kSuffix), "5KB / file.zip ");
    job.contentLength = 100;
    EXPECT_EQ(titleText(job, 42, kSuffix), "42% / file.zip ");
    job.flags = FLAG_SPEED_LIMIT;
    EXPECT_EQ(titleText(job, 42, kSuffix), "42% / file.zip (limited)");
    job.contentLength = -1;
    EXPECT_EQ(titleText(job, 0, kSuffix), "5KB / file.zip (limited)");
}

TEST(StatusDisplay, DurationAndSpeedFormats) {
    EXPECT_EQ(formatDuration(0), "00:00:00");
    EXPECT_EQ(formatDuration(3661), "01:01:01");
    EXPECT_EQ(formatDuration(99 * 3600 + 59 * 60 + 59), "99:59:59");
    EXPECT_EQ(formatDuration(100 * 3600 + 2 * 60 + 3), "??:02:03");
    EXPECT_EQ(formatSpeed(0), "0.00 kb/s");
    EXPECT_EQ(formatSpeed(12.345), "12.35 kb/s");
}

TEST(StatusDisplay, SpeedAndRemainingTime) {
    JobStatus job = running(4 * 1024 * 1024);
    job.sessions[0].rate = 8;
    job.sessions[0].position = 1024 * 1024;
    job.sessions[0].rangeEnd = 2 * 1024 * 1024;
    EXPECT_DOUBLE_EQ(currentSpeed(job), 8);
    uint64_t seconds = 0;
    ASSERT_TRUE(remainingSeconds(job, 8, seconds));
    EXPECT_EQ(seconds, 128u);  // 1 MB at 8 K/s

    // Split: only sessions with an open connection add their rate; both
    // ranges count for the remaining bytes.
    job.sessions[1].position = 3 * 1024 * 1024;
    job.sessions[1].rangeEnd = 4 * 1024 * 1024;
    job.sessions[1].rate = 4;
    job.sessions[0].hasSocket = true;
    EXPECT_DOUBLE_EQ(currentSpeed(job), 8);
    job.sessions[1].hasSocket = true;
    EXPECT_DOUBLE_EQ(currentSpeed(job), 12);
    ASSERT_TRUE(remainingSeconds(job, 16, seconds));
    EXPECT_EQ(seconds, 128u);

    EXPECT_FALSE(remainingSeconds(job, 0, seconds));
    job.contentLength = -1;
    EXPECT_FALSE(remainingSeconds(job, 8, seconds));
    job.contentLength = 100;
    job.stage = STATUS_STAGE_ENDED;
    EXPECT_FALSE(remainingSeconds(job, 8, seconds));
}

TEST(StatusDisplay, ProgressBarSegments) {
    JobStatus job = running(1000);
    EXPECT_TRUE(progressBar(running(0), 200).empty());
    EXPECT_TRUE(progressBar(running(-1), 200).empty());

    auto finished = progressBar(running(-2), 200);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_TRUE(finished[0].done);
    EXPECT_EQ(finished[0].right, 200);

    job.sessions[0].position = 250;
    auto one = progressBar(job, 200);
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].left, 0);
    EXPECT_EQ(one[0].right, 50);
    EXPECT_TRUE(one[0].done);
    EXPECT_EQ(one[1].left, 50);
    EXPECT_EQ(one[1].right, 200);
    EXPECT_FALSE(one[1].done);

    job.sessions[1].position = 750;  // session 1 works on the second half
    auto split = progressBar(job, 200);
    ASSERT_EQ(split.size(), 4u);
    EXPECT_EQ(split[1].right, 100);
    EXPECT_EQ(split[2].left, 100);
    EXPECT_EQ(split[2].right, 150);
    EXPECT_TRUE(split[2].done);
    EXPECT_EQ(split[3].right, 200);

    // More data than announced never paints outside the control.
    job.sessions[1].position = 0;
    job.sessions[0].position = 5000;
    for (const BarSegment& s : progressBar(job, 200)) {
        EXPECT_GE(s.left, 0);
        EXPECT_LE(s.right, 200);
    }
}

TEST(StatusTicker, FirstTickWritesCloseButtonAndToolbarThenOnlyOnChange) {
    StatusTicker ticker;
    JobStatus job = running(1000);
    TickUpdate u = ticker.tick(job, "", kSuffix);
    EXPECT_TRUE(u.closeButtonChanged);
    EXPECT_FALSE(u.closeShowsEnded);
    EXPECT_TRUE(u.toolbarChanged);
    EXPECT_FALSE(u.resumeEnabled);
    EXPECT_TRUE(u.stopEnabled);
    EXPECT_TRUE(u.setTitle);
    EXPECT_EQ(u.title, "0% / file.zip ");

    u = ticker.tick(job, "0% / file.zip ", kSuffix);
    EXPECT_FALSE(u.closeButtonChanged);
    EXPECT_FALSE(u.toolbarChanged);
    EXPECT_FALSE(u.setTitle);

    job.stage = STATUS_STAGE_STOPPED;
    u = ticker.tick(job, "0% / file.zip ", kSuffix);
    EXPECT_FALSE(u.closeButtonChanged);
    EXPECT_TRUE(u.toolbarChanged);
    EXPECT_TRUE(u.resumeEnabled);
    EXPECT_FALSE(u.stopEnabled);

    job.stage = STATUS_STAGE_ENDED;
    u = ticker.tick(job, "0% / file.zip ", kSuffix);
    EXPECT_TRUE(u.closeButtonChanged);
    EXPECT_TRUE(u.closeShowsEnded);
    EXPECT_TRUE(u.toolbarChanged);
    EXPECT_FALSE(u.resumeEnabled);
    EXPECT_FALSE(u.stopEnabled);
    EXPECT_FALSE(u.setTitle);  // an ended job keeps its title
}

TEST(StatusTicker, ElapsedEveryTenthRunningTickSpeedEveryEleventh) {
    StatusTicker ticker;
    JobStatus job = running(1000);
    job.sessions[0].rate = 2;
    job.sessions[0].rangeEnd = 1000;
    int elapsedUpdates = 0, speedUpdates = 0;
    for (int i = 1; i <= 110; ++i) {
        TickUpdate u = ticker.tick(job, "", kSuffix);
        if (u.setElapsed) {
            ++elapsedUpdates;
            EXPECT_EQ(i % 10, 0);
        }
        if (u.setSpeed) {
            ++speedUpdates;
            EXPECT_EQ(i % 11, 0);
            EXPECT_EQ(u.speed, "2.00 kb/s");
        }
    }
    EXPECT_EQ(elapsedUpdates, 11);
    EXPECT_EQ(speedUpdates, 10);
    EXPECT_EQ(ticker.elapsedSeconds, 11u);

    // Stopped: the elapsed time stays, the speed shows 0.
    job.stage = STATUS_STAGE_STOPPED;
    for (int i = 0; i < 22; ++i) {
        TickUpdate u = ticker.tick(job, "", kSuffix);
        EXPECT_FALSE(u.setElapsed);
        if (u.setSpeed) {
            EXPECT_EQ(u.speed, "0.00 kb/s");
        }
    }
    EXPECT_EQ(ticker.elapsedSeconds, 11u);
}

TEST(StatusTicker, FinalDisplayRefreshesAtOnceAndShowsZeroRemaining) {
    StatusTicker ticker;
    JobStatus job = running(-2);
    job.stage = STATUS_STAGE_ENDED;
    job.finalDisplay = true;
    TickUpdate u = ticker.tick(job, "", kSuffix);
    EXPECT_TRUE(u.setSpeed);
    EXPECT_TRUE(u.setRemaining);
    EXPECT_EQ(u.remaining, "00:00:00");
}

TEST(StatusTicker, SpeedRatioFollowsTheLimit) {
    StatusTicker ticker;
    JobStatus job = running(1000);
    job.flags = FLAG_SPEED_LIMIT;
    job.speedLimit = 10;
    job.sessions[0].rate = 40;
    for (int i = 0; i < 11; ++i) ticker.tick(job, "", kSuffix);
    EXPECT_DOUBLE_EQ(ticker.speedRatio, 0.25);
}

TEST(StatusTicker, DeadJobSkipsTheRestOfTheTick) {
    StatusTicker ticker;
    JobStatus job = running(1000);
    job.dead = true;
    TickUpdate u = ticker.tick(job, "", kSuffix);
    EXPECT_FALSE(u.setTitle);
    EXPECT_FALSE(u.closeButtonChanged);
}

}  // namespace
