// The console front end killed at several points of a 50 MB download (kill -9,
// and Ctrl-C), then resumed by naming its temporary file: the finished file
// is byte-identical. Runs the real program against nginx on 127.0.0.1.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "state/temp_file_format.h"
#include "tests/engine/engine_harness.h"
#include "tests/servers/test_servers.h"

#ifdef DORIMEL_CONSOLE_PROGRAM

extern char** environ;

namespace {

int64_t sizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

pid_t startProgram(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<std::string> all = {DORIMEL_CONSOLE_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the program to end (at most seconds); its exit code, or -1.
int waitProgram(pid_t pid, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Waits until the temporary file holds at least dataBytes of data.
bool waitForData(const std::string& temp, int64_t dataBytes, pid_t pid) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        if (sizeOf(temp) >= static_cast<int64_t>(STATE_BLOCK_SIZE) + dataBytes) return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

class CrashResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        www = dir.path() + "/www";
        out = dir.path() + "/out";
        testservers::makeDirs(www + "/limited");
        testservers::makeDirs(out);
        ASSERT_TRUE(testservers::writePatternFile(www + "/limited/big.bin", kSize));
        testservers::NginxOptions options;
        options.limitRateKiB = 8192;  // about 6 s for the whole file per connection
        ASSERT_TRUE(nginx.start(www, options));
    }
    static constexpr uint64_t kSize = 50000000;
    testservers::TempDir dir;
    std::string www, out;
    testservers::NginxServer nginx;
};

TEST_F(CrashResumeTest, ResumesAfterKillNineAtSeveralPointsByteIdentical) {
    std::string log = dir.path() + "/run.log";
    std::string temp = out + "/big.bin.dorimelt";
    std::string url = nginx.url("/limited/big.bin");
    pid_t pid = startProgram({"-nd", "1", "-sp", "1", "-td", out, url}, log);
    ASSERT_GT(pid, 0);
    // Killed once early (before the first paced save), then twice later on.
    const int64_t points[] = {300000, 12000000, 30000000};
    for (int64_t point : points) {
        SCOPED_TRACE(point);
        ASSERT_TRUE(waitForData(temp, point, pid)) << fileContent(log);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_EQ(fileContent(temp).compare(0, 11, "Dorimel:500"), 0);
        pid = startProgram({temp}, log);
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(waitProgram(pid, 120), 0) << fileContent(log);
    EXPECT_TRUE(testservers::fileHasPattern(out + "/big.bin", kSize));
    EXPECT_FALSE(fileExists(temp));
}

TEST_F(CrashResumeTest, CtrlCKeepsTheFileAndItsResumeFinishesTheDownload) {
    std::string log = dir.path() + "/run.log";
    std::string temp = out + "/big.bin.dorimelt";
    pid_t pid = startProgram({"-nd", "1", "-td", out, nginx.url("/limited/big.bin")}, log);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForData(temp, 8000000, pid)) << fileContent(log);
    kill(pid, SIGINT);
    EXPECT_EQ(waitProgram(pid, 30), 1) << fileContent(log);
    EXPECT_NE(fileContent(log).find(temp), std::string::npos);
    // Options on the command line override the loaded ones.
    pid = startProgram({temp, "-to", "60"}, log);
    EXPECT_EQ(waitProgram(pid, 120), 0) << fileContent(log);
    EXPECT_TRUE(testservers::fileHasPattern(out + "/big.bin", kSize));
    std::string logText = fileContent(log);
    EXPECT_NE(logText.find("Range: bytes="), std::string::npos);
}

#endif  // DORIMEL_CONSOLE_PROGRAM
