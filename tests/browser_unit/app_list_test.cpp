// The settings program's application list: edit lines to "App_%d" names and
// "AllowLoad", and back.
#include <gtest/gtest.h>

#include "settings_app/app_list.h"

TEST(AppList, BlankLinesUseNoNumberAndLinesAreNotTrimmed) {
    AppList list = buildAppList({"iexplore.exe", "", " Sleipnir.exe", "", "a b.exe "});
    ASSERT_EQ(list.names.size(), 3u);
    EXPECT_EQ(list.names[0], "iexplore.exe");
    EXPECT_EQ(list.names[1], " Sleipnir.exe");
    EXPECT_EQ(list.names[2], "a b.exe ");
    EXPECT_EQ(list.allowLoad, "iexplore.exe; Sleipnir.exe;a b.exe ;");
}

TEST(AppList, AllowLoadIsStarForAllApplications) {
    AppList list = buildAppList({"x.exe"});
    EXPECT_EQ(allowLoadValue(0, list), "*");
    EXPECT_EQ(allowLoadValue(1, list), "x.exe;");
    EXPECT_EQ(allowLoadValue(1, buildAppList({"", ""})), "");
}

TEST(AppList, LongLinesKeep259BytesWithoutSplittingAPair) {
    AppList plain = buildAppList({std::string(300, 'a')});
    EXPECT_EQ(plain.names[0].size(), 259u);
    // 258 single bytes, then a two-byte character that would end at 260.
    std::string line = std::string(258, 'a') + "\x83\x41" + "b";
    AppList list = buildAppList({line});
    EXPECT_EQ(list.names[0], std::string(258, 'a'));
}

TEST(AppList, NamesReadBackShowOneALine) {
    EXPECT_EQ(appListText({"a.exe", "b.exe"}), "a.exe\r\nb.exe\r\n");
    EXPECT_EQ(appListText({}), "");
}
