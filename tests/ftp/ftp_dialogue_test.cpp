// The FTP dialogue against our scripted server: the exact commands on the
// wire, the rows of the log and the exact output file, for the greeting and
// log-in variants, the size rule, the passive reply, the restart offset and
// the end of the transfer.
#include <gtest/gtest.h>

#include "engine/ftp_client.h"
#include "tests/engine/engine_test_fixture.h"
#include "tests/servers/ftp_servers.h"

using testservers::FtpStep;
using testservers::ScriptedFtpServer;

namespace {

FtpStep step(const std::string& expect, const std::string& reply) {
    FtpStep s;
    s.expect = expect;
    s.reply = reply;
    return s;
}

FtpStep pieces(const std::string& expect, const std::vector<std::string>& parts) {
    FtpStep s;
    s.expect = expect;
    s.pieces = parts;
    return s;
}

FtpStep pasv(const std::string& reply = "227 Entering Passive Mode ({ADDR}).\r\n") {
    FtpStep s = step("PASV", reply);
    s.passive = true;
    return s;
}

// "RETR": "150", the data on the data connection, then "226". The data
// connection is closed only at the end of the script, so that the client has
// answered "226" before the close completes the download and the transcript
// is always the same.
FtpStep retr(const std::string& path, const std::string& data,
             const std::string& end = "226 Transfer complete.\r\n") {
    FtpStep s = step("RETR " + path, "150 Opening BINARY mode data connection.\r\n");
    s.sendData = true;
    s.data = data;
    s.afterData = end;
    s.closeDataLater = true;
    return s;
}

std::string content(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(testservers::patternByte(i));
    return data;
}

const std::string kGreeting = "220 Ready\r\n";

// Greeting and anonymous log-in with the default password.
std::vector<FtpStep> anonymousLogin() {
    return {step("", kGreeting), step("USER anonymous", "331 Please specify the password.\r\n"),
            step("PASS " + std::string(kDefaultAnonymousPassword), "230 Login successful.\r\n")};
}

// The whole dialogue of a sized download of data from /f.bin after the log-in.
std::vector<FtpStep> sizedDownload(std::vector<FtpStep> script, const std::string& data) {
    std::vector<FtpStep> rest = {step("TYPE I", "200 Switching to Binary mode.\r\n"),
                                 step("SIZE /f.bin", "213 " + std::to_string(data.size()) + "\r\n"),
                                 pasv(),
                                 step("REST 0", "350 Restart position accepted (0).\r\n"),
                                 retr("/f.bin", data),
                                 step("QUIT", "221 Goodbye.\r\n")};
    script.insert(script.end(), rest.begin(), rest.end());
    return script;
}

const std::vector<std::string> kSizedCommands = {
    "USER anonymous", "PASS " + std::string(kDefaultAnonymousPassword),
    "TYPE I",         "SIZE /f.bin",
    "PASV",           "REST 0",
    "RETR /f.bin",    "QUIT"};

}  // namespace

class FtpDialogueTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        settings = testSettings(out);
    }
    // Runs a download of url with settings; the job is kept for inspection.
    int run(const std::string& url) {
        job.reset(new DownloadJob(settings, ui));
        job->newDownload.strURL = url;
        return runJob(*job, ui, 60);
    }
    std::vector<std::string> rowsOfKind(int kind) const {
        std::vector<std::string> out;
        for (const LogRow& row : ui.rows)
            if (row.kind == kind) out.push_back(row.text);
        return out;
    }
    bool anyRowContains(const std::string& piece) const {
        for (const LogRow& row : ui.rows)
            if (row.text.find(piece) != std::string::npos) return true;
        return false;
    }

    AppSettings settings;
    RecordingUi ui;
    std::unique_ptr<DownloadJob> job;
};

TEST_F(FtpDialogueTest, MultiLineGreetingInPiecesGetsOneUserAfterItsLastLine) {
    const std::string data = content(5000);
    // Lines of three digits, or with a digit in fourth place, are no final
    // replies; the greeting arrives in pieces that split lines.
    std::vector<FtpStep> script = anonymousLogin();
    script[0] =
        pieces("", {"220-Wel", "come\r\n220\r\n22", "01 still talking\r\n220", " Ready\r\n"});
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({sizedDownload(script, data)}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    ASSERT_EQ(server.commands().size(), 1u);
    EXPECT_EQ(server.commands()[0], kSizedCommands);
    std::vector<std::string> received = rowsOfKind(LOG_RECEIVED);
    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + 4),
              (std::vector<std::string>{"220-Welcome", "220", "2201 still talking", "220 Ready"}));
    std::vector<std::string> sent = rowsOfKind(LOG_SENT);
    std::vector<std::string> expected = kSizedCommands;
    expected[1] = "PASS XXXXXXXXXX";
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(ui.has(LOG_INFO, text(84))) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_INFO, text(81))) << ui.dump();
    EXPECT_FALSE(fileExists(outPath("f.bin.dorimelt")));
}

