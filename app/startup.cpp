// Start-up of the main program: settings from the options file, then the
// command line, with the exact messages the front ends show. Portable.
#include "app/startup.h"

#include <climits>

#include "foundation/code_page.h"
#include "app/options_file.h"
#include "foundation/string_table.h"
#include "foundation/text.h"
#include "platform/system.h"

namespace {

enum OptionValue {
    VALUE_TEXT,      // any text
    VALUE_SWITCH,    // "0..." or "1..."
    VALUE_POSITIVE,  // leading decimal digits, above 0
    VALUE_FOLDER,    // an existing folder
};

enum OptionId {
    OPT_REFERER,
    OPT_TIMEOUT,
    OPT_FINISH_SOUND,
    OPT_SOUND_FILE,
    OPT_ANONYMOUS_PASSWORD,
    OPT_PROXY,
    OPT_USE_CACHE,
    OPT_CLOSE_AT_END,
    OPT_PROXY_NO_CACHE,
    OPT_TARGET_DIR,
    OPT_SPLIT,
    OPT_SPEED_LIMIT,
    OPT_NO_REDIRECT,
    OPT_RETRY_ON_ERROR,
    OPT_RESTART_IF_NO_RESUME,
    OPT_SPEED_LIMIT_VALUE,
    OPT_NO_DIALOG,
    OPT_IGNORE_EXISTING,
    OPT_AUTO_RENAME,
    OPT_USE_COOKIE,
};

struct OptionEntry {
    const char* name;
    OptionId id;
    OptionValue value;
};

// Looked up by exact, case-sensitive comparison, in this order.
const OptionEntry kOptions[] = {
    {"-rf", OPT_REFERER, VALUE_TEXT},
    {"-to", OPT_TIMEOUT, VALUE_POSITIVE},
    {"-fs", OPT_FINISH_SOUND, VALUE_SWITCH},
    {"-sf", OPT_SOUND_FILE, VALUE_TEXT},
    {"-ap", OPT_ANONYMOUS_PASSWORD, VALUE_TEXT},
    {"-pr", OPT_PROXY, VALUE_TEXT},
    {"-ic", OPT_USE_CACHE, VALUE_SWITCH},
    {"-ac", OPT_CLOSE_AT_END, VALUE_SWITCH},
    {"-pn", OPT_PROXY_NO_CACHE, VALUE_SWITCH},
    {"-td", OPT_TARGET_DIR, VALUE_FOLDER},
    {"-sp", OPT_SPLIT, VALUE_SWITCH},
    {"-sl", OPT_SPEED_LIMIT, VALUE_SWITCH},
    {"-nr", OPT_NO_REDIRECT, VALUE_SWITCH},
    {"-ie", OPT_RETRY_ON_ERROR, VALUE_SWITCH},
    {"-rn", OPT_RESTART_IF_NO_RESUME, VALUE_SWITCH},
    {"-ss", OPT_SPEED_LIMIT_VALUE, VALUE_POSITIVE},
    {"-nd", OPT_NO_DIALOG, VALUE_SWITCH},
    {"-iw", OPT_IGNORE_EXISTING, VALUE_SWITCH},
    {"-ar", OPT_AUTO_RENAME, VALUE_SWITCH},
    {"-ik", OPT_USE_COOKIE, VALUE_SWITCH},
};

const OptionEntry* findOption(const std::string& argument) {
    for (const OptionEntry& entry : kOptions) {
        if (argument == entry.name) return &entry;
    }
    return nullptr;
}

// Leading decimal digits with an optional sign, as atoi reads them (blanks
// first skipped; no digits give 0). Values beyond 32 bits saturate.
int32_t leadingNumber(const std::string& value) {
    const char* p = value.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long result = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (result <= INT_MAX) result = result * 10 + (*p - '0');
    }
    if (negative) result = -result;
    if (result > INT_MAX) return INT_MAX;
    if (result < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(result);
}

void setError(StartupError& error, std::string text, unsigned caption = IDS_COMMAND_LINE_ERROR) {
    error.text = std::move(text);
    error.caption = loadStringText(caption);
    error.icon = MESSAGE_ICON_ERROR;
}

// Applies one option with its value; false (error filled) when the value is refused.
bool applyOption(const OptionEntry& option, const std::string& value, AppSettings& settings,
                 const StartupEnvironment& environment, StartupError& error) {
    bool on = false;
    int32_t number = 0;
    switch (option.value) {
    case VALUE_TEXT:
        break;
    case VALUE_SWITCH:
        if (value.empty() || (value[0] != '0' && value[0] != '1')) {
            setError(error, option.name + loadStringText(IDS_BAD_ARGUMENT));
            return false;
        }
        on = value[0] == '1';
        break;
    case VALUE_POSITIVE:
        number = leadingNumber(value);
        if (number <= 0) {
            if (option.id == OPT_TIMEOUT) setError(error, loadStringText(IDS_BAD_TIMEOUT));
            else setError(error, option.name + loadStringText(IDS_BAD_ARGUMENT));
            return false;
        }
        break;
    case VALUE_FOLDER: {
        std::string full;
        if (!environment.fullPath(value, full)) {
            setError(error, value + loadStringText(IDS_NOT_A_FOLDER), IDS_ERROR_CAPTION);
            return false;
        }
        Text folder(full);
        folder.addSeparator(environment.pathSeparator());
        if (!environment.isFolder(folder.str())) {
            setError(error, folder.str() + loadStringText(IDS_NOT_A_FOLDER), IDS_ERROR_CAPTION);
            return false;
        }
        settings.DstDir = folder.str();
        return true;
    }
    }
    DownloadOptions& flags = settings.downloadOptions;
    switch (option.id) {
    case OPT_REFERER: settings.InputReferer = value; break;
    case OPT_TIMEOUT: settings.Timeout = number; break;
    case OPT_FINISH_SOUND: settings.SoundOnF = on ? 2 : 0; break;
    case OPT_SOUND_FILE: settings.SoundFile = value; break;
    case OPT_ANONYMOUS_PASSWORD: settings.AnonyPass = value; break;
    case OPT_PROXY: settings.Proxy = value; break;
    case OPT_USE_CACHE: settings.UseIECache = on; break;
    case OPT_CLOSE_AT_END: settings.CloseAtEnd = on; break;
    case OPT_PROXY_NO_CACHE: flags.set(FLAG_PROXY_NO_CACHE, on); break;
    case OPT_TARGET_DIR: break;  // handled above
    case OPT_SPLIT: flags.set(FLAG_SPLIT, on); break;
    case OPT_SPEED_LIMIT: flags.set(FLAG_SPEED_LIMIT, on); break;
    case OPT_NO_REDIRECT: flags.set(FLAG_NO_REDIRECT, on); break;
    case OPT_RETRY_ON_ERROR: flags.set(FLAG_RETRY_ON_ERROR, on); break;
    case OPT_RESTART_IF_NO_RESUME: flags.set(FLAG_RESTART_IF_NO_RESUME, on); break;
    case OPT_SPEED_LIMIT_VALUE: flags.speedLimit = number; break;
    case OPT_NO_DIALOG: settings.NoDialog = on; break;
    case OPT_IGNORE_EXISTING: settings.IgnoreSFW = on; break;
    case OPT_AUTO_RENAME: settings.AutoRename = on; break;
    case OPT_USE_COOKIE: settings.UseIECookie = on; break;
    }
    return true;
}

bool isUrlArgument(const std::string& argument, bool https) {
    return argument.find("http://") != std::string::npos || argument.find("ftp://") != std::string::npos ||
           (https && argument.find("https://") != std::string::npos);
}

}  // namespace

