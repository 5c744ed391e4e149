// Registration of DorimelHost.exe (see host_registration.h). Paths are kept
// in UTF-16 and the manifests written in UTF-8, so that any folder name works.
#include "native_host/win32/host_registration.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace {

const wchar_t kHostName[] = L"jp.dorimel.host";
const char kChromiumOrigin[] = "chrome-extension://ealaikofgjonemfojipmlkdhckdghgej/";
const char kFirefoxExtension[] = "handoff@dorimel";

struct BrowserKey {
    const wchar_t* key;  // below HKCU, without the host name
    bool firefox;
};
const BrowserKey kBrowserKeys[] = {
    {L"Software\\Google\\Chrome\\NativeMessagingHosts\\", false},
    {L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\", false},
    {L"Software\\Mozilla\\NativeMessagingHosts\\", true},
};

std::wstring programPath() {
    wchar_t path[32768] = L"";
    DWORD length = GetModuleFileNameW(nullptr, path, 32767);
    return std::wstring(path, length);
}

std::wstring manifestPath(bool firefox) {
    std::wstring program = programPath();
    return program.substr(0, program.find_last_of(L"\\/") + 1) + kHostName +
           (firefox ? L".firefox.json" : L".json");
}

std::string utf8(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &result[0], length, nullptr, nullptr);
    return result;
}

void report(const char* what, const std::wstring& where, DWORD code) {
    std::fprintf(stderr, "DorimelHost: %s %s (error %lu)\n", what, utf8(where).c_str(), static_cast<unsigned long>(code));
}

bool writeManifest(bool firefox) {
    nlohmann::json manifest = {{"name", utf8(kHostName)},
                               {"description", "Dorimel download hand-off"},
                               {"path", utf8(programPath())},
                               {"type", "stdio"}};
    if (firefox) manifest["allowed_extensions"] = {kFirefoxExtension};
    else manifest["allowed_origins"] = {kChromiumOrigin};
    const std::string text = manifest.dump(2) + "\n";
    const std::wstring path = manifestPath(firefox);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size();
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!ok) report("cannot write", path, error);
    return ok;
}

}  // namespace

bool registerHost() {
    bool ok = writeManifest(false) && writeManifest(true);
    for (const BrowserKey& browser : kBrowserKeys) {
        const std::wstring key = std::wstring(browser.key) + kHostName;
        const std::wstring value = manifestPath(browser.firefox);
        HKEY handle;
        LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                      &handle, nullptr);
        if (result == ERROR_SUCCESS) {
            result = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    DWORD((value.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(handle);
        }
        if (result != ERROR_SUCCESS) {
            report("cannot register", L"HKCU\\" + key, DWORD(result));
            ok = false;
        }
    }
    return ok;
}

bool unregisterHost() {
    bool ok = true;
    for (const BrowserKey& browser : kBrowserKeys) {
        const std::wstring key = std::wstring(browser.key) + kHostName;
        LONG result = RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            report("cannot remove", L"HKCU\\" + key, DWORD(result));
            ok = false;
        }
    }
    for (bool firefox : {false, true}) {
        const std::wstring path = manifestPath(firefox);
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            report("cannot remove", path, GetLastError());
            ok = false;
        }
    }
    return ok;
}