TEST_F(FtpDialogueTest, UserAcceptedAtOnceGetsNoPass) {
    const std::string data = content(300);
    std::vector<FtpStep> script = {step("", kGreeting),
                                   step("USER anonymous", "230 Welcome, no password.\r\n")};
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({sizedDownload(script, data)}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    std::vector<std::string> expected = kSizedCommands;
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(server.commands().at(0), expected);
}

TEST_F(FtpDialogueTest, UserAndPasswordOfTheUrlAreSentButNeverLogged) {
    const std::string data = content(2000);
    std::vector<FtpStep> script = {step("", kGreeting), step("USER bob", "331 Password?\r\n"),
                                   step("PASS s3cret", "230 OK\r\n")};
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({sizedDownload(script, data)}));
    std::string url = server.url("/f.bin");
    url.insert(6, "bob:s3cret@");
    EXPECT_EQ(run(url), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_EQ(server.commands().at(0).at(1), "PASS s3cret");
    EXPECT_TRUE(ui.has(LOG_SENT, "PASS XXXXXXXXXX"));
    EXPECT_FALSE(anyRowContains("s3cret")) << ui.dump();
    EXPECT_TRUE(anyRowContains("bob:XXXXXXXXXX@127.0.0.1")) << ui.dump();
}

TEST_F(FtpDialogueTest, SizeRefusedFallsBackToTypeAAndRunsToTheClose) {
    const std::string data = content(70000);
    std::vector<FtpStep> script = anonymousLogin();
    std::vector<FtpStep> rest = {step("TYPE I", "200 Binary.\r\n"),
                                 step("SIZE /f.bin", "550 Could not get file size.\r\n"),
                                 step("TYPE A", "200 ASCII.\r\n"),
                                 pasv(),
                                 step("REST 0", "350 Restart position accepted (0).\r\n"),
                                 retr("/f.bin", data),
                                 step("QUIT", "221 Goodbye.\r\n")};
    script.insert(script.end(), rest.begin(), rest.end());
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    settings.downloadOptions.set(FLAG_SPLIT, true);  // an unknown size is never split
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.commands().at(0),
              (std::vector<std::string>{
                  "USER anonymous", "PASS " + std::string(kDefaultAnonymousPassword), "TYPE I",
                  "SIZE /f.bin", "TYPE A", "PASV", "REST 0", "RETR /f.bin", "QUIT"}));
}

TEST_F(FtpDialogueTest, FileOfSizeZeroFinishesAsAnEmptyFileWithoutRetrying) {
    std::vector<FtpStep> script = anonymousLogin();
    std::vector<FtpStep> rest = {step("TYPE I", "200 Binary.\r\n"),
                                 step("SIZE /f.bin", "213 0\r\n"),
                                 step("TYPE A", "200 ASCII.\r\n"),
                                 pasv(),
                                 step("REST 0", "350 Restart position accepted (0).\r\n"),
                                 retr("/f.bin", ""),
                                 step("QUIT", "221 Goodbye.\r\n")};
    script.insert(script.end(), rest.begin(), rest.end());
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileExists(outPath("f.bin"))) << ui.dump();
    EXPECT_EQ(fileContent(outPath("f.bin")), "");
    EXPECT_FALSE(fileExists(outPath("f.bin.dorimelt")));
    EXPECT_EQ(server.connections(), 1) << ui.dump();
    EXPECT_EQ(ui.count(text(39)), 0) << ui.dump();
}

TEST_F(FtpDialogueTest, RefusedRestZeroOnANewDownloadStillRetrieves) {
    const std::string data = content(4000);
    std::vector<FtpStep> script = sizedDownload(anonymousLogin(), data);
    script[6] = step("REST 0", "502 Command not implemented.\r\n");
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_EQ(server.commands().at(0), kSizedCommands);
    EXPECT_TRUE(ui.has(LOG_WARNING, text(71))) << ui.dump();
    EXPECT_EQ(ui.count(text(72)), 0);
}

