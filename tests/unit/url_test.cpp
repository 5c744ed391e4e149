// URL utilities: splitting, the size limits, and the rules built on the pieces
// (request path, file name, ports, redirects, referer, typed-URL check).
#include "protocol/url.h"

#include "foundation/code_page.h"

#include <gtest/gtest.h>

namespace {

struct CodePageScope {
    explicit CodePageScope(CodePageKind kind) { setCodePage(kind); }
    ~CodePageScope() { setCodePage(CODE_PAGE_SINGLE_BYTE); }
};

TEST(Url, SplitsIntoThePiecesOfThePlatformCracker) {
    struct Case {
        const char* url;
        const char *scheme, *host;
        uint16_t port;
        const char *user, *password, *path, *extra;
    } cases[] = {
        {"http://user:pw@host:8000/a/b.txt?q=1#f", "http", "host", 8000, "user", "pw", "/a/b.txt", "?q=1#f"},
        {"http://host", "http", "host", 80, "", "", "", ""},
        {"HTTP://Host/", "HTTP", "Host", 80, "", "", "/", ""},
        {"ftp://anon@ftp.example/pub/f.zip", "ftp", "ftp.example", 21, "anon", "", "/pub/f.zip", ""},
        {"http://host#top", "http", "host", 80, "", "", "", "#top"},
        {"http://host/p#a?b", "http", "host", 80, "", "", "/p", "#a?b"},
        {"http://host:/x", "http", "host", 80, "", "", "/x", ""},
        {"http://[::1]:81/x", "http", "[::1]", 81, "", "", "/x", ""},
        {"file:///C:/page.html", "file", "", 0, "", "", "/C:/page.html", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        UrlComponents parts;
        ASSERT_TRUE(crackUrl(c.url, parts));
        EXPECT_EQ(parts.scheme, c.scheme);
        EXPECT_EQ(parts.hostName, c.host);
        EXPECT_EQ(parts.port, c.port);
        EXPECT_EQ(parts.userName, c.user);
        EXPECT_EQ(parts.password, c.password);
        EXPECT_EQ(parts.path, c.path);
        EXPECT_EQ(parts.extraInfo, c.extra);
    }
}

TEST(Url, RefusesTextsThatAreNotUrlsAndPiecesBeyondTheirBuffers) {
    const std::string host259(259, 'h'), name260(260, 'u');
    const std::string path1039 = "/" + std::string(1038, 'p');
    const std::string path1040 = "/" + std::string(1039, 'p');
    const std::string query1040 = "?" + std::string(1039, 'q');
    struct Case {
        std::string url;
        bool valid;
    } cases[] = {
        {"www.example.com/page", false},
        {"", false},
        {":x", false},
        {"ht tp://host/", false},
        {"http://host:99999/", false},
        {"http://host:8o/", false},
        {std::string("http://host/a\0b", 15), false},
        {"http://" + host259 + "/", true},
        {"http://" + host259 + "h/", false},
        {"http://" + name260 + "@host/", false},
        {"http://u:" + name260 + "@host/", false},
        {std::string(260, 'h') + "://host/", false},
        {"http://host" + path1039, true},
        {"http://host" + path1040, false},
        {"http://host/" + query1040, false},
        {"http://host/" + query1040.substr(1), false},  // "/qq..": 1040 bytes of path
        {"http://host/" + query1040.substr(0, 1039), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 40));
        EXPECT_EQ(isValidUrl(c.url), c.valid);
    }
    // A URL that does not crack gives empty pieces and the root path.
    EXPECT_EQ(urlHost("http://host" + path1040), "");
    EXPECT_EQ(urlPath("not a url"), "/");
    EXPECT_EQ(urlRequestPath("not a url"), "/");
    EXPECT_EQ(urlFileName("not a url"), "index.html");
}

TEST(Url, RequestPathFileNameAndScriptPath) {
    struct Case {
        const char *url, *requestPath, *fileName;
    } cases[] = {
        {"http://host", "/", "index.html"},
        {"http://host/dir/", "/dir/", "index.html"},
        {"http://host/cgi/get.cgi?id=3#top", "/cgi/get.cgi?id=3", "get.cgi"},
        {"http://host/d/a%20b.txt", "/d/a%20b.txt", "a b.txt"},
        {"http://host/100%.txt", "/100%.txt", "100%.txt"},
        {"http://host/x%zz", "/x%zz", "x%zz"},
        {"http://host/f.zip?u=/other/name.bin", "/f.zip?u=/other/name.bin", "f.zip"},
        {"http://host?q=1", "/?q=1", "index.html"},
        {"ftp://host/pub/file.tar.gz", "/pub/file.tar.gz", "file.tar.gz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(urlRequestPath(c.url), c.requestPath);
        EXPECT_EQ(urlFileName(c.url), c.fileName);
    }
    EXPECT_TRUE(isScriptPath(urlPath("http://host/cgi/get.cgi?id=3#top")));
    for (const char* path : {"/a.PL", "/x.asp", "/b/c.Cgi"}) EXPECT_TRUE(isScriptPath(path)) << path;
    // The extension runs to the end; "\" and space end it, "/" does not.
    for (const char* path : {"/x.aspx", "/a.cgi/b", "/a.cgi\\b", "/a.cgi b", "/cgi", "", "/a.cgi.txt"}) {
        EXPECT_FALSE(isScriptPath(path)) << path;
    }
}

TEST(Url, PercentDecodingTakesOnlyTwoHexDigits) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"%41%4a%4A", "AJJ"}, {"%", "%"}, {"%4", "%4"}, {"a%%41", "a%A"},
        {"%g1", "%g1"},       {"%2f%2F", "//"}, {"100%", "100%"},
    };
    for (const Case& c : cases) EXPECT_EQ(percentDecode(c.in), c.out) << c.in;
    EXPECT_EQ(percentDecode("%00x"), std::string("\0x", 2));
    EXPECT_EQ(percentDecode("%e3%81%82"), "\xe3\x81\x82");
}

