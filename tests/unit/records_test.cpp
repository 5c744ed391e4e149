// The persisted records: every field through the state text and back, the
// section order and "WhiteSheetAs", and the checks applied to a loaded file.
#include "state/records.h"

#include "state/state_map.h"
#include "state/temp_file_format.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct State {
    AppSettings app;
    JobRecord job;
    NewDownloadRecord newDownload;
    std::unique_ptr<WhiteSheet> whiteSheet;
    SessionRecord session0, session1;
    ResumeStateRefs refs() { return {app, job, newDownload, whiteSheet, session0, session1}; }
};

// A state text padded to a whole state block, as read from a file.
std::string block(const std::string& text) {
    std::string padded = text;
    padded.resize(STATE_BLOCK_SIZE, '\0');
    return padded;
}

bool load(const std::string& text, State& state) {
    std::string data = block(text);
    return loadResumeState(data.data(), data.size(), state.refs());
}

void fill(State& s) {
    s.app.downloadOptions.flags = 0x80000023u;
    s.app.downloadOptions.speedLimit = 64;
    s.app.TargetDir = "C:\\dl\\";
    s.app.Timeout = 60;
    s.app.Dead = 1;
    s.app.SoundOnF = 2;
    s.app.SoundFile = "C:\\ding.wav";
    s.app.AnonyPass = "me@";
    s.app.Proxy = "proxy:3128";
    s.app.UseIECache = true;
    s.app.CloseAtEnd = true;
    s.app.DstDir = "D:\\\x83\x5c\\";  // a Shift-JIS character whose second byte is "\"
    s.app.InputURL = "http://host:8080/a/b.zip";
    s.app.InputReferer = "http://host/page.html";
    s.app.NoDialog = true;
    s.app.IgnoreSFW = true;
    s.app.AutoRename = true;
    s.app.UseIECookie = true;
    s.job.speedRatio = 1234.5;
    s.job.finalDisplay = 1;
    s.job.elapsedSeconds = 4294967295u;
    s.job.displayState = 3;
    s.job.moveSucceeded = 1;
    s.job.stage = 4;
    s.job.contentLength = 3000000000ll;
    s.job.targetFile = "b.zip";
    s.job.enteredMd5 = "d41d8cd98f00b204e9800998ecf8427e";
    s.job.enteredSha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    s.job.enteredSha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    s.newDownload.FirstInit = 0;
    s.newDownload.strURL = "http://host:8080/a/b.zip";
    s.newDownload.strReferer = "http://host/";
    s.newDownload.strProxy = "proxy:3128";
    s.newDownload.strTargetDir = "C:\\dl\\";
    s.whiteSheet.reset(new WhiteSheet);
    s.whiteSheet->setSize(3000000000ll);
    s.whiteSheet->addBlock(0, 100000);
    s.whiteSheet->addBlock(1500000000, 4096);
    SessionRecord* sessions[] = {&s.session0, &s.session1};
    for (int i = 0; i < 2; ++i) {
        SessionRecord& r = *sessions[i];
        r.ftpPhase = i + 1;
        r.waitCount = 37;
        r.isFtp = 1;
        r.percent = 42 + i;
        r.suspended = 1;
        r.rate = 0.5;
        r.position = i ? 1500004096u : 100000u;
        r.rangeEnd = i ? -1 : 1500000000;
        r.lastSamplePosition = 99000;
        r.phase = 4;
        r.url = "http://host:8080/a/b.zip";
        r.referer = "http://host/";
        r.timeoutTicks = 600;
    }
}

TEST(Records, EveryRecordSurvivesTheStateTextAndBack) {
    State saved;
    fill(saved);
    std::string text;
    ASSERT_TRUE(storeResumeState(saved.refs(), text));
    EXPECT_TRUE(saved.job.hasWhiteSheet);

    // Every field of fill() differs from its default, so a field that did not
    // load would store differently: storing the loaded state must give the
    // same bytes. A few values are checked directly for their text forms.
    State loaded;
    ASSERT_TRUE(load(text, loaded));
    EXPECT_EQ(loaded.app.downloadOptions.flags, 0x80000023u);
    EXPECT_EQ(loaded.app.DstDir, saved.app.DstDir);
    EXPECT_EQ(loaded.job.elapsedSeconds, 4294967295u);
    EXPECT_EQ(loaded.job.contentLength, 3000000000ll);
    EXPECT_EQ(loaded.job.speedRatio, 1234.5);
    EXPECT_TRUE(loaded.job.hasWhiteSheet);
    ASSERT_TRUE(loaded.whiteSheet);
    ASSERT_EQ(loaded.whiteSheet->ranges().size(), 2u);
    EXPECT_EQ(loaded.whiteSheet->ranges()[1].last, 1500004096u);
    EXPECT_EQ(loaded.session1.rangeEnd, -1);
    EXPECT_EQ(loaded.session0.rate, 0.5);
    EXPECT_EQ(loaded.newDownload.FirstInit, 0);

    // The same state stores to the same bytes again.
    std::string again;
    ASSERT_TRUE(storeResumeState(loaded.refs(), again));
    EXPECT_EQ(again, text);
}