TEST_F(FtpDialogueTest, PassiveReplyNamingAnotherHostConnectsToTheServerAndWarns) {
    const std::string data = content(3000);
    std::vector<FtpStep> script = sizedDownload(anonymousLogin(), data);
    script[5] = pasv("227 Entering Passive Mode (192,168,0,5,{PORT})\r\n");
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WARNING, text(110) + "192.168.0.5")) << ui.dump();
}

// An address that inet_addr cannot read ends nothing by itself (the session's
// time-out does); the fatal row carries the system's error text like the
// other socket failures.
TEST_F(FtpDialogueTest, UnreadablePassiveAddressLogsTheSystemErrorText) {
    std::vector<FtpStep> script = sizedDownload(anonymousLogin(), content(100));
    script[5] = pasv("227 Entering Passive Mode (999,1,1,1,{PORT})\r\n");
    script.resize(6);
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    const std::string selectFailed = text(9);
    std::string row;
    ui.onTick = [&] {
        for (const LogRow& r : ui.rows)
            if (r.kind == LOG_FATAL && r.text.compare(0, selectFailed.size(), selectFailed) == 0) row = r.text;
        if (!row.empty()) job->stopJob();
    };
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_STOPPED) << ui.dump();
    ASSERT_FALSE(row.empty()) << ui.dump();
    EXPECT_GT(row.size(), selectFailed.size()) << row;
}

TEST_F(FtpDialogueTest, TransferEndedBeforeItWasAnnouncedStillDeliversTheFile) {
    const std::string data = content(6000);
    std::vector<FtpStep> script = sizedDownload(anonymousLogin(), data);
    FtpStep early = retr("/f.bin", data);
    early.reply.clear();
    early.endBeforeData = true;
    script[7] = early;
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({script}));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_EQ(server.commands().at(0), kSizedCommands);
}

// The first attempt's data connection closes after 1000 bytes; the retry
// continues with "REST 1000", which the server refuses.
class FtpRefusedResumeTest : public FtpDialogueTest {
  protected:
    std::vector<std::vector<FtpStep>> scripts(const std::string& data,
                                              const std::vector<FtpStep>& after) {
        std::vector<FtpStep> first = sizedDownload(anonymousLogin(), data);
        first[7] = retr("/f.bin", data.substr(0, 1000), "");
        first[7].closeDataLater = false;
        first.pop_back();
        std::vector<FtpStep> second = sizedDownload(anonymousLogin(), data);
        second.resize(6);
        second.insert(second.end(), after.begin(), after.end());
        return {first, second};
    }
    std::vector<std::string> secondCommands(const std::vector<std::string>& tail) {
        std::vector<std::string> out(kSizedCommands.begin(), kSizedCommands.begin() + 5);
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }
};

TEST_F(FtpRefusedResumeTest, WithoutTheRestartFlagQuitsAndKeepsTheFile) {
    const std::string data = content(5000);
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start(scripts(data, {step("REST 1000", "554 Restart not allowed.\r\n"),
                                            step("QUIT", "221 Goodbye.\r\n")})));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_STOPPED) << ui.dump();
    ASSERT_EQ(server.commands().size(), 2u) << ui.dump();
    EXPECT_EQ(server.commands()[1], secondCommands({"REST 1000", "QUIT"}));
    EXPECT_TRUE(ui.has(LOG_ERROR, text(39))) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_WARNING, text(71))) << ui.dump();
    EXPECT_EQ(ui.count(text(72)), 0);
    EXPECT_EQ(job->session(0).position, 1000u);
    ASSERT_TRUE(job->keepTempFile());
    EXPECT_TRUE(fileExists(job->tempPath()));
    EXPECT_FALSE(fileExists(outPath("f.bin")));
}

TEST_F(FtpRefusedResumeTest, WithTheRestartFlagFetchesTheWholeFileAgain) {
    const std::string data = content(5000);
    settings.downloadOptions.set(FLAG_RESTART_IF_NO_RESUME, true);
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start(scripts(data, {step("REST 1000", "502 No.\r\n"), retr("/f.bin", data),
                                            step("QUIT", "221 Goodbye.\r\n")})));
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    ASSERT_EQ(server.commands().size(), 2u);
    EXPECT_EQ(server.commands()[1], secondCommands({"REST 1000", "RETR /f.bin", "QUIT"}));
    EXPECT_TRUE(ui.has(LOG_WARNING, text(71))) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_INFO, text(72))) << ui.dump();
}

