// The browser side of the native messaging host: the framing of messages on
// standard input and output (a 32-bit length in native byte order, then that
// many bytes of UTF-8 JSON), the checks every field of a request passes
// before anything is started, and the replies. Shared by the Linux host
// (dorimel-host) and the Windows host (DorimelHost.exe); no OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Largest incoming message taken; a longer one is refused and its body is
// skipped without being kept.
constexpr uint32_t kMaxIncomingMessage = 64 * 1024;
// Largest reply the browser accepts from a host.
constexpr size_t kMaxReply = 1024 * 1024;
// Longest URL or referrer passed on (the Windows command line holds 32767
// characters in all).
constexpr size_t kMaxUrlLength = 8192;
constexpr size_t kMaxFileNameLength = 1024;

// Cuts standard input into messages. Bytes may arrive in any pieces, one at a
// time included.
class FrameReader {
public:
    enum class Event { Message, TooLarge };
    using Handler = std::function<void(Event event, const std::string& body)>;

    // Takes size bytes; calls handler once per complete message (Message,
    // with the body) and once per refused length (TooLarge, at once when its
    // length has arrived; its body bytes are then dropped as they come).
    void feed(const char* data, size_t size, const Handler& handler);
    // True when input ending now would cut a message.
    bool midMessage() const { return headerHave_ != 0 || bodyLeft_ != 0; }

private:
    unsigned char header_[4] = {};
    size_t headerHave_ = 0;
    uint32_t bodyLeft_ = 0;  // bytes of the current body still to come
    bool skipping_ = false;  // the current body is dropped
    std::string body_;
};

// A message as the browser frames it.
std::string frameMessage(const std::string& json);

// One request of the extension, checked.
struct HostRequest {
    enum class Type { Hello, Download } type = Type::Hello;
    std::string url;       // scheme in lower case; blanks and '"' percent-encoded
    std::string referrer;  // empty, or an http/https URL made safe like url
    std::string cookies;   // the Cookie header value; empty when none
    std::string filename;  // the browser's suggestion (not used to name the file)
};

// Why a request is refused: code is one of "bad_message", "scheme",
// "start_failed"; message is a human-readable reason.
struct HostError {
    std::string code;
    std::string message;
};

// Parses and checks one message body. Download requests: url is a string of
// at most kMaxUrlLength bytes starting with "http://", "https://" or "ftp://"
// (any case) and naming a host; referrer, cookies and filename are optional
// strings (absent, null or ""). No field may hold a control character. A
// referrer that is not an http or https URL is dropped (a browser sends no
// other). Blanks and double quotes in url and referrer become %20 and %22: the
// Windows program's command line is split at blanks and grouped at quotes.
bool parseHostRequest(const std::string& body, HostRequest& request, HostError& error);

// The scheme of a checked URL ("http", "https" or "ftp").
std::string requestScheme(const std::string& url);

// What the platform's host does: the schemes it takes now, and the start of
// one download (false with error filled when it could not start it).
class HostActions {
public:
    virtual ~HostActions() = default;
    virtual std::vector<std::string> schemes() = 0;
    virtual bool startDownload(const HostRequest& request, HostError& error) = 0;
};

// The reply texts.
std::string helloReply(const std::vector<std::string>& schemes);
std::string okReply();
std::string errorReply(const HostError& error);

// The reply to one message body: hello, a started download, or an error.
std::string answerMessage(const std::string& body, HostActions& actions);

// The whole conversation: reads with read (returns the bytes read, 0 at end
// of input, negative on failure) until the input ends, answering each
// message through write (all bytes of one frame). Returns 0 when the input
// ended between messages, 1 when it ended inside one or read failed.
int runHostConversation(const std::function<long(char* buffer, size_t size)>& read,
                        const std::function<bool(const std::string& frame)>& write, HostActions& actions);
