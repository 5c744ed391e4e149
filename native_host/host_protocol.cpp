// Framing, request checks and replies of the native messaging host (see
// host_protocol.h). JSON goes through nlohmann-json, never by hand.
#include "native_host/host_protocol.h"

#include "browser_module/handoff_text.h"

#include <cstring>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// The scheme (lower case) when text starts with one of schemes and "://"
// followed by a host; else empty.
std::string urlSchemeOf(const std::string& text, std::initializer_list<const char*> schemes) {
    const size_t colon = text.find("://");
    if (colon == std::string::npos) return std::string();
    const std::string scheme = lowerAscii(text.substr(0, colon));
    for (const char* s : schemes) {
        if (scheme != s) continue;
        const size_t hostStart = colon + 3;
        if (hostStart >= text.size() || text[hostStart] == '/' || text[hostStart] == '?' ||
            text[hostStart] == '#')
            return std::string();
        return scheme;
    }
    return std::string();
}

// The URL with its scheme in lower case (the programs recognise a URL
// argument by "http://" and "ftp://" as written) and the characters that
// would split or group a command-line argument percent-encoded, as the
// browser module does.
std::string safeUrl(const std::string& url, const std::string& scheme) {
    return scheme + escapeUnquotedArgument(url.substr(scheme.size()));
}

bool fail(HostError& error, const char* code, std::string message) {
    error.code = code;
    error.message = std::move(message);
    return false;
}

// An optional string field: absent, null or a string; anything else refuses.
bool optionalString(const json& message, const char* name, std::string& value, HostError& error) {
    auto it = message.find(name);
    if (it == message.end() || it->is_null()) return true;
    if (!it->is_string()) return fail(error, "bad_message", std::string(name) + " is not a string");
    value = it->get<std::string>();
    if (hasControlCharacter(value))
        return fail(error, "bad_message", std::string(name) + " holds a control character");
    return true;
}

std::string dumpReply(const json& reply) {
    // Replacement rather than an exception for bytes that are not UTF-8.
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void FrameReader::feed(const char* data, size_t size, const Handler& handler) {
    size_t at = 0;
    while (at < size) {
        if (bodyLeft_ == 0 && headerHave_ < 4) {
            header_[headerHave_++] = static_cast<unsigned char>(data[at++]);
            if (headerHave_ < 4) continue;
            uint32_t length;
            std::memcpy(&length, header_, 4);  // native byte order, as the browser writes it
            headerHave_ = 0;
            skipping_ = length > kMaxIncomingMessage;
            body_.clear();
            if (skipping_) handler(Event::TooLarge, std::string());
            else body_.reserve(length);
            bodyLeft_ = length;
            if (length == 0) handler(Event::Message, body_);
            continue;
        }
        const size_t take = std::min<size_t>(bodyLeft_, size - at);
        if (!skipping_) body_.append(data + at, take);
        at += take;
        bodyLeft_ -= static_cast<uint32_t>(take);
        if (bodyLeft_ == 0 && !skipping_) {
            handler(Event::Message, body_);
            body_.clear();
        }
    }
}

std::string frameMessage(const std::string& json) {
    const uint32_t length = static_cast<uint32_t>(json.size());
    std::string frame(4, '\0');
    std::memcpy(&frame[0], &length, 4);
    return frame + json;
}

bool parseHostRequest(const std::string& body, HostRequest& request, HostError& error) {
    request = HostRequest();
    json message = json::parse(body, nullptr, false);
    if (message.is_discarded()) return fail(error, "bad_message", "the message is not JSON");
    if (!message.is_object()) return fail(error, "bad_message", "the message is not a JSON object");
    auto type = message.find("type");
    if (type == message.end() || !type->is_string())
        return fail(error, "bad_message", "the message has no type");
    if (*type == "hello") {
        request.type = HostRequest::Type::Hello;
        return true;
    }
    if (*type != "download") return fail(error, "bad_message", "unknown message type");
    request.type = HostRequest::Type::Download;

    std::string url, referrer;
    if (!optionalString(message, "url", url, error) || !optionalString(message, "referrer", referrer, error) ||
        !optionalString(message, "cookies", request.cookies, error) ||
        !optionalString(message, "filename", request.filename, error))
        return false;
    if (url.empty()) return fail(error, "bad_message", "url is missing");
    if (url.size() > kMaxUrlLength) return fail(error, "bad_message", "url is too long");
    const std::string scheme = urlSchemeOf(url, {"http", "https", "ftp"});
    if (scheme.empty()) return fail(error, "bad_message", "url is not an http, https or ftp URL");
    request.url = safeUrl(url, scheme);
    if (referrer.size() > kMaxUrlLength) return fail(error, "bad_message", "referrer is too long");
    const std::string referrerScheme = urlSchemeOf(referrer, {"http", "https"});
    if (!referrerScheme.empty()) request.referrer = safeUrl(referrer, referrerScheme);
    if (request.filename.size() > kMaxFileNameLength) return fail(error, "bad_message", "filename is too long");
    return true;
}

std::string requestScheme(const std::string& url) {
    return url.substr(0, url.find(':'));
}

std::string helloReply(const std::vector<std::string>& schemes) {
    return dumpReply({{"ok", true}, {"version", "0.11"}, {"schemes", schemes}});
}

std::string okReply() {
    return dumpReply({{"ok", true}});
}

std::string errorReply(const HostError& error) {
    return dumpReply({{"ok", false}, {"error", error.code}, {"message", error.message}});
}

std::string answerMessage(const std::string& body, HostActions& actions) {
    HostRequest request;
    HostError error;
    if (!parseHostRequest(body, request, error)) return errorReply(error);
    const std::vector<std::string> schemes = actions.schemes();
    if (request.type == HostRequest::Type::Hello) return helloReply(schemes);
    const std::string scheme = requestScheme(request.url);
    bool taken = false;
    for (const std::string& s : schemes) taken = taken || s == scheme;
    if (!taken) return errorReply({"scheme", scheme + " downloads are switched off"});
    if (!actions.startDownload(request, error)) return errorReply(error);
    return okReply();
}

int runHostConversation(const std::function<long(char* buffer, size_t size)>& read,
                        const std::function<bool(const std::string& frame)>& write, HostActions& actions) {
    FrameReader reader;
    bool writeFailed = false;
    auto answer = [&](FrameReader::Event event, const std::string& body) {
        const std::string reply = event == FrameReader::Event::TooLarge
                                      ? errorReply({"bad_message", "the message is too large"})
                                      : answerMessage(body, actions);
        if (!writeFailed && reply.size() <= kMaxReply && !write(frameMessage(reply))) writeFailed = true;
    };
    char buffer[4096];
    for (;;) {
        const long got = read(buffer, sizeof buffer);
        if (got <= 0) return got == 0 && !reader.midMessage() ? 0 : 1;
        reader.feed(buffer, static_cast<size_t>(got), answer);
        // The browser closed its end: nobody reads replies any more.
        if (writeFailed) return 0;
    }
}
