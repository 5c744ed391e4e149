// The split download (its meeting point and its restart rules) and resuming
// a kept temporary file in a new job, including the cases where a literal
// reading would lose the other session's data or stop a download that can go
// on.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "state/temp_file_format.h"
#include "tests/engine/engine_test_fixture.h"
#include "tests/engine/script_server.h"

using testservers::fileHasPattern;
using testservers::writePatternFile;

namespace {

std::string header200(uint64_t length) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string header206(uint64_t from, uint64_t total) {
    return "HTTP/1.0 206 Partial Content\r\nContent-Length: " + std::to_string(total - from) +
           "\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" +
           std::to_string(total) + "\r\n\r\n";
}

uint64_t rangeOf(const std::string& request) {
    size_t at = request.find("Range: bytes=");
    return at == std::string::npos ? 0 : std::strtoull(request.c_str() + at + 13, nullptr, 10);
}

// Replaces the value of key in the state block of a temporary file.
void editState(const std::string& path, const std::string& key, const std::string& value) {
    std::string content = fileContent(path);
    std::string state = content.substr(0, content.find('\0'));
    size_t at = state.find("\n" + key + ":");
    ASSERT_NE(at, std::string::npos) << key;
    size_t begin = at + key.size() + 2;
    state.replace(begin, state.find('\n', begin) - begin, value);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.write(state.c_str(), static_cast<std::streamsize>(state.size() + 1));
}

}  // namespace

class SplitResumeTest : public EngineTest {
protected:
    // A new job over the kept temporary file at path, as start-up loads it.
    int resume(const std::string& path, RecordingUi& ui, AppSettings& settings, std::optional<DownloadJob>& job) {
        settings = testSettings(out);
        job.emplace(settings, ui);
        TempFileLoadResult loaded = job->loadTempFile(path, settings);
        EXPECT_TRUE(loaded.ok) << loaded.errorText;
        settings.resuming = true;
        settings.NoDialog = true;
        settings.tempFilePath = path;
        return runJob(*job, ui);
    }
    // A split download of path that may start again from byte 0; the run
    // must end with the whole file, having logged the restart.
    void expectSplitRestartFinishes(ScriptServer& server, const std::string& path, uint64_t size,
                                    RecordingUi& ui) {
        AppSettings settings = testSettings(out);
        settings.downloadOptions.set(FLAG_SPLIT, true);
        settings.downloadOptions.set(FLAG_RESTART_IF_NO_RESUME, true);
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url(path);
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_INFO, text(72)));
        EXPECT_TRUE(fileHasPattern(outPath(path.substr(1)), size)) << ui.dump();
    }
};

TEST_F(SplitResumeTest, SessionZeroTakesTheRestWhenSessionOneNeverGetsData) {
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        if (rangeOf(c.request()) == 0) {
            c.send(header200(size));
            c.sendPattern(0, size, 8192, 3);
        } else {
            c.holdUntilClosed();  // session 1: connected, never answered
        }
    });
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/m.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("m.bin"), size));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(rangeOf(requests[1]), size / 2);
    bool closedOne = false;
    for (const LogRow& row : ui.rows) closedOne = closedOne || (row.session == 1 && row.text == text(38));
    EXPECT_TRUE(closedOne) << ui.dump();
}

TEST_F(SplitResumeTest, SessionZeroThatTookTheRestResumesAfterAnInterruption) {
    // Session 1 gets its 206 header but no data; session 0 passes the middle,
    // gives session 1 up and owns the rest, so that an interruption after
    // that is resumed like any other, not taken for a failed download.
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (c.number() == 1) {
            c.send(header200(size));
            c.sendPattern(0, 300000, 4096, 10);
        } else if (from == size / 2) {
            c.send(header206(from, size));
            c.holdUntilClosed();
        } else {
            c.send(header206(from, size));
            c.sendPattern(from, size);
        }
    });
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/i.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_FALSE(ui.has(LOG_FATAL, text(37))) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("i.bin"), size));
}

TEST_F(SplitResumeTest, SplitDownloadStopsAndResumesByteIdentical) {
    const uint64_t size = 2000000;
    writePatternFile(www + "/big.bin", size);
    testservers::FaultServer server;
    ASSERT_TRUE(server.start(www));
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/drip=16384:4/big.bin");
    ui.onTick = [&] {
        if (job.session(0).position > 300000 && job.session(1).position > size / 2 + 300000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    RecordingUi ui2;
    AppSettings settings2;
    std::optional<DownloadJob> job2;
    EXPECT_EQ(resume(temp, ui2, settings2, job2), STAGE_ENDED) << ui2.dump();
    EXPECT_TRUE(fileHasPattern(outPath("big.bin"), size));
    EXPECT_FALSE(fileExists(temp));
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_GT(rangeOf(requests[2]) + rangeOf(requests[3]), size / 2 + 600000);
}

TEST_F(SplitResumeTest, SecondHalfSentPastTheTotalDoesNotFinishBeforeTheFirstHalf) {
    // The second session's server sends more than the announced total (a
    // file that grew): the download must still wait for the first half.
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (from == 0) {
            c.send(header200(size));
            c.sendPattern(0, size, 4096, 20);
        } else {
            c.send(header206(from, size));
            c.sendPattern(from, size + 5000);
        }
    });
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/g.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("g.bin"), size)) << ui.dump();
}

