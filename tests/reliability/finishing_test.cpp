// Finishing a download: the 512000-byte state block is dropped in place where
// the file system can collapse a range, and copied over where it cannot
// (tmpfs). Both ways must give exactly the download; a refused collapse must
// leave the file as it was, so that the copy can follow.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/reliability/reliability_support.h"

using namespace testservers;
using namespace reliability;

namespace {

constexpr int64_t STATE_BLOCK = 512000;

// A temporary-file image: a state block of 'S' bytes, then size pattern bytes.
std::string image(uint64_t size) {
    std::string content(STATE_BLOCK, 'S');
    content.reserve(STATE_BLOCK + size);
    for (uint64_t i = 0; i < size; ++i) content += char(patternByte(i));
    return content;
}

bool onTmpfs(const std::string& folder) {
    return exists("/dev/shm") && folder.rfind("/dev/shm", 0) == 0;
}

}  // namespace

TEST(Finishing, CollapseDropsTheStateBlockOrRefusesWithoutTouchingTheFile) {
    TempDir disk;
    const uint64_t size = 1000003;  // not a multiple of any block size
    const std::string path = disk.path() + "/t.dorimelt";
    ASSERT_TRUE(writeFile(path, image(size)));
    FileHandle file = fileOpenAlways(path.c_str());
    ASSERT_NE(file, NO_FILE);

    // Refusals change nothing: a range not made of whole blocks, a range that
    // reaches the end of the file, an empty range.
    EXPECT_EQ(fileCollapseFront(file, STATE_BLOCK + 1), COLLAPSE_UNSUPPORTED);
    EXPECT_EQ(fileCollapseFront(file, STATE_BLOCK + int64_t(size)), COLLAPSE_UNSUPPORTED);
    EXPECT_EQ(fileCollapseFront(file, 0), COLLAPSE_UNSUPPORTED);
    EXPECT_EQ(fileSize(file), STATE_BLOCK + int64_t(size));

    CollapseResult result = fileCollapseFront(file, STATE_BLOCK);
    fileClose(file);
    if (result == COLLAPSE_UNSUPPORTED) {
        EXPECT_EQ(readFile(path), image(size));
        GTEST_SKIP() << disk.path() << " cannot collapse ranges";
    }
    ASSERT_EQ(result, COLLAPSE_DONE);
    EXPECT_TRUE(fileHasPattern(path, size));
}

TEST(Finishing, TmpfsRefusesTheCollapseAndKeepsTheFile) {
    if (!exists("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
    char folder[] = "/dev/shm/dorimel-finish-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/t.dorimelt";
    const std::string content = image(700000);
    ASSERT_TRUE(writeFile(path, content));
    FileHandle file = fileOpenAlways(path.c_str());
    ASSERT_NE(file, NO_FILE);
    EXPECT_EQ(fileCollapseFront(file, STATE_BLOCK), COLLAPSE_UNSUPPORTED);
    fileClose(file);
    EXPECT_TRUE(readFile(path) == content);
    unlink(path.c_str());
    rmdir(folder);
}

// The whole program, once into the disk's file system (collapse) and once
// into tmpfs (copy), single and split: the finished file is the download.
TEST(Finishing, DownloadsFinishIdenticalOnDiskAndOnTmpfs) {
    TempDir dir;
    const uint64_t size = 3u << 20;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", size));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    char shm[] = "/dev/shm/dorimel-finish-XXXXXX";
    bool haveShm = exists("/dev/shm") && mkdtemp(shm) != nullptr;
    std::vector<std::string> folders{dir.path() + "/disk"};
    if (haveShm) folders.push_back(shm);
    for (const std::string& folder : folders) {
        for (const char* split : {"0", "1"}) {
            SCOPED_TRACE(folder + (onTmpfs(folder) ? " (tmpfs)" : "") + " split " + split);
            const std::string dst = folder + "/dst" + split;
            ASSERT_TRUE(makeDirs(dst));
            Outcome out = runConsole({"-nd", "1", "-sp", split, "-sl", "0", "-td", dst, nginx.url("/f.bin")}, 60000);
            EXPECT_EQ(out.exitCode, 0) << out.output;
            EXPECT_TRUE(fileHasPattern(dst + "/f.bin", size)) << out.output;
            EXPECT_EQ(listFolder(dst), std::vector<std::string>{"f.bin"});
            unlink((dst + "/f.bin").c_str());
            rmdir(dst.c_str());
        }
    }
    if (haveShm) rmdir(shm);
}
