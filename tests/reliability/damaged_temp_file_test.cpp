// Damaged and crafted temporary files named on the command line: each is
// refused with a clear error (exit code 2 and string 96), within a bounded
// address space, and neither the file nor its folder changes. Overlapping
// ranges occur in real split downloads, so they must either be refused the
// same way or resume to an identical file.
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/reliability/reliability_support.h"

using namespace testservers;
using namespace reliability;

namespace {

constexpr size_t STATE_BLOCK = 512000;
constexpr uint64_t SIZE = 400000;
const char* const REFUSED = "このファイルは壊れているか、より新しいDorimelにより作成されたファイルです。";

// A kept temporary file made the real way: a download that stalls after
// 200000 bytes (on its first request only), stopped with Ctrl-C.
class DamagedTempFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writePatternFile(dir_.path() + "/www/f.bin", SIZE));
        ASSERT_TRUE(makeDirs(dir_.path() + "/dst"));
        ASSERT_TRUE(server_.start(dir_.path() + "/www"));
        const std::string temp = dir_.path() + "/dst/f.bin.dorimelt";
        ChildProcess child;
        ASSERT_TRUE(startConsole(child, {"-nd", "1", "-sp", "0", "-sl", "0", "-td", dir_.path() + "/dst",
                                         server_.url("/x/stall=200000,times=1/f.bin")}));
        ASSERT_TRUE(waitUntil(
            [&] {
                std::string content = readFile(temp);
                return content.size() >= STATE_BLOCK + 200000;
            },
            30000));
        child.signal(SIGINT);
        int code = 0;
        ASSERT_TRUE(child.waitExit(20000, code));
        ASSERT_EQ(code, 1);
        base_ = readFile(temp);
        ASSERT_GE(base_.size(), STATE_BLOCK + 200000);
        text_ = std::string(base_.c_str());
        ASSERT_EQ(text_.compare(0, 12, "Dorimel:500\n"), 0);
        unlink(temp.c_str());
    }

    // The base file with its state text replaced.
    std::string withText(const std::string& text) const {
        std::string file = base_;
        std::string block = text;
        block.resize(STATE_BLOCK, '\0');
        file.replace(0, STATE_BLOCK, block);
        return file;
    }

    // The state text with key set to value (added when missing).
    std::string textWith(const std::string& key, const std::string& value, std::string text = "") const {
        if (text.empty()) text = text_;
        size_t at = text.find("\n" + key + ":");
        if (at == std::string::npos) return text + key + ":" + value + "\n";
        size_t start = at + 1 + key.size() + 1;
        size_t end = text.find('\n', start);
        return text.replace(start, end - start, value);
    }

    // Runs the program on content saved as a temporary file in a folder of
    // its own; the outcome, with the file's bytes afterwards.
    Outcome runOn(const std::string& name, const std::string& content, std::string& after,
                  std::vector<std::string>& folderAfter) {
        const std::string folder = dir_.path() + "/case-" + name;
        const std::string path = folder + "/f.bin.dorimelt";
        EXPECT_TRUE(writeFile(path, content));
        Outcome out = runConsole({path}, 30000, 512);
        after = readFile(path);
        folderAfter = listFolder(folder);
        return out;
    }

    void expectRefusedUntouched(const std::string& name, const std::string& content) {
        SCOPED_TRACE(name);
        std::string after;
        std::vector<std::string> folder;
        Outcome out = runOn(name, content, after, folder);
        EXPECT_EQ(out.exitCode, 2) << out.output;
        EXPECT_NE(out.output.find(REFUSED), std::string::npos) << out.output;
        EXPECT_TRUE(after == content) << "the file changed";
        EXPECT_EQ(folder, std::vector<std::string>{"f.bin.dorimelt"});
    }

    TempDir dir_;
    FaultServer server_;
    std::string base_;
    std::string text_;
};

}  // namespace

TEST_F(DamagedTempFile, ShortOrEmptyFilesAreRefusedUntouched) {
    expectRefusedUntouched("truncated", base_.substr(0, STATE_BLOCK - 1));
    expectRefusedUntouched("empty", "");
    expectRefusedUntouched("text-only", text_);
}

