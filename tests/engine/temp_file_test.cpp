// The temporary file: its name and the unique-name rule, the state block at
// offset 0 (marker, sorted keys) with the data behind it, the paced saves,
// the size check at the end, empty downloads and an existing destination.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "state/records.h"
#include "state/temp_file_format.h"
#include "tests/engine/engine_test_fixture.h"

using testservers::fileHasPattern;
using testservers::patternByte;
using testservers::writePatternFile;

namespace {

uint32_t fakeNow = 0;
uint32_t frozenClock() { return 100000; }
uint32_t racingClock() { return fakeNow += 6000; }

// A clock that follows the download instead of the wall: 10000 ms while
// session 0 is at byte 0, 15000 ms up to byte 300000, 15001 ms from there on.
const DownloadJob* positionClockJob = nullptr;
uint32_t positionClock() {
    uint64_t at = positionClockJob ? positionClockJob->session(0).position : 0;
    return at == 0 ? 10000 : at < 300000 ? 15000 : 15001;
}

// The state text at the start of a temporary file ("" when there is none).
std::string stateText(const std::string& path) {
    std::string content = fileContent(path);
    size_t nul = content.find('\0');
    return nul == std::string::npos ? std::string() : content.substr(0, nul);
}

std::string stateValue(const std::string& state, const std::string& key) {
    size_t at = state.find("\n" + key + ":");
    if (at == std::string::npos) return "<missing>";
    size_t begin = at + key.size() + 2;
    return state.substr(begin, state.find('\n', begin) - begin);
}

}  // namespace

class TempFileTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(server.start(www));
    }
    testservers::FaultServer server;
};