TEST_F(FtpDialogueTest, ErrorRepliesStopTheJob) {
    struct Case {
        const char* name;
        std::vector<FtpStep> script;
        std::vector<std::string> commands;
        unsigned row;
        int kind;
    };
    const std::string pass = "PASS " + std::string(kDefaultAnonymousPassword);
    const Case cases[] = {
        {"log-in refused",
         {step("", kGreeting), step("USER anonymous", "331 Password?\r\n"),
          step("PASS " + std::string(kDefaultAnonymousPassword), "530 Login incorrect.\r\n")},
         {"USER anonymous", pass},
         85,
         LOG_ERROR},
        {"greeting refused", {step("", "421 Too many users.\r\n")}, {}, 85, LOG_ERROR},
        {"unexpected reply",
         {step("", kGreeting), step("USER anonymous", "230 OK\r\n"),
          step("TYPE I", "500 Unknown command.\r\n"), step("QUIT", "221 Goodbye.\r\n")},
         {"USER anonymous", "TYPE I", "QUIT"},
         83,
         LOG_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui = RecordingUi();
        ScriptedFtpServer server;
        ASSERT_TRUE(server.start({c.script}));
        EXPECT_EQ(run(server.url("/f.bin")), STAGE_STOPPED) << ui.dump();
        EXPECT_TRUE(ui.has(c.kind, text(c.row))) << ui.dump();
        EXPECT_TRUE(ui.has(LOG_WARNING, text(36))) << ui.dump();
        job.reset();  // closes the control connection, so the server's record is complete
        EXPECT_EQ(server.commands().at(0), c.commands);
        EXPECT_FALSE(fileExists(outPath("f.bin")));
    }
}

TEST_F(FtpDialogueTest, ControlConnectionClosedByTheServerLogsItsLastWordsAndRetries) {
    const std::string data = content(1500);
    FtpStep hangUp = pieces("", {"220-Hello\r\n", "220-cut off"});
    hangUp.closeAfter = true;
    ScriptedFtpServer server;
    ASSERT_TRUE(server.start({{hangUp}, sizedDownload(anonymousLogin(), data)}));
    settings.downloadOptions.set(FLAG_RETRY_ON_ERROR, true);
    EXPECT_EQ(run(server.url("/f.bin")), STAGE_ENDED) << ui.dump();
    EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_RECEIVED, "220-cut off")) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_ERROR, text(85))) << ui.dump();
    EXPECT_TRUE(ui.has(LOG_INFO, text(46))) << ui.dump();
    EXPECT_EQ(server.connections(), 2);
}

namespace {
struct AutoCancelUi : RecordingUi {
    bool autoCancelFtpSpeedLimit() override { return true; }
};
}  // namespace

TEST_F(FtpDialogueTest, TransferEndSwitchesTheSpeedLimitOffOnlyWhenTheOptionSaysSo) {
    const std::string data = content(200000);
    for (bool autoCancel : {false, true}) {
        SCOPED_TRACE(autoCancel ? "auto cancel" : "limit kept");
        std::remove(outPath("f.bin").c_str());
        AppSettings limited = testSettings(out);
        limited.downloadOptions.set(FLAG_SPEED_LIMIT, true);
        limited.downloadOptions.speedLimit = 50;
        AutoCancelUi cancelling;
        RecordingUi keeping;
        RecordingUi& shown = autoCancel ? static_cast<RecordingUi&>(cancelling) : keeping;
        ScriptedFtpServer server;
        ASSERT_TRUE(server.start({sizedDownload(anonymousLogin(), data)}));
        DownloadJob limitedJob(limited, shown);
        limitedJob.newDownload.strURL = server.url("/f.bin");
        EXPECT_EQ(runJob(limitedJob, shown, 60), STAGE_ENDED) << shown.dump();
        EXPECT_TRUE(fileContent(outPath("f.bin")) == data) << shown.dump();
        EXPECT_TRUE(shown.has(LOG_INFO, text(81))) << shown.dump();
        EXPECT_EQ(limited.downloadOptions.has(FLAG_SPEED_LIMIT), !autoCancel);
    }
}
