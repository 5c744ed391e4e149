// Crashes in the middle of a 50 MB download: the console program killed with
// SIGKILL at ten points chosen by the bytes already on disk, and the server
// killed and restarted under a running download. Every kept temporary file
// must claim only bytes it really holds and must resume to an identical file.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/reliability/reliability_support.h"

using namespace testservers;
using namespace reliability;

namespace {

constexpr uint64_t SIZE = 50u << 20;
constexpr uint64_t HALF = SIZE / 2;

void emptyFolder(const std::string& path) {
    for (const std::string& name : listFolder(path)) unlink((path + "/" + name).c_str());
}

// Ten fresh downloads, each killed once its temporary file holds k/11 of the
// data, then resumed from the kept file (the resumed requests run at full
// speed, so only the way to each kill point takes time).
void killAtTenPointsThenResume(bool split) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/big.bin", SIZE));
    const std::string dst = dir.path() + "/dst";
    ASSERT_TRUE(makeDirs(dst));
    RateNginx nginx(dir.path() + "/www", 8192, 24576, HALF);
    ASSERT_TRUE(nginx.start());
    const std::string temp = dst + "/big.bin.dorimelt";
    const std::string target = dst + "/big.bin";

    int identical = 0;
    for (int k = 1; k <= 10; ++k) {
        SCOPED_TRACE("kill point " + std::to_string(k) + "/11");
        const int64_t point = int64_t(SIZE * k / 11);
        int code = 0;
        // A machine that stalls this test right after the point may let the
        // download finish before the kill: then the point is tried again.
        for (int attempt = 0; attempt < 3 && code != 128 + SIGKILL; ++attempt) {
            emptyFolder(dst);
            ChildProcess child;
            ASSERT_TRUE(startConsole(child, {"-nd", "1", "-sp", split ? "1" : "0", "-sl", "0", "-td", dst,
                                             nginx.url("/first/big.bin")}));
            bool reached = waitUntil([&] { return bytesOnDisk(temp) >= point || exists(target); }, 60000);
            child.signal(SIGKILL);
            ASSERT_TRUE(child.waitExit(20000, code));
            ASSERT_TRUE(reached) << child.takeOutput();
        }
        ASSERT_EQ(code, 128 + SIGKILL) << "the download always ended before the kill point";

        StateClaims claims = readStateClaims(temp);
        ASSERT_TRUE(claims.parsed);
        std::string why;
        EXPECT_TRUE(claimsHoldPattern(temp, claims, why)) << why;

        Outcome resumed = runConsole({temp}, 90000);
        if (resumed.exitCode == 0 && fileHasPattern(target, SIZE) && !exists(temp))
            ++identical;
        else
            ADD_FAILURE() << "exit " << resumed.exitCode << "\n" << resumed.output;
    }
    EXPECT_EQ(identical, 10);
}

// One download whose server is killed twice (at a third and at two thirds of
// the data) and restarted at once: the retries (5 s apart) continue it.
void serverKilledTwice(bool split) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/big.bin", SIZE));
    const std::string dst = dir.path() + "/dst";
    ASSERT_TRUE(makeDirs(dst));
    RateNginx nginx(dir.path() + "/www", split ? 6144 : 12288, 0, HALF);
    ASSERT_TRUE(nginx.start());
    const std::string temp = dst + "/big.bin.dorimelt";

    ChildProcess child;
    ASSERT_TRUE(startConsole(child, {"-nd", "1", "-sp", split ? "1" : "0", "-sl", "0", "-td", dst,
                                     nginx.url("/steady/big.bin")}));
    for (int third = 1; third <= 2; ++third) {
        int64_t point = int64_t(SIZE / 3 * third);
        ASSERT_TRUE(waitUntil([&] { return bytesOnDisk(temp) >= point; }, 60000)) << child.takeOutput();
        nginx.kill9();
        ASSERT_TRUE(nginx.restart());
    }
    int code = -1;
    ASSERT_TRUE(child.waitExit(90000, code)) << child.takeOutput();
    std::string output = child.takeOutput();
    EXPECT_EQ(code, 0) << output;
    EXPECT_TRUE(fileHasPattern(dst + "/big.bin", SIZE)) << output;
    EXPECT_FALSE(exists(temp));
}

}  // namespace

TEST(KillResume, SingleSessionKilledAtTenPointsResumesIdenticalEachTime) { killAtTenPointsThenResume(false); }

TEST(KillResume, SplitDownloadKilledAtTenPointsResumesIdenticalEachTime) { killAtTenPointsThenResume(true); }

TEST(ServerRestart, SingleSessionSurvivesTheServerKilledTwice) { serverKilledTwice(false); }

TEST(ServerRestart, SplitDownloadSurvivesTheServerKilledTwice) { serverKilledTwice(true); }
