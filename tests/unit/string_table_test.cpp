// The generated string table carries the texts byte for byte, including
// escapes and trailing blanks.
#include <gtest/gtest.h>

#include <string>

#include "foundation/string_table.h"

namespace {
std::string load(unsigned id) {
    char buffer[256];
    return loadStringEntry(id, buffer, sizeof buffer) ? std::string(buffer) : std::string("<none>");
}
}  // namespace

TEST(StringTable, TextsAreExactIncludingEscapesAndBlanks) {
    EXPECT_EQ(load(88), "コマンドラインエラー");
    EXPECT_EQ(load(93), "知らないオプションです : ");
    EXPECT_EQ(load(87), " の引数がありません");
    EXPECT_EQ(load(63), " は存在しません。\n\n新しく作成しますか？");
    EXPECT_EQ(load(32), "フォルダ名に以下の文字列は使えません。\n\n     , ; * ? \" < > | \\");
    EXPECT_EQ(load(51), "ｷｬﾝｾﾙ");
    EXPECT_EQ(load(4), "<none>");
}

TEST(StringTable, LongEntriesAreCutToTheBuffer) {
    char small[5];
    ASSERT_TRUE(loadStringEntry(3, small, sizeof small));
    EXPECT_EQ(std::string(small), "---D");
}
