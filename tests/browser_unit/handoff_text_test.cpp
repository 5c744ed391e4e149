// The texts handed to dorimel.exe by the browser module and the launcher.
#include <gtest/gtest.h>

#include "browser_module/handoff_text.h"

TEST(HandOffText, TakesOverOnlyHttpAndFtpInAnyCase) {
    struct Case {
        const char* url;
        bool taken;
    } cases[] = {
        {"http://127.0.0.1/a.zip", true}, {"HTTP://127.0.0.1/A.ZIP", true},
        {"Ftp://127.0.0.1/x", true},      {"https://127.0.0.1/a", false},
        {"file:///C:/a.txt", false},      {"htt", false},
        {"", false},                      {"ftps://127.0.0.1/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isTakeOverUrl(c.url), c.taken) << c.url;
}

TEST(HandOffText, HttpsIsTakenOverOnlyWhenTurnedOn) {
    EXPECT_TRUE(isTakeOverUrl("HTTPS://127.0.0.1/a", true));
    EXPECT_TRUE(isTakeOverUrl("http://127.0.0.1/a", true));
    EXPECT_FALSE(isTakeOverUrl("https://127.0.0.1/a", false));
    EXPECT_FALSE(isTakeOverUrl("ftps://127.0.0.1/a", true));
    EXPECT_FALSE(isTakeOverUrl("httpsx://127.0.0.1/a", true));
}

TEST(HandOffText, ModuleParametersAreOptionsUrlAndReferer) {
    EXPECT_EQ(buildHandOffParameters("", "http://h/a", "http://h/p.html"),
              "http://h/a -rf http://h/p.html");
    EXPECT_EQ(buildHandOffParameters("", "HTTP://h/A", ""), "HTTP://h/A");
    EXPECT_EQ(buildHandOffParameters("-sp 1 -to 30", "http://h/a", ""), "-sp 1 -to 30 http://h/a");
}

TEST(HandOffText, UrlFromAWebPageCannotAddOptions) {
    // A link whose text carries options would otherwise download silently
    // into a folder of the page's choosing.
    EXPECT_EQ(buildHandOffParameters("", "http://h/a -td C:\\x -nd 1", "http://h/\"q\" -ar 1"),
              "http://h/a%20-td%20C:\\x%20-nd%201 -rf http://h/%22q%22%20-ar%201");
    EXPECT_EQ(escapeUnquotedArgument("a\tb\r\nc\x7f"), "a%09b%0D%0Ac%7F");
}

TEST(HandOffText, ShiftJisBytesPassUnchanged) {
    // "表" is 0x95 0x5C in code page 932: the second byte is not a backslash.
    const std::string url = "http://h/\x95\x5C.zip";
    EXPECT_EQ(escapeUnquotedArgument(url), url);
    EXPECT_EQ(escapeQuotedArgument("http://h/\x95\x5C"), "http://h/\x95\x5C");
}

TEST(HandOffText, LauncherQuotesBothValues) {
    EXPECT_EQ(buildLauncherParameters("http://h/a b.zip", "http://h/p"),
              "\"http://h/a b.zip\" -rf \"http://h/p\"");
    EXPECT_EQ(buildLauncherParameters("http://h/a", ""), "\"http://h/a\" -rf \"\"");
    EXPECT_EQ(buildLauncherParameters("", ""), "\"\" -rf \"\"");
}

TEST(HandOffText, LauncherValuesCannotCloseTheirQuotes) {
    EXPECT_EQ(buildLauncherParameters("http://h/\" -td \"C:\\x", ""),
              "\"http://h/%22 -td %22C:\\x\" -rf \"\"");
    // Trailing backslashes are doubled so that the closing quote still closes.
    EXPECT_EQ(buildLauncherParameters("http://h/dir\\", "C:\\\\"),
              "\"http://h/dir\\\\\" -rf \"C:\\\\\\\\\"");
    EXPECT_EQ(escapeQuotedArgument("a\\b"), "a\\b");
}
