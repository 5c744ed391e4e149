// The hash worker's loop: progress notices, cancel after the current block,
// the English error texts, and the comparison with a typed digest.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/hash_file.h"

namespace {

// A file in memory whose failures and cancel point a test chooses.
class FakeSource : public HashFileSource {
  public:
    std::string data;
    uint64_t reportedSize = 0;
    bool openFails = false, sizeFails = false;
    int failReadAt = -1;    // the read (counted from 0) that fails
    int cancelAtRead = -1;  // the read during which the user presses cancel
    std::atomic<int32_t>* cancel = nullptr;
    int reads = 0;
    size_t position = 0;
    bool open_ = false;
    std::vector<size_t> readSizes;

    bool open(const std::string&) override { return open_ = !openFails; }
    bool size(uint64_t& bytes) override {
        bytes = reportedSize;
        return !sizeFails;
    }
    bool read(void* buffer, size_t size, size_t& got) override {
        int index = reads++;
        readSizes.push_back(size);
        if (index == failReadAt) return false;
        if (index == cancelAtRead) cancel->store(1);
        got = std::min(size, data.size() - position);
        std::copy(data.data() + position, data.data() + position + got, static_cast<char*>(buffer));
        position += got;
        return true;
    }
    void close() override { open_ = false; }
};

struct HashRun {
    HashOutcome outcome;
    std::vector<int> progress;
};

HashRun runHash(HashKind kind, FakeSource& source, std::atomic<int32_t>& cancel) {
    HashRun run;
    source.cancel = &cancel;
    run.outcome = hashFile(kind, "x", source, cancel, [&](int p) { run.progress.push_back(p); });
    EXPECT_FALSE(source.open_) << "the file must be closed on every path";
    return run;
}

}  // namespace

