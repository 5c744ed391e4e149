// DorimelHost.exe: the native messaging host of dorimel.exe. The browser
// starts it with the caller's origin (and --parent-window=N) and talks to it
// in frames on standard input and output, both in binary mode. A download
// request starts dorimel.exe from this program's folder with the parameter
// text the browser module builds: "Options" of DorimelDLM.ini and a blank,
// the URL, and " -rf " and the referrer when there is one, in the ANSI code
// page. The browser's cookies go in dorimel.exe's environment only
// (DORIMEL_COOKIE), never on its command line. --register and --unregister
// write and remove the host manifests and their registry keys.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/options_file.h"
#include "app/startup.h"
#include "browser_module/handoff_text.h"
#include "native_host/host_protocol.h"
#include "native_host/win32/host_registration.h"

namespace {

// The folder of this program, with a trailing backslash (ANSI, as
// dorimel.exe finds its own files).
std::string ownFolder() {
    char path[MAX_PATH + 1] = "";
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

// UTF-8 text in the ANSI code page; false when a character has no exact
// form there (a best-fit substitute would name another resource).
bool ansiFromUtf8(const std::string& text, std::string& ansi) {
    ansi.clear();
    if (text.empty()) return true;
    const std::wstring wide = wideFromUtf8(text);
    if (wide.empty()) return false;
    BOOL lossy = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), nullptr, 0,
                                     nullptr, &lossy);
    if (length <= 0 || lossy) return false;
    ansi.assign(size_t(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), &ansi[0], length, nullptr,
                        &lossy);
    return !lossy;
}

std::string systemMessage(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_MAX_WIDTH_MASK,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text ? text : "error " + std::to_string(code);
    if (text) LocalFree(text);
    return result;
}

class WindowsHostActions : public HostActions {
public:
    std::vector<std::string> schemes() override {
        // dorimel.exe's own options file: https only when it says so.
        const OptionsFile options(optionsPathForModule(ownFolder() + "dorimel.exe"));
        std::vector<std::string> result{"http", "ftp"};
        if (options.readInt("MainOptions", "EnableHttps", 0) != 0) result.insert(result.begin() + 1, "https");
        return result;
    }

    bool startDownload(const HostRequest& request, HostError& error) override {
        std::string url, referrer;
        if (!ansiFromUtf8(request.url, url) || !ansiFromUtf8(request.referrer, referrer)) {
            error = {"bad_message", "the URL cannot be written in the system code page"};
            return false;
        }
        const std::string folder = ownFolder();
        char options[2048] = "";
        GetPrivateProfileStringA("Main", "Options", "", options, sizeof options,
                                 (folder + "DorimelDLM.ini").c_str());
        const std::string parameters = buildHandOffParameters(options, url, referrer);

        const std::string program = folder + "dorimel.exe";
        std::string commandLine = "\"" + program + "\" " + parameters;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOW;
        PROCESS_INFORMATION process = {};
        // The cookie lives in this process's environment only for the start:
        // dorimel.exe inherits it, takes it out at once, and nothing else
        // this host starts sees it.
        const std::wstring cookieName(kHandoffCookieVariable, kHandoffCookieVariable + std::strlen(kHandoffCookieVariable));
        std::wstring cookie = wideFromUtf8(request.cookies);
        if (!cookie.empty()) SetEnvironmentVariableW(cookieName.c_str(), cookie.c_str());
        // Out of the browser's job, when it allows it, so that the download
        // outlives the browser's end of this host.
        BOOL started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                      CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr, &startup, &process);
        if (!started && GetLastError() == ERROR_ACCESS_DENIED)
            started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &process);
        const DWORD startError = GetLastError();
        SetEnvironmentVariableW(cookieName.c_str(), nullptr);
        SecureZeroMemory(&cookie[0], cookie.size() * sizeof(wchar_t));
        if (!started) {
            error = {"start_failed", "dorimel.exe: " + systemMessage(startError)};
            return false;
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--register") == 0) return registerHost() ? 0 : 1;
        if (std::strcmp(argv[i], "--unregister") == 0) return unregisterHost() ? 0 : 1;
    }
    // argv[1] is the caller's origin and --parent-window=N the browser's
    // window: the manifests already limit the callers, and nothing is shown.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    WindowsHostActions actions;
    auto readInput = [](char* buffer, size_t size) -> long {
        return _read(0, buffer, static_cast<unsigned>(size));
    };
    auto writeOutput = [](const std::string& frame) {
        size_t done = 0;
        while (done < frame.size()) {
            const int wrote = _write(1, frame.data() + done, static_cast<unsigned>(frame.size() - done));
            if (wrote <= 0) return false;
            done += static_cast<size_t>(wrote);
        }
        return true;
    };
    return runHostConversation(readInput, writeOutput, actions);
}