TEST(Url, ConnectPortDirectAndThroughAProxy) {
    struct Case {
        const char* url;
        bool viaProxy;
        uint16_t port;
    } cases[] = {
        {"ftp://host/f", false, 21},
        {"http://host/f", false, 80},
        {"http://host:8000/f", false, 8000},
        {"ftp://host:2121/f", false, 2121},
        {"http://proxy", true, 8080},
        {"http://proxy:80", true, 80},
        {"http://proxy:3128", true, 3128},
        {"http://user:pw@proxy", true, 80},  // a password counts as a written port
        {"http://", true, 8080},
        {"no url", false, 80},
        {"no url", true, 8080},
        {"gopher2://host/", false, 80},  // no default port: the connection mode's
        {"gopher2://host/", true, 8080},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(connectPort(c.url, c.viaProxy), c.port) << c.url << " proxy " << c.viaProxy;
    }
    EXPECT_TRUE(isFtpUrl("FTP://host/x"));
    EXPECT_FALSE(isFtpUrl("ftps://host/x"));
    EXPECT_FALSE(isFtpUrl("ftp.example.com/x"));
}

TEST(Url, RedirectTargetsResolveAgainstTheRequestPath) {
    struct Case {
        const char *base, *target, *result;
    } cases[] = {
        {"http://host:8080/a/b", "/x", "http://host/x"},
        {"http://host/a/b", "./c", "http://host/a/c"},
        {"http://host/a/", "name.txt", "http://host/a/name.txt"},
        {"http://host/a/", "./name.txt", "http://host/a/./name.txt"},
        {"http://host/a/b", "../x", "http://host/a/../x"},
        {"http://host", "y", "http://host/y"},
        {"http://user:pw@host:81/a", "z", "http://host/z"},
        {"ftp://host/a/b", "c", "http://host/a/c"},
        {"http://host/a/b", "ftp://other/f.zip", "ftp://other/f.zip"},
        {"anything", "ftp://other:2121/f", "ftp://other:2121/f"},
        {"http://host/a/b?q=1", "http://host2/", "http://host2/"},
        {"not a url", "x", "http:///x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resolveRedirectUrl(c.base, c.target), c.result) << c.base << " + " << c.target;
    }
}

TEST(Url, RefererNormalizationAndFragments) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"file:///C:/page.html", ""},
        {"FILE://host/x", ""},
        {"www.example.com/page.html", ""},
        {"", ""},
        {"http://h/p#frag", "http://h/p"},
        {"http://h/p?a=1#f#g", "http://h/p?a=1"},
        {"http://h:8080/p", "http://h:8080/p"},
    };
    for (const Case& c : cases) EXPECT_EQ(normalizeReferer(c.in), c.out) << c.in;
    EXPECT_EQ(stripFragment("abc"), "abc");
    EXPECT_EQ(stripFragment("#x"), "");
}

