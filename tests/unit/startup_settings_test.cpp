// The settings read at start-up: defaults without an options file, and every
// key of the table with its type.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/options_file.h"
#include "app/startup.h"
#include "platform/paths.h"

namespace {

class StartupSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dorimel-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        options_.setPath(dir_ + "/dorimel.ini");
    }
    void TearDown() override {
        unlink(options_.path().c_str());
        rmdir(dir_.c_str());
    }
    void writeFile(const std::string& contents) { std::ofstream(options_.path(), std::ios::binary) << contents; }

    std::string dir_;
    OptionsFile options_;
};

}  // namespace

TEST_F(StartupSettingsTest, DefaultsWithoutAnOptionsFile) {
    AppSettings s;
    s.NoDialog = s.IgnoreSFW = s.AutoRename = s.UseIECookie = true;
    s.Timeout = 1;
    s.AnonyPass = "x";
    readStartupSettings(options_, s);
    EXPECT_EQ(s.downloadOptions.flags, 0u);
    EXPECT_EQ(s.downloadOptions.speedLimit, 0);
    EXPECT_EQ(s.Timeout, 300);
    EXPECT_EQ(s.SoundOnF, 0);
    EXPECT_EQ(s.SoundFile, "");
    // Twelve characters, e-mail style, ending in "@" with no domain.
    EXPECT_EQ(s.AnonyPass.size(), 12u);
    EXPECT_EQ(s.AnonyPass.back(), '@');
    EXPECT_EQ(s.AnonyPass.find('@'), 11u);
    EXPECT_EQ(s.Proxy, "");
    EXPECT_FALSE(s.UseIECache);
    EXPECT_FALSE(s.CloseAtEnd);
    EXPECT_EQ(s.DstDir, "");
    EXPECT_FALSE(s.NoDialog || s.IgnoreSFW || s.AutoRename || s.UseIECookie);
}

TEST_F(StartupSettingsTest, EveryKeyIsReadWithItsType) {
    writeFile(
        "[MainOptions]\n"
        "Flags=62\n"
        "SuppressSize=120\n"
        "Timeout=abc\n"
        "IsSoundOnDownloadFinished=1\n"
        "SoundFileOfDownloadFinished=C:\\done.wav\n"
        "FtpAnonymousPassword=guest@\n"
        "IsUseIECache=5\n"
        "CloseWithComplete=1\n"
        "[DefaultValues]\n"
        "Proxy=proxy:8080\n"
        "ProxyNoCache=1\n"
        "DestDir=C:\\dl\\\n");
    AppSettings s;
    s.Dead = 1;
    s.InputURL = "http://kept/";
    readStartupSettings(options_, s);
    EXPECT_EQ(s.downloadOptions.flags, 63u);  // ProxyNoCache adds bit 0x01
    EXPECT_EQ(s.downloadOptions.speedLimit, 120);
    EXPECT_EQ(s.Timeout, 0);   // only the command line rejects bad time-outs
    EXPECT_EQ(s.SoundOnF, 1);  // stored as read; only 2 plays the sound
    EXPECT_EQ(s.SoundFile, "C:\\done.wav");
    EXPECT_EQ(s.AnonyPass, "guest@");
    EXPECT_TRUE(s.UseIECache);
    EXPECT_TRUE(s.CloseAtEnd);
    EXPECT_EQ(s.Proxy, "proxy:8080");
    EXPECT_EQ(s.DstDir, "C:\\dl\\");
    EXPECT_EQ(s.Dead, 1);
    EXPECT_EQ(s.InputURL, "http://kept/");

    writeFile("[MainOptions]\nFlags=7\n[DefaultValues]\nProxyNoCache=0\n");
    readStartupSettings(options_, s);
    EXPECT_EQ(s.downloadOptions.flags, 6u);  // ProxyNoCache=0 clears bit 0x01
}

TEST_F(StartupSettingsTest, StartupReadsTheFileFirstAndTheCommandLineWins) {
    writeFile("[MainOptions]\nTimeout=45\nFlags=2\n");
    AppSettings s;
    StartupError error;
    ASSERT_TRUE(runStartup(options_, {"-sp", "0", "http://h/f"}, s, platformStartupEnvironment(), TempFileLoader(), error));
    EXPECT_EQ(s.Timeout, 45);
    EXPECT_EQ(s.downloadOptions.flags, 0u);
}

TEST_F(StartupSettingsTest, EnableHttpsKeepsTheFrontEndsDefaultAndTakesHttpsArguments) {
    struct Case {
        const char* file;
        bool defaultOn, on;
    } cases[] = {{"", false, false}, {"", true, true}, {"[MainOptions]\nEnableHttps=1\n", false, true},
                 {"[MainOptions]\nEnableHttps=0\n", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.defaultOn ? " default on" : " default off"));
        writeFile(c.file);
        AppSettings s;
        s.EnableHttps = c.defaultOn;
        StartupError error;
        // Off, an https argument is a temporary file that does not exist.
        bool ok = runStartup(options_, {"https://127.0.0.1/f"}, s, platformStartupEnvironment(), TempFileLoader(),
                             error);
        EXPECT_EQ(s.EnableHttps, c.on);
        EXPECT_EQ(ok, c.on) << error.text;
        EXPECT_EQ(s.InputURL, c.on ? "https://127.0.0.1/f" : "");
    }
}