TEST_F(SplitResumeTest, RestartFromZeroClosesTheOtherSessionAndLosesNothing) {
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (c.number() == 1) {  // session 0: an early close
            c.send(header200(size));
            c.sendPattern(0, 30000, 10000, 20);
        } else if (from == size / 2) {  // session 1: a slow second half
            c.send(header206(from, size));
            c.sendPattern(from, size, 4096, 30);
        } else {  // session 0 again: the server ignores the range
            c.send(header200(size));
            c.sendPattern(0, size, 65536, 1);
        }
    });
    RecordingUi ui;
    expectSplitRestartFinishes(server, "/r.bin", size, ui);
    EXPECT_TRUE(ui.has(LOG_WARNING, text(71)));
}

TEST_F(SplitResumeTest, RestartFromZeroFinishesWhenTheOtherSessionWritesFirst) {
    // After the restart the second session writes before session 0's first
    // new block: the download must still be found complete at the end.
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (c.number() == 1) {
            c.send(header200(size));
            c.sendPattern(0, 30000, 10000, 20);
        } else if (from == size / 2) {
            c.send(header206(from, size));
            c.sendPattern(from, size, 4096, 10);
        } else if (from == 30000) {
            c.send(header200(size));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            c.sendPattern(0, size, 65536, 1);
        } else {
            c.send("HTTP/1.0 416 Requested Range Not Satisfiable\r\n\r\n");
        }
    });
    RecordingUi ui;
    expectSplitRestartFinishes(server, "/o.bin", size, ui);
}

TEST_F(SplitResumeTest, RestartWithAnUnsizedBodyEndsTheOtherSession) {
    // Session 0's retry gets the whole file again without a size: from then
    // on session 0 alone writes it, and the second session's end is no end
    // of the download.
    const uint64_t size = 400000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (c.number() == 1) {
            c.send(header200(size));
            c.sendPattern(0, 30000, 10000, 20);
        } else if (from == size / 2) {
            c.send(header206(from, size));
            c.sendPattern(from, size, 4096, 10);
        } else {
            c.send("HTTP/1.0 200 OK\r\n\r\n");
            c.sendPattern(0, size, 8192, 20);
        }
    });
    RecordingUi ui;
    expectSplitRestartFinishes(server, "/v.bin", size, ui);
}