TEST_F(TempFileTest, KeepsTheStateBlockAtOffsetZeroAndTheDataBehindIt) {
    const uint64_t size = 300000;
    writePatternFile(www + "/t.bin", size);
    overrideTickCount(frozenClock);
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/stall=150000/t.bin");
    std::string temp = outPath("t.bin.dorimelt");
    ui.onTick = [&] {
        if (job.session(0).position >= 150000) job.stopJob();
    };
    EXPECT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    EXPECT_EQ(job.tempPath(), temp);
    // With a clock that never moves only the first write saved the state:
    // session 0 still at 0, its first block not yet registered.
    std::string state = stateText(temp);
    ASSERT_EQ(state.compare(0, 12, "Dorimel:500\n"), 0) << state.substr(0, 40);
    EXPECT_EQ(stateValue(state, "Session0-FirstRange"), "0");
    EXPECT_EQ(stateValue(state, "DLG-ContentLength"), "300000");
    EXPECT_EQ(stateValue(state, "DLG-TargetFile"), "t.bin");
    EXPECT_EQ(stateValue(state, "Session0-CurURL"), job.newDownload.strURL);
    // Keys come in byte order.
    std::vector<std::string> keys;
    size_t begin = state.find('\n') + 1;
    while (begin < state.size()) {
        size_t end = state.find('\n', begin);
        std::string line = state.substr(begin, end - begin);
        keys.push_back(line.substr(0, line.find(':')));
        begin = end + 1;
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << state;
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
    // Data at +512000, byte n of the download at 512000 + n.
    std::string content = fileContent(temp);
    ASSERT_GE(content.size(), STATE_BLOCK_SIZE + 150000);
    bool same = true;
    for (uint64_t i = 0; i < 150000; ++i) same = same && static_cast<uint8_t>(content[STATE_BLOCK_SIZE + i]) == patternByte(i);
    EXPECT_TRUE(same);
    // Keeping the file writes the current state.
    EXPECT_TRUE(job.keepTempFile());
    state = stateText(temp);
    EXPECT_EQ(stateValue(state, "Session0-FirstRange"), "150000");
    EXPECT_EQ(stateValue(state, "WhiteSheet-black0last"), "150000");
    EXPECT_EQ(stateValue(state, "DLG-Stage"), "4");
}

TEST_F(TempFileTest, AStateTextFillingTheWholeBlockLeavesTheFirstDataByteAlone) {
    const uint64_t size = 300000;
    writePatternFile(www + "/w.bin", size);
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/stall=150000/w.bin");
    ui.onTick = [&] {
        if (job.session(0).position >= 150000) job.stopJob();
    };
    ASSERT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    // A long referer makes the state text exactly as long as the block.
    auto textLength = [&] {
        std::unique_ptr<WhiteSheet> sheet(job.whiteSheet() ? new WhiteSheet(*job.whiteSheet()) : nullptr);
        ResumeStateRefs refs{job.settings(), job.record(), job.newDownload, sheet, job.session(0), job.session(1)};
        std::string text;
        return storeResumeState(refs, text) ? text.size() - 1 : 0;
    };
    size_t length = textLength();
    ASSERT_GT(length, 0u);
    job.newDownload.strReferer += std::string(STATE_BLOCK_SIZE - length, 'r');
    ASSERT_EQ(textLength(), STATE_BLOCK_SIZE);
    std::string temp = job.tempPath();
    ASSERT_TRUE(job.keepTempFile());
    std::string content = fileContent(temp);
    ASSERT_GT(content.size(), STATE_BLOCK_SIZE);
    EXPECT_EQ(static_cast<uint8_t>(content[STATE_BLOCK_SIZE]), patternByte(0));
    // And the kept file still resumes.
    AppSettings settings2 = testSettings(out);
    RecordingUi ui2;
    DownloadJob job2(settings2, ui2);
    TempFileLoadResult loaded = job2.loadTempFile(temp, settings2);
    EXPECT_TRUE(loaded.ok) << loaded.errorText;
    EXPECT_EQ(job2.newDownload.strReferer.size(), job.newDownload.strReferer.size());
}

TEST_F(TempFileTest, PacesStateSavesBy102400BytesAnd5000Milliseconds) {
    const uint64_t size = 600000;
    writePatternFile(www + "/p.bin", size);
    // The speed limit reads one block of at most 3 x 102.4 x KB/s bytes a
    // tick, and the tick hook runs after it: every save is seen, at the
    // position of the write that made it.
    auto pacedRun = [&](int kbPerSecond, const std::string& url, uint64_t stopAt) {
        AppSettings settings = testSettings(out);
        settings.downloadOptions.set(FLAG_SPEED_LIMIT, true);
        settings.downloadOptions.speedLimit = kbPerSecond;
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = url;
        std::string temp = outPath("p.bin.dorimelt");
        std::vector<uint64_t> saved;
        bool claimsTooMuch = false;
        positionClockJob = &job;
        ui.onTick = [&] {
            std::string state = stateText(temp);
            if (state.compare(0, 12, "Dorimel:500\n") == 0) {
                uint64_t at = std::strtoull(stateValue(state, "Session0-FirstRange").c_str(), nullptr, 10);
                if (saved.empty() || saved.back() != at) saved.push_back(at);
                claimsTooMuch = claimsTooMuch || at > job.session(0).position;
            }
            if (stopAt && job.session(0).position >= stopAt) job.stopJob();
        };
        EXPECT_EQ(runJob(job, ui), stopAt ? STAGE_STOPPED : STAGE_ENDED) << ui.dump();
        positionClockJob = nullptr;
        EXPECT_FALSE(claimsTooMuch);
        if (stopAt) job.keepTempFile();
        std::remove(temp.c_str());
        std::remove(outPath("p.bin").c_str());
        return saved;
    };

    // Bytes: a clock that races ahead allows every save the bytes allow; each
    // comes with the first write starting more than 102400 bytes past the end
    // of the last write that was far enough to count.
    fakeNow = 10000;
    overrideTickCount(racingClock);
    const uint64_t block = 3 * 2048;
    std::vector<uint64_t> saved = pacedRun(20, server.url("/f/p.bin"), 0);
    ASSERT_GE(saved.size(), 4u);
    EXPECT_EQ(saved[0], 0u);
    for (size_t i = 1; i < saved.size(); ++i) {
        EXPECT_GT(saved[i] - saved[i - 1], 102400u) << i;
        EXPECT_LE(saved[i] - saved[i - 1], 102400u + 2 * block) << i;
    }

    // Milliseconds: the first write saves at 10000 ms; the writes up to byte
    // 300000 see exactly 5000 ms more, which is not enough; the writes from
    // there on see 5001 ms, and the first one far enough saves. The server
    // stalls at byte 560000, so the job waits there to be stopped.
    overrideTickCount(positionClock);
    saved = pacedRun(200, server.url("/x/stall=560000/p.bin"), 560000);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0], 0u);
    EXPECT_GE(saved[1], 300000u);
    EXPECT_LE(saved[1], 300000u + 102400u + 2 * 3 * 20480);
}

TEST_F(TempFileTest, UsesTheNextFreeTemporaryNameAndFinishesUnderTheTargetName) {
    writePatternFile(www + "/u.zip", 3000);
    testservers::writeFile(outPath("u.zip.dorimelt"), "someone else's");
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/f/u.zip");
    std::string tempSeen;
    ui.onTick = [&] {
        if (tempSeen.empty()) tempSeen = job.tempPath();
    };
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileHasPattern(outPath("u.zip"), 3000));
    EXPECT_EQ(fileContent(outPath("u.zip.dorimelt")), "someone else's");
    EXPECT_FALSE(fileExists(outPath("u.zip[1].dorimelt")));
    EXPECT_FALSE(fileExists(outPath("u.zip[1]")));
    EXPECT_TRUE(ui.has(LOG_INFO, text(41)));
}

