// Start-up of the main program, shared by the Windows program and the console
// front end: the settings read from the options file, the command-line grammar
// with its exact error messages, and the hand-over of a temporary download
// file named on the command line to its loader. Portable: the file system is
// reached through StartupEnvironment, the texts through the string table.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/app_settings.h"

class OptionsFile;

// String-table IDs of the start-up messages.
enum : unsigned {
    IDS_FILE_NOT_FOUND = 22,         // "ファイルが存在しません。"
    IDS_CANNOT_OPEN_FILE = 29,       // "ファイルを開けません"
    IDS_MISSING_ARGUMENT = 87,       // " の引数がありません"
    IDS_COMMAND_LINE_ERROR = 88,     // caption "コマンドラインエラー"
    IDS_BAD_TIMEOUT = 89,            // "タイムアウト値が不正です。"
    IDS_NOT_A_FOLDER = 90,           // " は存在しないかフォルダではありません"
    IDS_ERROR_CAPTION = 91,          // caption "エラー"
    IDS_BAD_ARGUMENT = 92,           // " の引数が不正です"
    IDS_UNKNOWN_OPTION = 93,         // "知らないオプションです : "
    IDS_SEVERAL_URLS = 94,           // "URLが複数指定されています"
    IDS_BROKEN_TEMP_FILE = 96,       // "このファイルは壊れているか、..."
};

enum MessageIcon {
    MESSAGE_ICON_ERROR,    // MB_ICONERROR / MB_ICONHAND
    MESSAGE_ICON_WARNING,  // MB_ICONWARNING / MB_ICONEXCLAMATION
};

// A start-up failure as the front ends show it: a message box without owner
// (Windows, exit code 0) or "caption: text" on standard error (console, exit
// code 2). Texts are in the process's code page, built from the string table.
struct StartupError {
    std::string text;
    std::string caption;  // string 88 unless a rule names another
    MessageIcon icon = MESSAGE_ICON_ERROR;
};

// What start-up asks of the file system (platform/paths.h has the real one:
// platformStartupEnvironment()). Tests substitute their own.
class StartupEnvironment {
public:
    virtual ~StartupEnvironment() = default;
    // The path made absolute; false on failure.
    virtual bool fullPath(const std::string& path, std::string& full) const = 0;
    virtual bool isFolder(const std::string& path) const = 0;
    virtual bool exists(const std::string& path) const = 0;
    // A file (not a folder) that opens for binary reading.
    virtual bool canOpenForReading(const std::string& path) const = 0;
    // Appended to the -td folder when missing: "\" on Windows, "/" on POSIX.
    virtual char pathSeparator() const = 0;
};

// Loads the temporary download file named by argument (as typed; it exists and
// opens for binary reading) into settings (its "App" record overwrites the
// settings fields) and into whatever else the caller binds (job, sessions,
// new-download values). InputURL is empty when the loader is called (the
// command line's URL is applied again afterwards). After a successful load
// start-up itself sets NoDialog and resuming to true and tempFilePath to the
// argument's full path, then scans the command line again from the first
// argument.
using TempFileLoader = std::function<TempFileLoadResult(const std::string& argument, AppSettings& settings)>;

// Reads the start-up settings from the options file in the fixed order, with
// the defaults of a missing file: MainOptions/Flags, SuppressSize, Timeout
// (300), IsSoundOnDownloadFinished (0, stored as read), SoundFileOfDownloadFinished,
// FtpAnonymousPassword (kDefaultAnonymousPassword), DefaultValues/Proxy,
// MainOptions/IsUseIECache, CloseWithComplete, DefaultValues/ProxyNoCache
// (sets or clears FLAG_PROXY_NO_CACHE), DefaultValues/DestDir,
// MainOptions/EnableHttps (default: the field's value on entry); then NoDialog,
// IgnoreSFW, AutoRename and UseIECookie become false. Fields not read here
// (TargetDir, Dead, InputURL, InputReferer, resuming, tempFilePath) are left
// as they are.
void readStartupSettings(const OptionsFile& options, AppSettings& settings);

// Applies the command-line arguments (program name excluded) to settings.
// Every option takes the next argument as its value; the first error stops the
// scan and fills error. A bare argument containing "http://" or "ftp://"
// (case-sensitive), or "https://" when settings.EnableHttps, is the URL; any
// other is a temporary download file, which must exist and open for reading and is then handed to loader (a second one,
// after a successful load, is ignored). loader may be empty: a temporary-file
// argument then fails like a broken file (string 96).
bool parseCommandLine(const std::vector<std::string>& arguments, AppSettings& settings,
                      const StartupEnvironment& environment, const TempFileLoader& loader,
                      StartupError& error);

// readStartupSettings, then parseCommandLine. Nothing is written to the
// options file.
bool runStartup(const OptionsFile& options, const std::vector<std::string>& arguments,
                AppSettings& settings, const StartupEnvironment& environment,
                const TempFileLoader& loader, StartupError& error);

// Environment variable through which the native messaging host hands the
// browser's cookies for the URL to the program it starts (never on a command
// line, which other processes can read).
inline constexpr const char kHandoffCookieVariable[] = "DORIMEL_COOKIE";

// Takes kHandoffCookieVariable out of the environment (read once, removed) and
// binds it to the URL start-up settled on (settings.InputURL). Called right
// after runStartup, whatever it returned. Nothing changes when it is absent.
void takeHandoffCookie(AppSettings& settings);

// Splits a Windows-style command line (without the program name, as WinMain
// receives it) into arguments: blanks and tabs separate; double quotes group
// and are removed; 2n backslashes before a quote give n backslashes and the
// quote groups, 2n+1 give n backslashes and a literal quote; "" inside quotes
// is a literal quote; other backslashes are kept. Multi-byte aware (a
// Shift-JIS second byte 0x5C is not a backslash).
std::vector<std::string> splitCommandLine(const char* commandLine);

// Text of string-table entry id ("" when it does not exist).
std::string loadStringText(unsigned id);
