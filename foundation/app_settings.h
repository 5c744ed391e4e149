// The settings of the one download a process serves: what start-up reads from
// the options file and the command line, what the window's option menu toggles,
// and what the temporary file persists as its "App" record.
// Portable: shared by the Windows program and the Linux console front end.
#pragma once

#include <cstdint>
#include <string>

// The flags word of DownloadOptions. Bits not listed are unused.
enum : uint32_t {
    FLAG_PROXY_NO_CACHE = 0x01,        // -pn: ask the proxy not to answer from its cache
    FLAG_SPLIT = 0x02,                 // -sp: split the download over two sessions
    FLAG_SPEED_LIMIT = 0x04,           // -sl: limit the speed to speedLimit K/s
    FLAG_NO_REDIRECT = 0x08,           // -nr: do not follow redirections
    FLAG_RETRY_ON_ERROR = 0x10,        // -ie: retry even when the server returns an error
    FLAG_RESTART_IF_NO_RESUME = 0x20,  // -rn: start again when resuming is impossible
};

struct DownloadOptions {
    uint32_t flags = 0;      // MainOptions/Flags, record key "status_downflags"
    int32_t speedLimit = 0;  // K/s; MainOptions/SuppressSize, "status_suppresssize"

    bool has(uint32_t flag) const { return (flags & flag) != 0; }
    void set(uint32_t flag, bool on) { flags = on ? (flags | flag) : (flags & ~flag); }
};

// Default of MainOptions/FtpAnonymousPassword: 12 characters, e-mail style,
// ending in "@", no domain.
inline constexpr const char kDefaultAnonymousPassword[] = "dorimeluser@";

// Field names follow the keys of the persisted "App" record.
struct AppSettings {
    DownloadOptions downloadOptions;
    std::string TargetDir;  // persisted only
    int32_t Timeout = 300;  // seconds without progress before a session gives up
    int32_t Dead = 0;       // 1 once the download has finished
    int32_t SoundOnF = 0;   // the finish sound plays only when this is exactly 2
    std::string SoundFile;
    std::string AnonyPass = kDefaultAnonymousPassword;
    std::string Proxy;
    bool UseIECache = false;
    bool CloseAtEnd = false;
    std::string DstDir;  // destination folder, with a trailing backslash when set by -td
    std::string InputURL;
    std::string InputReferer;
    bool NoDialog = false;
    bool IgnoreSFW = false;
    bool AutoRename = false;
    bool UseIECookie = false;
    // MainOptions/EnableHttps: https URLs are downloaded over verified TLS.
    // Off in the Windows program unless the options file turns it on, on in
    // the Linux console. Not persisted in the "App" record.
    bool EnableHttps = false;
    // Not persisted: the Cookie header value a browser hand-off gave for
    // handoffCookieUrl (the URL the program was started with). Sent only to
    // that URL's scheme and host; empty when none was given.
    std::string handoffCookie;
    std::string handoffCookieUrl;
    // Not persisted: set when a temporary file named on the command line was loaded.
    bool resuming = false;
    std::string tempFilePath;
};

// The result of loading a temporary download file.
struct TempFileLoadResult {
    bool ok = false;
    // When !ok: the message to show (caption string 88, error icon), e.g.
    // string 96 + " : " + the argument as typed.
    std::string errorText;
};