TEST(Url, ScansStepOverDoubleByteCharacters) {
    // 0x81 0x40 is a full-width space in Shift-JIS: its second byte is "@".
    const std::string url = "http://ab\x81@cd/";
    {
        CodePageScope scope(CODE_PAGE_932);
        EXPECT_EQ(urlHost(url), "ab\x81@cd");
        EXPECT_EQ(urlUserName(url), "");
        // 0x95 0x5C: the second byte is "\", which does not end an extension here.
        EXPECT_TRUE(isScriptPath("/x.\x95\x5c" ".cgi"));
        EXPECT_FALSE(isScriptPath("/x.cgi\\y"));
    }
    EXPECT_EQ(urlHost(url), "cd");
    EXPECT_EQ(urlUserName(url), "ab\x81");
    {
        // In UTF-8 no ASCII byte is ever part of a longer character.
        CodePageScope scope(CODE_PAGE_UTF8);
        EXPECT_EQ(urlFileName("http://h/\xe3\x81\x82/\xe3\x81\x84.txt"), "\xe3\x81\x84.txt");
        EXPECT_EQ(stripFragment("\xe3\x81\x82#x"), "\xe3\x81\x82");
    }
}

struct RecordingPrompts : EnteredUrlPrompts {
    EncodeAnswer answer = EncodeAnswer::Yes;
    int refused = 0, asked = 0;
    std::string offered;
    void showSchemeRefused() override { ++refused; }
    EncodeAnswer askEncode(const std::string&, const std::string& canonical) override {
        ++asked;
        offered = canonical;
        return answer;
    }
};

TEST(Url, TypedUrlCheckRefusesOtherSchemesAndOffersTheCanonicalForm) {
    using Answer = EnteredUrlPrompts::EncodeAnswer;
    struct Case {
        const char* typed;
        Answer answer;
        bool accepted;
        const char* result;  // the URL afterwards
        int refused, asked;
    } cases[] = {
        {"https://host/x", Answer::Yes, false, "https://host/x", 1, 0},
        {"file:///C:/x", Answer::Yes, false, "file:///C:/x", 1, 0},
        {"host/x", Answer::Yes, false, "host/x", 1, 0},
        {"http://host/a/b.zip", Answer::Yes, true, "http://host/a/b.zip", 0, 0},
        {"http://host/a.zip#part", Answer::Yes, true, "http://host/a.zip", 0, 0},
        {"ftp://host/a#b", Answer::Yes, true, "ftp://host/a#b", 0, 0},
        {"http://host/a b.zip#f", Answer::Yes, true, "http://host/a%20b.zip", 0, 1},
        {"http://host/a b.zip", Answer::No, true, "http://host/a b.zip", 0, 1},
        {"http://host/a b.zip", Answer::Cancel, false, "http://host/a b.zip", 0, 1},
        {"HTTP://host", Answer::Yes, true, "HTTP://host/", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        RecordingPrompts prompts;
        prompts.answer = c.answer;
        std::string url = c.typed;
        EXPECT_EQ(checkEnteredUrl(url, prompts), c.accepted);
        EXPECT_EQ(url, c.result);
        EXPECT_EQ(prompts.refused, c.refused);
        EXPECT_EQ(prompts.asked, c.asked);
    }
}

TEST(Url, TypedHttpsIsAcceptedLikeHttpOnlyWhenHttpsIsOn) {
    for (bool on : {false, true}) {
        RecordingPrompts prompts;
        std::string url = "https://host/a.zip#part";
        EXPECT_EQ(checkEnteredUrl(url, prompts, on), on);
        EXPECT_EQ(url, on ? "https://host/a.zip" : "https://host/a.zip#part");
        EXPECT_EQ(prompts.refused, on ? 0 : 1);
    }
    EXPECT_EQ(connectPort("https://host/x", false), HTTPS_DEFAULT_PORT);
    EXPECT_EQ(urlHost("https://host:8443/x"), "host");
}

TEST(Url, CanonicalFormEscapesUnsafeBytesAndResolvesDotSegments) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"http://host", "http://host/"},
        {"http://host/a/./b/../c", "http://host/a/c"},
        {"http://host/a/..", "http://host/"},
        {"http://host/../../x", "http://host/x"},
        {"http://host/a/.", "http://host/a/"},
        {"http://host/a b?x=<1> 2", "http://host/a%20b?x=<1> 2"},  // the query stays as typed
        {"http://host?q", "http://host?q"},
        {"HTTP://Host/", "HTTP://Host/"},
        {"http://host/a\\b.zip", "http://host/a/b.zip"},
        {"http://host/%41%zz", "http://host/%41%zz"},
        {"http://host/\x82\xa0", "http://host/%82%A0"},
        {"http://u:p@host:81/x?y#z", "http://u:p@host:81/x?y#z"},
        {"ftp://host/d/f.txt", "ftp://host/d/f.txt"},
    };
    for (const Case& c : cases) {
        std::string canonical;
        ASSERT_TRUE(canonicalizeUrl(c.in, canonical)) << c.in;
        EXPECT_EQ(canonical, c.out) << c.in;
    }
    std::string canonical;
    EXPECT_FALSE(canonicalizeUrl("no url", canonical));
    {
        // In Shift-JIS, 0x95 0x5C is one character, not a "\\".
        CodePageScope scope(CODE_PAGE_932);
        ASSERT_TRUE(canonicalizeUrl("http://host/\x95\x5c.zip", canonical));
        EXPECT_EQ(canonical, "http://host/%95%5C.zip");
    }
}

}  // namespace