TEST_F(SplitResumeTest, ResumedJobOfUnknownSizeGoesOnWhenTheServerNowReportsATotal) {
    const uint64_t size = 100000;
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (from == 0) {
            c.send("HTTP/1.0 200 OK\r\n\r\n");
            c.sendPattern(0, 40000);
            c.holdUntilClosed();
        } else {
            c.send(header206(from, size));
            c.sendPattern(from, size);
        }
    });
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/u.bin");
    ui.onTick = [&] {
        if (job.session(0).position >= 40000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    RecordingUi ui2;
    AppSettings settings2;
    std::optional<DownloadJob> job2;
    EXPECT_EQ(resume(temp, ui2, settings2, job2), STAGE_ENDED) << ui2.dump();
    EXPECT_EQ(rangeOf(server.requests().back()), 40000u);
    EXPECT_FALSE(ui2.has(LOG_FATAL, text(69)));
    EXPECT_TRUE(fileHasPattern(outPath("u.bin"), size));
}

TEST_F(SplitResumeTest, ResumedJobRestartedByAnUnsizedAnswerKeepsNoOldTail) {
    // The kept file holds 60000 bytes; on resuming, the server answers with
    // a whole new body of unknown size that is shorter: the finished file is
    // that body, not the body followed by the old data behind it.
    bool firstRun = true;
    ScriptServer server([&](ScriptConnection& c) {
        if (firstRun) {
            c.send(header200(100000));
            c.sendPattern(0, 60000);
            c.holdUntilClosed();
        } else {
            c.send("HTTP/1.0 200 OK\r\n\r\n");
            c.sendPattern(0, 30000);
        }
    });
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/t.bin");
    ui.onTick = [&] {
        if (job.session(0).position >= 60000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    firstRun = false;
    RecordingUi ui2;
    AppSettings settings2;
    std::optional<DownloadJob> job2;
    EXPECT_EQ(resume(temp, ui2, settings2, job2), STAGE_ENDED) << ui2.dump();
    EXPECT_TRUE(ui2.has(LOG_WARNING, text(73)));
    EXPECT_TRUE(fileHasPattern(outPath("t.bin"), 30000)) << ui2.dump();
}

TEST_F(SplitResumeTest, ResumedSessionZeroWithoutDataKeepsTheOtherSessionsData) {
    const uint64_t size = 400000;
    const uint64_t half = size / 2;
    bool firstRun = true;
    std::atomic<uint64_t> secondRunSent{0};
    ScriptServer server([&](ScriptConnection& c) {
        uint64_t from = rangeOf(c.request());
        if (firstRun && from == 0) {
            c.send(header200(size));
            c.sendPattern(0, 20000);
            c.holdUntilClosed();
        } else if (firstRun) {
            c.send(header206(from, size));
            c.sendPattern(from, size);
        } else if (from == 0) {
            c.send(header200(size));
            for (uint64_t at = 0; at < size; at += 8192) {
                if (!c.sendPattern(at, std::min(size, at + 8192), 8192, 0)) break;
                secondRunSent = std::min(size, at + 8192);
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
        } else {
            c.send(header206(from, size));
            c.sendPattern(from, size);
        }
    });
    AppSettings settings = testSettings(out);
    settings.downloadOptions.set(FLAG_SPLIT, true);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/k.bin");
    ui.onTick = [&] {
        if (job.session(1).phase == PHASE_IDLE && job.session(0).position >= 20000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    // Session 0 as if its data had never been registered: it asks again from
    // byte 0 and the server answers with the whole file.
    editState(temp, "Session0-FirstRange", "0");
    editState(temp, "WhiteSheet-black0last", "0");
    firstRun = false;
    RecordingUi ui2;
    AppSettings settings2;
    std::optional<DownloadJob> job2;
    EXPECT_EQ(resume(temp, ui2, settings2, job2), STAGE_ENDED) << ui2.dump();
    EXPECT_FALSE(ui2.has(LOG_FATAL, text(37))) << ui2.dump();
    EXPECT_TRUE(fileHasPattern(outPath("k.bin"), size));
    EXPECT_FALSE(ui2.has(LOG_INFO, text(72)));
    // Only session 0 ran again; the second half came from the kept file.
    std::vector<std::string> requests = server.requests();
    EXPECT_EQ(requests.size(), 3u);
    // Session 0 stopped where the kept second half begins.
    EXPECT_LT(secondRunSent.load(), half + 100000);
}

TEST_F(SplitResumeTest, RefusesADamagedOrShortTemporaryFile) {
    testservers::writeFile(outPath("short.dorimelt"), std::string(STATE_BLOCK_SIZE - 1, 'x'));
    std::string wrong = "Dorimel:600\nDLG-Stage:2\n";
    wrong.resize(STATE_BLOCK_SIZE, '\0');
    testservers::writeFile(outPath("wrong.dorimelt"), wrong);
    std::string tooFar = "Dorimel:500\nDLG-ContentLength:1000\nDLG-WhiteSheetAs:1\nWhiteSheet-size:1000\n"
                         "Session0-FirstRange:5000\n";
    tooFar.resize(STATE_BLOCK_SIZE, '\0');
    testservers::writeFile(outPath("toofar.dorimelt"), tooFar);
    std::string fine = "Dorimel:5\nApp-InputURL:http://127.0.0.1:1/f.bin\nDLG-ContentLength:18446744073709551615\n";
    fine.resize(STATE_BLOCK_SIZE, '\0');
    testservers::writeFile(outPath("fine.dorimelt"), fine);
    for (const char* name : {"short.dorimelt", "wrong.dorimelt", "toofar.dorimelt", "fine.dorimelt"}) {
        SCOPED_TRACE(name);
        AppSettings settings = testSettings(out);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        TempFileLoadResult result = job.loadTempFile(outPath(name), settings);
        bool good = std::string(name) == "fine.dorimelt";
        EXPECT_EQ(result.ok, good);
        if (!good) {
            EXPECT_EQ(result.errorText, text(96) + " : " + outPath(name));
        }
        if (good) {
            EXPECT_EQ(settings.InputURL, "http://127.0.0.1:1/f.bin");
        }
    }
}

TEST_F(SplitResumeTest, RefusesABlockMapOfAnotherSizeThanTheDownload) {
    // A block map shorter than the download would call it complete early and
    // the rest of the file would be made up of zeros.
    std::string state = "Dorimel:500\nDLG-ContentLength:100000\nDLG-WhiteSheetAs:1\nWhiteSheet-bcount:1\n"
                        "WhiteSheet-black0first:0\nWhiteSheet-black0last:300\nWhiteSheet-size:300\n"
                        "Session0-FirstRange:300\nSession0-LastRange:100000\nSession0-Phase:3\n";
    state.resize(STATE_BLOCK_SIZE, '\0');
    testservers::writeFile(outPath("sheet.dorimelt"), state);
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    TempFileLoadResult result = job.loadTempFile(outPath("sheet.dorimelt"), settings);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorText, text(96) + " : " + outPath("sheet.dorimelt"));
}
