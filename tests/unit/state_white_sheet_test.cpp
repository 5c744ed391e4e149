// The WhiteSheet block map: registering blocks, completeness in list order,
// the split meeting point, fblack, and its persisted form (including the
// refusal of damaged forms read from a file).
#include "state/white_sheet.h"

#include "state/state_map.h"
#include "state/temp_file_format.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::string describe(const WhiteSheet& sheet) {
    std::string text;
    for (const auto& range : sheet.ranges()) {
        text += std::to_string(range.first) + "-" + std::to_string(range.last) + " ";
    }
    return text;
}

TEST(WhiteSheet, BlocksExtendTheRangeEndingWhereTheyBegin) {
    WhiteSheet sheet;
    sheet.setSize(1000);
    EXPECT_FALSE(sheet.isComplete());
    EXPECT_TRUE(sheet.addBlock(0, 400));
    EXPECT_FALSE(sheet.isComplete());
    EXPECT_TRUE(sheet.addBlock(400, 600));
    EXPECT_EQ(describe(sheet), "0-1000 ");
    EXPECT_TRUE(sheet.isComplete());

    sheet.reset();
    EXPECT_EQ(sheet.size(), 0u);
    EXPECT_TRUE(sheet.ranges().empty());
    sheet.setSize(10);
    EXPECT_TRUE(sheet.addBlock(0, 0));  // an empty block makes an empty range
    EXPECT_TRUE(sheet.addBlock(0, 10));
    EXPECT_EQ(describe(sheet), "0-10 ");
}

TEST(WhiteSheet, SplitDownloadMeetsAtTheSecondRange) {
    WhiteSheet sheet;
    sheet.setSize(1000);
    EXPECT_TRUE(sheet.addBlock(0, 100));
    EXPECT_TRUE(sheet.addBlock(500, 100));
    EXPECT_EQ(describe(sheet), "0-100 500-600 ");
    EXPECT_FALSE(sheet.isComplete());
    // Running past the first of the second range fails; the extension stays.
    EXPECT_FALSE(sheet.addBlock(100, 450));
    EXPECT_EQ(describe(sheet), "0-550 500-600 ");
    EXPECT_EQ(sheet.fblack(), 0);
    EXPECT_TRUE(sheet.addBlock(600, 400));
    EXPECT_EQ(describe(sheet), "0-550 500-1000 ");
    EXPECT_TRUE(sheet.isComplete());
}

TEST(WhiteSheet, CompletenessWalksTheListInItsOrder) {
    struct Case {
        std::vector<std::pair<uint64_t, uint64_t>> blocks;
        bool complete;
    } cases[] = {
        {{{0, 500}, {500, 500}}, true},
        {{{0, 400}, {500, 500}}, false},   // a gap
        {{{100, 900}}, false},             // does not start at 0
        {{{500, 500}, {0, 500}}, false},   // the later range comes first in the list
        {{{0, 999}}, false},
        {{{0, 600}, {300, 700}}, true},    // overlap is fine
    };
    for (const Case& c : cases) {
        WhiteSheet sheet;
        sheet.setSize(1000);
        for (const auto& block : c.blocks) sheet.addBlock(block.first, block.second);
        EXPECT_EQ(sheet.isComplete(), c.complete) << describe(sheet);
    }
}

TEST(WhiteSheet, BlockBeyondTheSizeSetsFblackAndCountsAsComplete) {
    WhiteSheet sheet;
    sheet.setSize(1000);
    EXPECT_FALSE(sheet.addBlock(900, 200));
    EXPECT_EQ(sheet.fblack(), 1);
    EXPECT_TRUE(sheet.ranges().empty());
    EXPECT_TRUE(sheet.isComplete());

    // position + length overflowing 64 bits is beyond the size too.
    WhiteSheet wrap;
    wrap.setSize(1000);
    EXPECT_FALSE(wrap.addBlock(10, UINT64_MAX - 5));
    EXPECT_EQ(wrap.fblack(), 1);
}

StateMap storeSheet(WhiteSheet& sheet) {
    StateMap map;
    StateSection section(map, StateDirection::Store);
    section.setSection("WhiteSheet");
    sheet.exchange(section);
    return map;
}

bool loadSheet(const std::string& lines, WhiteSheet& sheet) {
    std::string text = "Dorimel:500\n" + lines;
    StateMap map;
    if (!parseStateText(text.data(), text.size(), map)) return false;
    StateSection section(map, StateDirection::Load);
    section.setSection("WhiteSheet");
    return sheet.exchange(section);
}

TEST(WhiteSheet, PersistedFormKeepsTheListOrder) {
    WhiteSheet sheet;
    sheet.setSize(20000);
    for (uint64_t i = 0; i < 12; ++i) sheet.addBlock(19000 - i * 1000, 10);  // twelve ranges, descending
    StateMap map = storeSheet(sheet);
    EXPECT_EQ(map.lookup("WhiteSheet-bcount"), "12");
    EXPECT_EQ(map.lookup("WhiteSheet-fblack"), "0");
    EXPECT_EQ(map.lookup("WhiteSheet-black10first"), "9000");
    EXPECT_EQ(map.lookup("WhiteSheet-black10last"), "9010");

    std::string text;
    ASSERT_TRUE(writeStateText(map, text));
    EXPECT_LT(text.find("WhiteSheet-black10first"), text.find("WhiteSheet-black1first"));
    WhiteSheet loaded;
    ASSERT_TRUE(loadSheet(text.substr(12), loaded));
    EXPECT_EQ(describe(loaded), describe(sheet));
    EXPECT_EQ(loaded.size(), 20000u);

    WhiteSheet flagged;
    ASSERT_TRUE(loadSheet("WhiteSheet-size:5\nWhiteSheet-fblack:1\n", flagged));
    EXPECT_TRUE(flagged.isComplete());
}

TEST(WhiteSheet, DamagedPersistedFormsAreRefused) {
    const std::string head = "WhiteSheet-size:1000\nWhiteSheet-fblack:0\n";
    struct Case {
        const char* what;
        std::string lines;
        bool loads;
    } cases[] = {
        {"no ranges", head + "WhiteSheet-bcount:0\n", true},
        {"one range", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:0\nWhiteSheet-black0last:1000\n", true},
        {"empty range", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:7\nWhiteSheet-black0last:7\n", true},
        {"count beyond keys", head + "WhiteSheet-bcount:2\nWhiteSheet-black0first:0\nWhiteSheet-black0last:10\n", false},
        {"count -1", head + "WhiteSheet-bcount:-1\nWhiteSheet-black0first:0\nWhiteSheet-black0last:10\n", false},
        {"huge count", head + "WhiteSheet-bcount:2000000000\n", false},
        {"last key missing", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:0\nWhiteSheet-x:1\n", false},
        {"first after last", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:20\nWhiteSheet-black0last:10\n", false},
        {"beyond size", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:0\nWhiteSheet-black0last:1001\n", false},
        {"negative last", head + "WhiteSheet-bcount:1\nWhiteSheet-black0first:0\nWhiteSheet-black0last:-1\n", false},
        {"size -1", "WhiteSheet-size:-1\nWhiteSheet-bcount:0\n", false},
        {"size beyond any file", "WhiteSheet-size:" + std::to_string(MAX_DOWNLOAD_SIZE + 1) + "\n", false},
        {"largest size", "WhiteSheet-size:" + std::to_string(MAX_DOWNLOAD_SIZE) + "\n", true},
    };
    for (const Case& c : cases) {
        WhiteSheet sheet;
        EXPECT_EQ(loadSheet(c.lines, sheet), c.loads) << c.what;
    }
}

}  // namespace