TEST(HashFile, ReadsInBlocksOf512AndNotifiesEachWholePercentOnce) {
    FakeSource source;
    source.data = std::string(512 * 300 + 17, 'a');  // 301 blocks: several per percent
    source.reportedSize = source.data.size();
    std::atomic<int32_t> cancel{0};
    HashRun run = runHash(HASH_MD5, source, cancel);

    ASSERT_TRUE(run.outcome.computed);
    EXPECT_EQ(run.outcome.digestText.size(), 32u);
    for (size_t size : source.readSizes) EXPECT_EQ(size, 512u);
    EXPECT_EQ(source.reads, 302);  // the last read returns 0 bytes
    ASSERT_EQ(run.progress.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(run.progress[i], i + 1);
}

TEST(HashFile, SmallAndEmptyFilesAndFilesThatGrow) {
    std::atomic<int32_t> cancel{0};
    FakeSource empty;  // no progress at all, then the digest of the empty input
    HashRun run = runHash(HASH_SHA1, empty, cancel);
    ASSERT_TRUE(run.outcome.computed);
    EXPECT_TRUE(run.progress.empty());
    EXPECT_EQ(run.outcome.digestText, "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    FakeSource tiny;  // one block jumps straight to 100
    tiny.data = "abc";
    tiny.reportedSize = 3;
    run = runHash(HASH_MD5, tiny, cancel);
    EXPECT_EQ(run.outcome.digestText, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(run.progress, std::vector<int>{100});

    FakeSource grown;  // larger than its size said: the percentage stops at 100
    grown.data = std::string(2048, 'x');
    grown.reportedSize = 1024;
    run = runHash(HASH_MD5, grown, cancel);
    EXPECT_TRUE(run.outcome.computed);
    EXPECT_EQ(run.progress, (std::vector<int>{50, 100}));
}

TEST(HashFile, CancelStopsAfterTheCurrentBlockWithoutADigest) {
    FakeSource source;
    source.data = std::string(512 * 1000, 'z');
    source.reportedSize = source.data.size();
    source.cancelAtRead = 10;
    std::atomic<int32_t> cancel{0};
    HashRun run = runHash(HASH_SHA1, source, cancel);
    EXPECT_TRUE(run.outcome.cancelled);
    EXPECT_FALSE(run.outcome.computed);
    EXPECT_TRUE(run.outcome.digestText.empty());
    EXPECT_TRUE(run.outcome.errorText.empty());
    EXPECT_EQ(source.reads, 11);  // the block being read when cancel came, and no more
}

TEST(HashFile, FailuresGiveTheirEnglishTexts) {
    std::atomic<int32_t> cancel{0};
    FakeSource noOpen;
    noOpen.openFails = true;
    EXPECT_EQ(runHash(HASH_MD5, noOpen, cancel).outcome.errorText, "cannot open file");

    FakeSource noSize;
    noSize.sizeFails = true;
    EXPECT_EQ(runHash(HASH_SHA1, noSize, cancel).outcome.errorText, "cannot obtain file size");

    FakeSource badRead;
    badRead.data = std::string(4096, 'q');
    badRead.reportedSize = 4096;
    badRead.failReadAt = 3;
    HashOutcome outcome = runHash(HASH_MD5, badRead, cancel).outcome;
    EXPECT_EQ(outcome.errorText, "cannot read from file");
    EXPECT_FALSE(outcome.computed);
    EXPECT_TRUE(outcome.digestText.empty());
}

// SHA-256 reads 256 KiB blocks under the same progress, cancel and error rules.
TEST(HashFile, Sha256ReadsLargeBlocksUnderTheSameRules) {
    EXPECT_STREQ(hashKindName(HASH_SHA256), "SHA256");
    EXPECT_EQ(hashReadSize(HASH_SHA1), 512u);
    std::atomic<int32_t> cancel{0};
    FakeSource million;  // one million "a": four reads of data, then the empty one
    million.data = std::string(1000000, 'a');
    million.reportedSize = million.data.size();
    HashRun run = runHash(HASH_SHA256, million, cancel);
    EXPECT_EQ(run.outcome.digestText, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(million.readSizes, std::vector<size_t>(5, kSha256ReadSize));
    EXPECT_EQ(run.progress, (std::vector<int>{26, 52, 78, 100}));

    FakeSource cancelled;
    cancelled.data = std::string(kSha256ReadSize * 10, 'z');
    cancelled.reportedSize = cancelled.data.size();
    cancelled.cancelAtRead = 2;
    run = runHash(HASH_SHA256, cancelled, cancel);
    EXPECT_TRUE(run.outcome.cancelled);
    EXPECT_TRUE(run.outcome.digestText.empty());
    EXPECT_EQ(cancelled.reads, 3);
    cancel.store(0);

    FakeSource broken;
    broken.data = std::string(kSha256ReadSize * 3, 'q');
    broken.reportedSize = broken.data.size();
    broken.failReadAt = 1;
    EXPECT_EQ(runHash(HASH_SHA256, broken, cancel).outcome.errorText, "cannot read from file");
}

TEST(HashFile, RealFileThroughStreamsAndADeletedOne) {
    std::string path = ::testing::TempDir() + "hash_file_test.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(1000000, 'a');
    }
    auto source = makeStreamHashFileSource();
    std::atomic<int32_t> cancel{0};
    std::vector<int> progress;
    HashOutcome outcome =
        hashFile(HASH_SHA1, path, *source, cancel, [&](int p) { progress.push_back(p); });
    EXPECT_EQ(outcome.digestText, "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(progress.size(), 100u);

    std::remove(path.c_str());
    outcome = hashFile(HASH_MD5, path, *source, cancel, nullptr);
    EXPECT_FALSE(outcome.computed);
    EXPECT_EQ(outcome.errorText, "cannot open file");
}

TEST(HashFile, TypedDigestMatchesTrimmedAndWithoutRegardToCase) {
    const std::string md5 = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_TRUE(digestMatches(md5, md5));
    EXPECT_TRUE(digestMatches(md5, "  900150983CD24FB0D6963F7D28E17F72\t\r\n"));
    EXPECT_FALSE(digestMatches(md5, "900150983cd24fb0d6963f7d28e17f7"));
    EXPECT_FALSE(digestMatches(md5, "900150983cd24fb0d6963f7d28e17f73"));
    EXPECT_FALSE(digestMatches(md5, "9001 50983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(digestMatches("", ""));
    // In Shift-JIS the trail byte of a double-byte character is not an ASCII
    // letter to fold: 0x83 0x41 and 0x83 0x61 are two different characters.
    CodePageKind saved = currentCodePage();
    setCodePage(CODE_PAGE_932);
    EXPECT_FALSE(digestMatches("\x83\x41", "\x83\x61"));
    EXPECT_TRUE(digestMatches("\x83\x41x", "\x83\x41X"));
    setCodePage(saved);
}