TEST_F(DamagedTempFile, WrongMarkersAndBlocksWithoutTerminatorAreRefusedUntouched) {
    std::string text = text_;
    expectRefusedUntouched("newer-version", withText(text.replace(0, 11, "Dorimel:501")));
    text = text_;
    expectRefusedUntouched("other-marker", withText(text.replace(0, 11, "Xorimel:500")));
    std::string junk = base_;
    std::memset(&junk[0], 'A', STATE_BLOCK);
    expectRefusedUntouched("no-nul-junk", junk);
    std::string noNul = base_;
    std::string filler = "Dorimel:500\n";
    while (filler.size() < STATE_BLOCK) filler += "x";
    noNul.replace(0, STATE_BLOCK, filler);
    expectRefusedUntouched("no-nul-after-marker", noNul);
}

TEST_F(DamagedTempFile, ImpossibleBlockMapsAreRefusedUntouched) {
    const std::string size = std::to_string(SIZE);
    expectRefusedUntouched("huge-count", withText(textWith("WhiteSheet-bcount", "2147483647")));
    expectRefusedUntouched("wrapped-count", withText(textWith("WhiteSheet-bcount", "-1")));
    expectRefusedUntouched("range-beyond-size",
                           withText(textWith("WhiteSheet-black0last", std::to_string(SIZE + 1))));
    expectRefusedUntouched("range-reversed", withText(textWith("WhiteSheet-black0first", "300000",
                                                               textWith("WhiteSheet-black0last", "100"))));
    expectRefusedUntouched("session-beyond-size",
                           withText(textWith("Session0-FirstRange", std::to_string(SIZE + 100))));
    expectRefusedUntouched("session-end-beyond-size",
                           withText(textWith("Session0-LastRange", std::to_string(SIZE * 4))));
    expectRefusedUntouched("size-without-block-map", withText(textWith("DLG-WhiteSheetAs", "0")));
}

TEST_F(DamagedTempFile, OverlappingRangesAreRefusedOrResumeIdentical) {
    std::string text = textWith("WhiteSheet-bcount", "2");
    text = textWith("WhiteSheet-black0first", "0", text);
    text = textWith("WhiteSheet-black0last", "150000", text);
    text = textWith("WhiteSheet-black1first", "100000", text);
    text = textWith("WhiteSheet-black1last", "200000", text);
    std::string content = withText(text);
    std::string after;
    std::vector<std::string> folder;
    Outcome out = runOn("overlap", content, after, folder);
    if (out.exitCode == 2) {
        EXPECT_NE(out.output.find(REFUSED), std::string::npos) << out.output;
        EXPECT_TRUE(after == content);
    } else {
        EXPECT_EQ(out.exitCode, 0) << out.output;
        EXPECT_TRUE(fileHasPattern(dir_.path() + "/dst/f.bin", SIZE)) << out.output;
    }
}

// The target name and folder inside a kept file are as untrusted as a
// server's: a crafted name must not put the finished file outside the folder.
TEST_F(DamagedTempFile, CraftedTargetNameCannotLeaveTheDestinationFolder) {
    const std::string outside = dir_.path() + "/escaped.bin";
    for (const std::string name : {"../escaped.bin", "..", "sub/../../escaped.bin"}) {
        SCOPED_TRACE(name);
        std::string after;
        std::vector<std::string> folder;
        Outcome out = runOn("target", withText(textWith("DLG-TargetFile", name)), after, folder);
        EXPECT_FALSE(exists(outside)) << out.output;
        EXPECT_TRUE(out.exitCode == 0 || out.exitCode == 2) << out.output;
        for (const std::string& entry : listFolder(dir_.path()))
            EXPECT_TRUE(entry == "www" || entry == "dst" || entry.rfind("case-", 0) == 0) << entry;
        if (out.exitCode == 0) {
            std::vector<std::string> landed = listFolder(dir_.path() + "/dst");
            ASSERT_EQ(landed.size(), 1u);
            EXPECT_TRUE(fileHasPattern(dir_.path() + "/dst/" + landed[0], SIZE));
            unlink((dir_.path() + "/dst/" + landed[0]).c_str());
        }
        unlink((dir_.path() + "/case-target/f.bin.dorimelt").c_str());
        unlink((dir_.path() + "/case-target/f.bin").c_str());
    }
}
