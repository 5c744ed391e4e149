// File names that a server sends in Content-Disposition to leave the
// destination folder or to name a device: the finished file always lands
// inside the folder, under a harmless name, with the right content.
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/reliability/reliability_support.h"

using namespace testservers;
using namespace reliability;

namespace {

std::string percentEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Windows device names, with or without an extension.
bool namesADevice(const std::string& name) {
    std::string stem = upper(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const std::vector<std::string> devices{"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4",
                                                  "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",
                                                  "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const std::string& d : devices)
        if (stem == d) return true;
    return false;
}

}  // namespace

TEST(ServerNames, HostileDispositionNamesStayInsideTheFolder) {
    TempDir dir;
    const uint64_t size = 3000;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", size));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    const std::string absolute = dir.path() + "/absolute-escape.bin";
    const std::vector<std::string> names{
        "../escaped.bin", "../../escaped.bin", "..\\..\\escaped.bin", absolute, "..", ".", "....", " . ",
        "CON", "nul.txt", "com1", "Lpt9.log", "aux .bin", "name. ", "name...", "a/../../b.bin", "",
    };
    int index = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE("filename=\"" + name + "\"");
        // dst sits three levels down, so that "../.." lands somewhere we look.
        const std::string top = dir.path() + "/case" + std::to_string(index++);
        const std::string dst = top + "/a/b/dst";
        ASSERT_TRUE(makeDirs(dst));
        std::string disposition = "attachment; filename=\"" + name + "\"";
        Outcome out = runConsole({"-nd", "1", "-sp", "0", "-td", dst,
                                  server.url("/x/disp=" + percentEncoded(disposition) + "/f.bin")},
                                 30000);
        EXPECT_EQ(out.exitCode, 0) << out.output;
        EXPECT_EQ(listFolder(top), std::vector<std::string>{"a"});
        EXPECT_EQ(listFolder(top + "/a"), std::vector<std::string>{"b"});
        EXPECT_EQ(listFolder(top + "/a/b"), std::vector<std::string>{"dst"});
        EXPECT_FALSE(exists(absolute));
        std::vector<std::string> landed = listFolder(dst);
        ASSERT_EQ(landed.size(), 1u) << out.output;
        const std::string& got = landed[0];
        EXPECT_NE(got, ".");
        EXPECT_NE(got, "..");
        EXPECT_NE(got.back(), '.') << got;
        EXPECT_NE(got.back(), ' ') << got;
        EXPECT_FALSE(namesADevice(got)) << got;
        EXPECT_TRUE(fileHasPattern(dst + "/" + got, size)) << got;
    }
}