std::string loadStringText(unsigned id) {
    Text text;
    text.loadString(id);
    return text.str();
}

void readStartupSettings(const OptionsFile& options, AppSettings& settings) {
    DownloadOptions& download = settings.downloadOptions;
    download.flags = static_cast<uint32_t>(options.readInt("MainOptions", "Flags", 0));
    download.speedLimit = options.readInt("MainOptions", "SuppressSize", 0);
    settings.Timeout = options.readInt("MainOptions", "Timeout", 300);
    settings.SoundOnF = options.readInt("MainOptions", "IsSoundOnDownloadFinished", 0);
    settings.SoundFile = options.readText("MainOptions", "SoundFileOfDownloadFinished", "");
    settings.AnonyPass = options.readText("MainOptions", "FtpAnonymousPassword", kDefaultAnonymousPassword);
    settings.Proxy = options.readText("DefaultValues", "Proxy", "");
    settings.UseIECache = options.readInt("MainOptions", "IsUseIECache", 0) != 0;
    settings.CloseAtEnd = options.readInt("MainOptions", "CloseWithComplete", 0) != 0;
    download.set(FLAG_PROXY_NO_CACHE, options.readInt("DefaultValues", "ProxyNoCache", 0) != 0);
    settings.DstDir = options.readText("DefaultValues", "DestDir", "");
    // The front end has set its own default before (on in the console).
    settings.EnableHttps = options.readInt("MainOptions", "EnableHttps", settings.EnableHttps ? 1 : 0) != 0;
    settings.NoDialog = false;
    settings.IgnoreSFW = false;
    settings.AutoRename = false;
    settings.UseIECookie = false;
}