TEST_F(TempFileTest, NeverReplacesAnExistingDestination) {
    writePatternFile(www + "/e.bin", 4000);
    for (int autoRename = 0; autoRename < 2; ++autoRename) {
        SCOPED_TRACE(autoRename ? "auto rename" : "plain");
        testservers::writeFile(outPath("e.bin"), "old");
        std::remove(outPath("e.bin.dorimelt").c_str());
        std::remove(outPath("e[1].bin").c_str());
        AppSettings settings = testSettings(out);
        settings.AutoRename = autoRename != 0;
        RecordingUi ui;
        DownloadJob job(settings, ui);
        job.newDownload.strURL = server.url("/f/e.bin");
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_EQ(ui.askedTargetExists, outPath("e.bin"));
        EXPECT_EQ(fileContent(outPath("e.bin")), "old");
        if (autoRename) {
            EXPECT_TRUE(fileHasPattern(outPath("e[1].bin"), 4000));
            EXPECT_EQ(job.record().moveSucceeded, 1);
        } else {
            // The finished data stays in the temporary file, named to the user.
            EXPECT_EQ(ui.moveFailedPath, outPath("e.bin.dorimelt"));
            EXPECT_TRUE(fileHasPattern(outPath("e.bin.dorimelt"), 4000));
            EXPECT_EQ(job.record().moveSucceeded, 0);
        }
    }
}

TEST_F(TempFileTest, CancelsWhenTheUserDoesNotWantToReplaceTheDestination) {
    writePatternFile(www + "/c.bin", 300000);
    testservers::writeFile(outPath("c.bin"), "old");
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    ui.cancelOnTargetExists = true;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/stall=100000/c.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(ui.windowEnded);
    EXPECT_EQ(ui.deleteQuestions, 1);
    EXPECT_EQ(fileContent(outPath("c.bin")), "old");
    // "No" to the delete question: the file is kept with its state.
    EXPECT_EQ(stateText(outPath("c.bin.dorimelt")).compare(0, 11, "Dorimel:500"), 0);
}

TEST_F(TempFileTest, FinishesAnEmptyFileWithoutRetrying) {
    testservers::writeFile(www + "/empty.bin", "");
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/f/empty.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileExists(outPath("empty.bin")));
    EXPECT_EQ(fileContent(outPath("empty.bin")), "");
    EXPECT_EQ(ui.count(text(46)), 0);
    EXPECT_TRUE(ui.has(LOG_INFO, text(18)));
}

TEST_F(TempFileTest, CutsAFileLongerThanItsContentLengthWithTwoWarnings) {
    writePatternFile(www + "/l.bin", 20000);
    AppSettings settings = testSettings(out);
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/x/length=10000/l.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
    bool sizeRow = false;
    for (const LogRow& row : ui.rows)
        sizeRow = sizeRow || (row.kind == LOG_WARNING && row.text.find(text(40) + " (FileSize=") == 0 &&
                              row.text.find(") != (ContentLength=10000)") != std::string::npos);
    EXPECT_TRUE(sizeRow) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WARNING, text(103)));
    EXPECT_TRUE(fileHasPattern(outPath("l.bin"), 10000));
}

TEST_F(TempFileTest, NamesTheFileFromContentDispositionSafely) {
    writePatternFile(www + "/d.bin", 100);
    struct Case {
        const char* disposition;
        const char* name;
    } cases[] = {
        {"attachment; filename=\"a b.zip\"", "a b.zip"},
        {"inline; filename=x%3Fy%3A.txt", "xy.txt"},
        {"attachment; filename=\"../../evil.sh\"", "..-..-evil.sh"},
        {"attachment; filename=\"..\"", "unknown"},
        {"attachment; filename=CON.txt", "_CON.txt"},
        {"form-data; filename=ignored.bin", "d.bin"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disposition);
        AppSettings settings = testSettings(out);
        RecordingUi ui;
        DownloadJob job(settings, ui);
        std::string value;
        for (char ch : std::string(c.disposition)) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(ch));
            value += hex;
        }
        job.newDownload.strURL = server.url("/x/n=" + std::to_string(++n) + ",disp=" + value + "/d.bin");
        EXPECT_EQ(runJob(job, ui), STAGE_ENDED) << ui.dump();
        EXPECT_EQ(job.record().targetFile, c.name);
        EXPECT_TRUE(fileHasPattern(outPath(c.name), 100));
        std::remove(outPath(c.name).c_str());
    }
}

TEST_F(TempFileTest, StopsWithTheSystemErrorWhenTheFileCannotBeCreated) {
    writePatternFile(www + "/n.bin", 1000);
    AppSettings settings = testSettings(out + "/missing/folder");
    RecordingUi ui;
    DownloadJob job(settings, ui);
    job.newDownload.strURL = server.url("/f/n.bin");
    EXPECT_EQ(runJob(job, ui), STAGE_STOPPED) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_FATAL, text(80) + " GetLastError = 2")) << ui.dump();
    EXPECT_EQ(job.session(0).phase, PHASE_REQUESTING);
    EXPECT_FALSE(job.hasTempFile());
}
