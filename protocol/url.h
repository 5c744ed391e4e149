// URL utilities: splitting a URL into its pieces and the rules built on them
// (request path, connection port, local file name, redirect resolution,
// referer normalization, the check of a typed URL).
// Portable: no OS header. URLs are plain strings of bytes of the system code
// page; no parsed form is kept anywhere, every operation splits afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Size limits of the pieces, terminator included: a piece of this many bytes
// or more does not fit and makes the whole URL invalid.
inline constexpr size_t URL_NAME_BUFFER = 260;   // scheme, host, user name, password
inline constexpr size_t URL_PATH_BUFFER = 1040;  // path, extra info

inline constexpr uint16_t HTTP_DEFAULT_PORT = 80;
inline constexpr uint16_t HTTPS_DEFAULT_PORT = 443;
inline constexpr uint16_t FTP_DEFAULT_PORT = 21;
inline constexpr uint16_t PROXY_DEFAULT_PORT = 8080;

// The pieces of one URL, as written (no escaping, no unescaping).
struct UrlComponents {
    std::string scheme;     // without the colon: "http", "ftp", ...
    std::string hostName;   // without port and user information
    uint16_t port = 0;      // written port, or 80 for http / 21 for ftp; 0 when neither
    std::string userName;   // empty when absent
    std::string password;   // empty when absent
    std::string path;       // starts with "/"; empty when the URL has no path
    std::string extraInfo;  // from the first "?" or "#" to the end; empty when absent
};

// Splits url into its pieces. Fails (and leaves out in an unspecified state)
// when the text is not an absolute URL "scheme:..." or when a piece exceeds
// its size limit.
bool crackUrl(const std::string& url, UrlComponents& out);
bool isValidUrl(const std::string& url);

// One piece each; empty when the URL does not crack.
std::string urlScheme(const std::string& url);
std::string urlHost(const std::string& url);
std::string urlUserName(const std::string& url);
std::string urlPassword(const std::string& url);
std::string urlExtraInfo(const std::string& url);
// The path piece, or "/" when it is empty or the URL does not crack.
std::string urlPath(const std::string& url);

// Path and query to send to a server: urlPath + extra info, cut at the first
// "#" (the fragment is never sent).
std::string urlRequestPath(const std::string& url);

// The 16 bytes (network order) of a host written as a bracketed IPv6
// literal, "[::1]" or "[2001:db8::10]" (a trailing dotted IPv4 part allowed).
// False for any other host and for malformed literals ("[::1", "[zz::]",
// more than 8 groups, two "::"), and for a zone ("[fe80::1%25eth0]"): a zone
// names an interface of one machine and has no place in a URL we keep.
bool parseBracketedIpv6(const std::string& host, uint8_t out[16]);

// True when the scheme is "ftp" in any case.
bool isFtpUrl(const std::string& url);
// True when the scheme is "https" in any case.
bool isHttpsUrl(const std::string& url);

// Port to connect to. viaProxy: url is "http://" + the proxy setting; a proxy
// written without a port is reached on 8080. Failure or port 0 gives 8080
// with a proxy, else 80.
uint16_t connectPort(const std::string& url, bool viaProxy);

// Local file name from the URL's last path segment, percent-decoded;
// "index.html" for an empty path, a path ending in "/" or a URL that does not
// crack. Characters not allowed in file names are left for the caller.
std::string urlFileName(const std::string& url);

// Replaces "%" + two hexadecimal digits by the byte they give; everything else
// (a lone "%" included) is copied unchanged.
std::string percentDecode(const std::string& text);

// Absolute URL for a Location value: target itself when it is a valid URL,
// else "http://" + host of base + target resolved against base's request
// path (only a leading "./" is interpreted).
std::string resolveRedirectUrl(const std::string& base, const std::string& target);

// True when the extension of path is ".cgi", ".pl" or ".asp" in any case. The
// extension is found as the platform's path-extension lookup finds it: from
// the last "." that no "\\" or space follows; "/" does not end it.
bool isScriptPath(const std::string& path);

// The text cut at its first "#" (double-byte-aware scan).
std::string stripFragment(const std::string& text);

// The start-up referer as the new-download values take it: empty when not a
// valid URL or when its scheme is "file"; otherwise without its fragment.
std::string normalizeReferer(const std::string& referer);

// The canonical form of a typed URL: unsafe characters percent-escaped, an
// empty path after the host made "/", "." and ".." segments of the path
// resolved. Fails when url is not a valid URL.
bool canonicalizeUrl(const std::string& url, std::string& canonical);

// The questions of checkEnteredUrl; the new-download dialog implements them
// with message boxes (owner: the dialog).
class EnteredUrlPrompts {
public:
    enum class EncodeAnswer { Yes, No, Cancel };
    virtual ~EnteredUrlPrompts() = default;
    // Warning box, no caption: string 57 "URLが不正です。URLは HTTPおよびFTP のみ有効です。"
    virtual void showSchemeRefused() = 0;
    // Yes/No/Cancel, question icon, caption string 50 "確認": string 58
    // "URLをエンコードしますか？". canonical is offered for information.
    virtual EncodeAnswer askEncode(const std::string& url, const std::string& canonical) = 0;
};

// The check run when the user confirms the new-download dialog. May replace
// url (fragment of an http URL cut; canonical form when the user agrees).
// Returns whether the dialog may close. With https, an https URL is accepted
// and treated like an http one.
bool checkEnteredUrl(std::string& url, EnteredUrlPrompts& prompts, bool https = false);
