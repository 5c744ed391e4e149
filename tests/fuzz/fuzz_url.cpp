// Fuzz target: URL texts. The first line of the input is a URL, the second a
// redirect target; every URL rule must stay within its size limits and never
// crash, and the canonical form must be stable (canonical of canonical is the
// same text); every scan is run single-byte, Shift-JIS and UTF-8.
#include "foundation/code_page.h"
#include "protocol/url.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct AnswerNo : EnteredUrlPrompts {
    void showSchemeRefused() override {}
    EncodeAnswer askEncode(const std::string&, const std::string&) override { return EncodeAnswer::No; }
};

// checkStable: canonical of canonical must be the same text. Not asked in
// Shift-JIS, where a lead byte before "/" (malformed text) swallows the "/"
// exactly as the platform's character stepping does, so that adding the root
// path may move where the host ends.
void exercise(const std::string& url, const std::string& target, bool checkStable) {
    UrlComponents parts;
    if (crackUrl(url, parts)) {
        if (parts.hostName.size() >= URL_NAME_BUFFER || parts.path.size() >= URL_PATH_BUFFER) std::abort();
    }
    urlRequestPath(url);
    connectPort(url, false);
    connectPort(url, true);
    std::string name = urlFileName(url);
    if (name.empty() || name.size() > url.size() + 10) std::abort();
    isScriptPath(urlPath(url));
    percentDecode(url);
    resolveRedirectUrl(url, target);
    normalizeReferer(url);

    std::string canonical;
    if (canonicalizeUrl(url, canonical) && checkStable && isValidUrl(canonical)) {
        std::string twice;
        if (!canonicalizeUrl(canonical, twice) || twice != canonical) std::abort();
    }
    std::string typed = url;
    AnswerNo prompts;
    checkEnteredUrl(typed, prompts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t feed = input.find('\n');
    std::string url = input.substr(0, feed);
    std::string target = feed == std::string::npos ? std::string() : input.substr(feed + 1);

    setCodePage(CODE_PAGE_SINGLE_BYTE);
    exercise(url, target, true);
    setCodePage(CODE_PAGE_932);
    exercise(url, target, false);
    setCodePage(CODE_PAGE_UTF8);
    exercise(url, target, true);
    return 0;
}