TEST(Records, TextFormOfAnUnknownSizeAndAFinishedRun) {
    State s;
    s.app.Dead = 1;
    s.job.hasWhiteSheet = true;  // recomputed from the missing block map
    std::string text;
    ASSERT_TRUE(storeResumeState(s.refs(), text));
    EXPECT_EQ(text.compare(0, 12, "Dorimel:500\n"), 0);
    EXPECT_NE(text.find("\nApp-Dead:1\n"), std::string::npos);
    EXPECT_NE(text.find("\nDLG-ContentLength:18446744073709551615\n"), std::string::npos);
    EXPECT_NE(text.find("\nDLG-WhiteSheetAs:0\n"), std::string::npos);
    EXPECT_NE(text.find("\nSession0-LastRange:18446744073709551615\n"), std::string::npos);
    EXPECT_NE(text.find("\nDLG-db_downrate:\n"), std::string::npos);
    EXPECT_EQ(text.find("WhiteSheet-"), std::string::npos);
    EXPECT_LT(text.find("Session0-Phase:"), text.find("Session1-CurURL:"));
    // The App record's keys in the file, in key order.
    EXPECT_LT(text.find("App-AnonyPass:dorimeluser@\n"), text.find("App-status_downflags:0\n"));
    // The SHA-256 value added beside the other two sorts in after them.
    EXPECT_LT(text.find("\nDLG-EnteredSHA1:\n"), text.find("\nDLG-EnteredSHA256:\n"));
    EXPECT_LT(text.find("\nDLG-EnteredSHA256:\n"), text.find("\nDLG-FinalTimer:"));

    State loaded;
    loaded.whiteSheet.reset(new WhiteSheet);
    ASSERT_TRUE(load(text, loaded));
    EXPECT_EQ(loaded.job.contentLength, -1);
    EXPECT_FALSE(loaded.whiteSheet);
    EXPECT_EQ(loaded.session0.rangeEnd, -1);
    EXPECT_EQ(loaded.app.Dead, 1);
}

TEST(Records, LoadingFollowsWhiteSheetAsAndMissingKeysReadAsZero) {
    State s;
    s.session1.phase = 3;
    s.app.InputURL = "x";
    s.job.enteredSha256 = "x";  // a file written before the key existed
    ASSERT_TRUE(load("Dorimel:5\nDLG-Stage:4\nWhiteSheet-size:10\nWhiteSheet-bcount:0\n"
                     "Session0-Phase:2\nSession0-CurURL:http://h:81/x\n", s));
    EXPECT_FALSE(s.whiteSheet);  // WhiteSheetAs is missing, so false
    EXPECT_EQ(s.job.stage, 4);
    EXPECT_EQ(s.session0.phase, 2);
    EXPECT_EQ(s.session0.url, "http://h:81/x");
    EXPECT_EQ(s.session1.phase, 0);
    EXPECT_EQ(s.app.InputURL, "");
    EXPECT_EQ(s.job.enteredSha256, "");
    EXPECT_EQ(s.app.Timeout, 0);

    State t;
    ASSERT_TRUE(load("Dorimel:500\nDLG-WhiteSheetAs:1\nDLG-ContentLength:10\nWhiteSheet-size:10\n", t));
    ASSERT_TRUE(t.whiteSheet);
    EXPECT_EQ(t.whiteSheet->size(), 10u);
    EXPECT_TRUE(t.whiteSheet->ranges().empty());

    State u;
    EXPECT_FALSE(load("Dorimel:600\nDLG-Stage:4\n", u));
    std::string empty(STATE_BLOCK_SIZE, '\0');
    EXPECT_FALSE(loadResumeState(empty.data(), empty.size(), u.refs()));
}

TEST(Records, DamagedValuesAreRefusedOrBroughtIntoRange) {
    struct Case {
        const char* lines;
        bool loads;
    } refusals[] = {
        {"DLG-ContentLength:-5\n", false},
        {"DLG-ContentLength:-2\n", true},  // the completion sequence's mark
        {"DLG-ContentLength:9223372036854775807\n", false},
        {"Session0-FirstRange:18446744073709551615\n", false},
        {"Session1-LastRange:-7\n", false},
        {"Session1-LastRecvLen:9223372036854775808\n", false},
        {"DLG-WhiteSheetAs:1\nWhiteSheet-size:10\nWhiteSheet-bcount:3\n", false},
        {"DLG-WhiteSheetAs:1\nWhiteSheet-size:10\nWhiteSheet-bcount:1\n"
         "WhiteSheet-black0first:0\nWhiteSheet-black0last:11\n", false},
    };
    for (const Case& c : refusals) {
        State s;
        EXPECT_EQ(load(std::string("Dorimel:500\n") + c.lines, s), c.loads) << c.lines;
        if (!c.loads) {
            EXPECT_FALSE(s.whiteSheet) << c.lines;
        }
    }

    State s;
    ASSERT_TRUE(load("Dorimel:500\nSession0-Phase:9\nSession0-Percent:250\nSession1-Percent:-1\n"
                     "Session1-Phase:-3\nSession0-WaitCount:-50\nSession1-MaxTimeout:-1\n", s));
    EXPECT_EQ(s.session0.phase, 0);
    EXPECT_EQ(s.session1.phase, 0);
    EXPECT_EQ(s.session0.percent, 100);
    EXPECT_EQ(s.session1.percent, 0);  // the file's uint -1 is the in-memory int -1
    EXPECT_EQ(s.session0.waitCount, 0);
    EXPECT_EQ(s.session1.timeoutTicks, 0);
}

TEST(Records, StateTooLargeForTheBlockIsNotProduced) {
    State s;
    s.job.targetFile = std::string(STATE_BLOCK_SIZE, 'x');
    std::string text = "previous";
    EXPECT_FALSE(storeResumeState(s.refs(), text));
}

}  // namespace
