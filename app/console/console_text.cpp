// The console program's own texts. Native only.
#include "app/console/console_text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "app/startup.h"
#include "platform/posix/string_language.h"
#include "platform/tls.h"

namespace {

// String-table entries of --help, in order.
constexpr unsigned kHelpFirst = 170, kHelpLast = 199;
constexpr unsigned kVersionTitle = 3;  // "---Dorimel ver0.11---"
constexpr unsigned kTlsLibrary = 162;

}  // namespace

bool localeIsJapanese(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value == nullptr || *value == '\0') continue;
        return std::strncmp(value, "ja", 2) == 0 && (value[2] == '\0' || value[2] == '_' || value[2] == '.' ||
                                                     value[2] == '@');
    }
    return false;
}

void selectConsoleLanguage() {
    useEnglishStrings(!localeIsJapanese(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")));
}

std::string helpText() {
    std::string text;
    for (unsigned id = kHelpFirst; id <= kHelpLast; ++id) {
        std::string line = loadStringText(id);
        if (!line.empty()) text += line + "\n";
    }
    return text;
}

std::string versionText() {
    // The version the window shows, from its title string.
    const std::string title = loadStringText(kVersionTitle);
    std::string version;
    size_t at = title.find("ver");
    if (at != std::string::npos)
        for (at += 3; at < title.size() && (std::isdigit(static_cast<unsigned char>(title[at])) || title[at] == '.');
             ++at)
            version += title[at];
    std::string text = "dorimel " + version + "\n";
    if (const char* tls = platformTlsLibrary()) text += loadStringText(kTlsLibrary) + tls + "\n";
    return text;
}

void takeConsoleFlags(int& argc, char** argv, ConsoleFlags& flags) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool* flag = std::strcmp(arg, "--help") == 0      ? &flags.help
                     : std::strcmp(arg, "--version") == 0 ? &flags.version
                     : std::strcmp(arg, "--verbose") == 0 ? &flags.verbose
                                                          : nullptr;
        if (flag != nullptr) {
            *flag = true;
            continue;
        }
        argv[kept++] = argv[i];
        if (arg[0] == '-' && i + 1 < argc) argv[kept++] = argv[++i];  // its value, whatever it looks like
    }
    argc = kept;
    argv[argc] = nullptr;
}