TEST(Url, BracketedIpv6LiteralsAndTheirMalformedForms) {
    struct Case {
        const char* host;
        bool ok;
        uint8_t first, last;  // bytes 0 and 15
    } cases[] = {{"[::1]", true, 0, 1},           {"[2001:db8::10]", true, 0x20, 0x10},
                 {"[1:2:3:4:5:6:7:8]", true, 0, 8}, {"[::ffff:127.0.0.1]", true, 0, 1},
                 {"[fe80::]", true, 0xfe, 0},     {"[::]", true, 0, 0},
                 {"[::1", false, 0, 0},           {"::1", false, 0, 0},
                 {"[zz::]", false, 0, 0},         {"[fe80::1%25eth0]", false, 0, 0},
                 {"[1::2::3]", false, 0, 0},      {"[1:2:3:4:5:6:7:8:9]", false, 0, 0},
                 {"[1:2:3:4:5:6:7]", false, 0, 0}, {"[12345::]", false, 0, 0},
                 {"[1:]", false, 0, 0},           {"[:1]", false, 0, 0},
                 {"[::1.2.3.256]", false, 0, 0},  {"[]", false, 0, 0}};
    for (const Case& c : cases) {
        uint8_t bytes[16] = {0xaa};
        EXPECT_EQ(parseBracketedIpv6(c.host, bytes), c.ok) << c.host;
        if (c.ok) {
            EXPECT_EQ(bytes[0], c.first) << c.host;
            EXPECT_EQ(bytes[15], c.last) << c.host;
        }
    }
    uint8_t mapped[16];
    ASSERT_TRUE(parseBracketedIpv6("[::ffff:192.0.2.7]", mapped));
    EXPECT_EQ(mapped[10], 0xff);
    EXPECT_EQ(mapped[12], 192);
    // The brackets survive the rules built on the host.
    EXPECT_EQ(resolveRedirectUrl("http://[::1]:81/a/b.bin", "c.bin"), "http://[::1]/a/c.bin");
    EXPECT_EQ(urlFileName("ftp://[::1]:2121/pub/f.bin"), "f.bin");
    EXPECT_EQ(connectPort("http://[::1]:3128", true), 3128);
    EXPECT_EQ(connectPort("http://[::1]", true), 8080);
}
