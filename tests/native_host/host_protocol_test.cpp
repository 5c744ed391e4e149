// The native messaging host's framing, request checks and replies, fed as the
// browser feeds them (in any pieces, one byte at a time included).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "native_host/host_protocol.h"

namespace {

std::string frame(const std::string& body) { return frameMessage(body); }

std::string lengthOnly(uint32_t length) {
    std::string bytes(4, '\0');
    std::memcpy(&bytes[0], &length, 4);
    return bytes;
}

// Records what would be started; takes the schemes it is given.
class RecordingActions : public HostActions {
public:
    std::vector<std::string> offered{"http", "ftp"};
    std::vector<HostRequest> started;
    bool startFails = false;
    std::vector<std::string> schemes() override { return offered; }
    bool startDownload(const HostRequest& request, HostError& error) override {
        if (startFails) {
            error = {"start_failed", "no program"};
            return false;
        }
        started.push_back(request);
        return true;
    }
};

// Runs a whole conversation over input, delivered byte by byte; returns the
// reply bodies and the exit code.
std::vector<std::string> converse(const std::string& input, HostActions& actions, int* exitCode = nullptr) {
    size_t at = 0;
    std::string output;
    int code = runHostConversation(
        [&](char* buffer, size_t) -> long {
            if (at == input.size()) return 0;
            buffer[0] = input[at++];
            return 1;
        },
        [&](const std::string& f) {
            output += f;
            return true;
        },
        actions);
    if (exitCode) *exitCode = code;
    std::vector<std::string> replies;
    size_t pos = 0;
    while (pos + 4 <= output.size()) {
        uint32_t length;
        std::memcpy(&length, output.data() + pos, 4);
        replies.push_back(output.substr(pos + 4, length));
        pos += 4 + length;
    }
    EXPECT_EQ(pos, output.size()) << "standard output holds something that is not a frame";
    return replies;
}

std::string errorOf(const std::string& body) {
    HostRequest request;
    HostError error;
    EXPECT_FALSE(parseHostRequest(body, request, error)) << body;
    return error.code;
}

}  // namespace

TEST(HostProtocol, MessagesArrivingByteByByteGetOneReplyEachInOrder) {
    RecordingActions actions;
    int code = -1;
    auto replies = converse(frame(R"({"type":"hello"})") +
                                frame(R"({"type":"download","url":"http://127.0.0.1/f.bin","referrer":"http://127.0.0.1/p.html",)"
                                      R"("cookies":"a=1; b=2","filename":"f.bin"})") +
                                frame(R"({"type":"download","url":"https://127.0.0.1/f.bin"})"),
                            actions, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], R"({"ok":true,"schemes":["http","ftp"],"version":"0.11"})");
    EXPECT_EQ(replies[1], R"({"ok":true})");
    EXPECT_NE(replies[2].find(R"("error":"scheme")"), std::string::npos);
    ASSERT_EQ(actions.started.size(), 1u);
    EXPECT_EQ(actions.started[0].url, "http://127.0.0.1/f.bin");
    EXPECT_EQ(actions.started[0].referrer, "http://127.0.0.1/p.html");
    EXPECT_EQ(actions.started[0].cookies, "a=1; b=2");
}

TEST(HostProtocol, OversizeMessageIsRefusedUnreadAndTheNextOneStillAnswered) {
    RecordingActions actions;
    std::string big(kMaxIncomingMessage + 1, ' ');
    auto replies = converse(frame(big) + frame(R"({"type":"hello"})"), actions);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_NE(replies[0].find("bad_message"), std::string::npos);
    EXPECT_NE(replies[1].find(R"("ok":true)"), std::string::npos);

    // A length of 4 GiB is answered as soon as the length is in, and ending
    // the input inside its body is no clean end.
    FrameReader reader;
    int tooLarge = 0;
    std::string input = lengthOnly(0xffffffffu) + std::string(100000, 'x');
    for (char c : input)
        reader.feed(&c, 1, [&](FrameReader::Event e, const std::string&) { tooLarge += e == FrameReader::Event::TooLarge; });
    EXPECT_EQ(tooLarge, 1);
    EXPECT_TRUE(reader.midMessage());
    int code = -1;
    converse(lengthOnly(10) + "{\"ty", actions, &code);
    EXPECT_EQ(code, 1);
}

TEST(HostProtocol, MalformedRequestsAreRefusedAndStartNothing) {
    RecordingActions actions;
    const std::vector<std::string> bad = {
        "", "not json", "[1,2]", R"({"url":"http://h/f"})", R"({"type":"other"})",
        R"({"type":"download"})", R"({"type":"download","url":""})", R"({"type":"download","url":5})",
        R"({"type":"download","url":"javascript:void 0"})", R"({"type":"download","url":"file:///etc/passwd"})",
        R"({"type":"download","url":"http:///f"})",
        R"({"type":"download","url":"http://h/f\u0000x"})", R"({"type":"download","url":"http://h/f\nx"})",
        R"({"type":"download","url":"http://h/f","referrer":"http://h/\r\nX: y"})",
        R"({"type":"download","url":"http://h/f","cookies":"a=1\r\nInjected: 1"})",
        R"({"type":"download","url":"http://h/f","cookies":"a=\u007f"})",
        R"({"type":"download","url":"http://h/f","filename":["x"]})",
        R"({"type":"download","url":"http://h/)" + std::string(kMaxUrlLength, 'a') + "\"}",
    };
    std::string input;
    for (const std::string& body : bad) {
        EXPECT_EQ(errorOf(body), "bad_message") << body;
        input += frame(body);
    }
    auto replies = converse(input, actions);
    EXPECT_EQ(replies.size(), bad.size());
    for (const std::string& r : replies) EXPECT_NE(r.find(R"("error":"bad_message")"), std::string::npos) << r;
    EXPECT_TRUE(actions.started.empty());
}

TEST(HostProtocol, UrlsAreMadeSafeForACommandLine) {
    HostRequest request;
    HostError error;
    // Blanks would split the argument and could bring in options; quotes
    // would group it with the next one.
    ASSERT_TRUE(parseHostRequest(R"({"type":"download","url":"HTTP://h/a b.bin -td /x\"y",)"
                                 R"("referrer":"https://h/p q"})",
                                 request, error));
    EXPECT_EQ(request.url, "http://h/a%20b.bin%20-td%20/x%22y");
    EXPECT_EQ(request.referrer, "https://h/p%20q");
    EXPECT_EQ(requestScheme(request.url), "http");
    // A referrer a browser would not send is dropped, not passed on.
    ASSERT_TRUE(parseHostRequest(R"({"type":"download","url":"ftp://h/f","referrer":"file:///home/u/p.html"})",
                                 request, error));
    EXPECT_EQ(request.referrer, "");
    ASSERT_TRUE(parseHostRequest(R"({"type":"download","url":"ftp://h/f","referrer":null,"cookies":""})", request,
                                 error));
}

TEST(HostProtocol, AFailedStartIsReported) {
    RecordingActions actions;
    actions.startFails = true;
    auto replies = converse(frame(R"({"type":"download","url":"http://h/f"})"), actions);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], R"({"error":"start_failed","message":"no program","ok":false})");
}