bool parseCommandLine(const std::vector<std::string>& arguments, AppSettings& settings,
                      const StartupEnvironment& environment, const TempFileLoader& loader,
                      StartupError& error) {
    bool loaded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (const OptionEntry* option = findOption(argument)) {
            // The next argument is the value, whatever it looks like.
            if (i + 1 >= arguments.size()) {
                setError(error, argument + loadStringText(IDS_MISSING_ARGUMENT));
                return false;
            }
            if (!applyOption(*option, arguments[++i], settings, environment, error)) return false;
            continue;
        }
        if (!argument.empty() && argument[0] == '-') {
            setError(error, loadStringText(IDS_UNKNOWN_OPTION) + argument);
            return false;
        }
        if (isUrlArgument(argument, settings.EnableHttps)) {
            if (!settings.InputURL.empty()) {
                setError(error, loadStringText(IDS_SEVERAL_URLS));
                return false;
            }
            settings.InputURL = argument;
            continue;
        }
        // A temporary download file; only the first one counts.
        if (loaded) continue;
        if (!environment.exists(argument)) {
            setError(error, loadStringText(IDS_FILE_NOT_FOUND) + " : " + argument);
            return false;
        }
        if (!environment.canOpenForReading(argument)) {
            setError(error, loadStringText(IDS_CANNOT_OPEN_FILE) + " : " + argument);
            return false;
        }
        // The URL of the first pass is given again in the second; only a URL
        // that the file itself carries may make it a second one.
        settings.InputURL.clear();
        TempFileLoadResult result;
        if (loader) {
            result = loader(argument, settings);
        } else {
            result.errorText = loadStringText(IDS_BROKEN_TEMP_FILE) + " : " + argument;
        }
        if (!result.ok) {
            setError(error, result.errorText);
            return false;
        }
        loaded = true;
        settings.NoDialog = true;
        settings.resuming = true;
        std::string full;
        settings.tempFilePath = environment.fullPath(argument, full) ? full : argument;
        // Scan again from the start: the command line wins over the loaded file.
        i = static_cast<size_t>(-1);
    }
    return true;
}

bool runStartup(const OptionsFile& options, const std::vector<std::string>& arguments, AppSettings& settings,
                const StartupEnvironment& environment, const TempFileLoader& loader, StartupError& error) {
    readStartupSettings(options, settings);
    return parseCommandLine(arguments, settings, environment, loader, error);
}

std::vector<std::string> splitCommandLine(const char* commandLine) {
    std::vector<std::string> arguments;
    if (commandLine == nullptr) return arguments;
    const char* p = commandLine;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        std::string argument;
        bool quoted = false;
        while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                size_t backslashes = 0;
                while (*p == '\\') {
                    ++backslashes;
                    ++p;
                }
                if (*p == '"') {
                    argument.append(backslashes / 2, '\\');
                    if (backslashes % 2 == 1) {
                        argument += '"';
                        ++p;
                    }
                } else {
                    argument.append(backslashes, '\\');
                }
            } else if (*p == '"') {
                if (quoted && p[1] == '"') {
                    argument += '"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
            } else {
                const size_t n = charLength(p);
                argument.append(p, n);
                p += n;
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

void takeHandoffCookie(AppSettings& settings) {
    std::string cookie;
    if (!takeEnvironmentVariable(kHandoffCookieVariable, &cookie) || cookie.empty()) return;
    // A header value may not break the request: a line break or another
    // control character refuses the whole value.
    for (unsigned char c : cookie)
        if (c < 0x20 || c == 0x7f) return;
    settings.handoffCookie = cookie;
    settings.handoffCookieUrl = settings.InputURL;
}
