// Windows side of the seam: system error texts (FormatMessageA), the
// browser's cookies and cache (WinInet) and the finish sound (winmm's
// PlaySoundA, loaded by name only when a sound is played).
#include "platform/win32/win32_seam.h"

#include <wininet.h>

#include <cstring>
#include <vector>

std::string errorText(int code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, DWORD(code), LANG_USER_DEFAULT, reinterpret_cast<char*>(&text),
                                  0, nullptr);
    std::string result;
    if (length && text) result.assign(text, length);
    if (text) LocalFree(text);
    return result;
}

bool browserCookie(const char* url, std::string* cookie) {
    DWORD length = 0;
    if (!InternetGetCookieA(url, nullptr, nullptr, &length) || length == 0) return false;
    std::vector<char> buffer(size_t(length) + 1, '\0');
    DWORD size = length + 1;
    if (!InternetGetCookieA(url, nullptr, buffer.data(), &size)) return false;
    cookie->assign(buffer.data());
    return true;
}

bool takeEnvironmentVariable(const char* name, std::string* value) {
    std::wstring wideName(name, name + std::strlen(name));  // names are ASCII
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (length == 0) return false;
    std::vector<wchar_t> buffer(length + 1, L'\0');
    DWORD got = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), length + 1);
    SetEnvironmentVariableW(wideName.c_str(), nullptr);
    if (got == 0 || got > length) return false;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), int(got), nullptr, 0, nullptr, nullptr);
    value->assign(size_t(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, buffer.data(), int(got), &(*value)[0], bytes, nullptr, nullptr);
    SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
    return true;
}

bool browserCacheFile(const char* url, int64_t expectedSize, const char* extension, std::string* path) {
    char buffer[MAX_PATH + 1] = "";  // 261 bytes
    DWORD size = expectedSize > 0 && expectedSize <= 0xffffffffLL ? DWORD(expectedSize) : 0;
    if (!CreateUrlCacheEntryA(url, size, extension, buffer, 0)) return false;
    path->assign(buffer);
    return true;
}

void playSoundFile(const char* path) {
    using PlaySoundFunction = BOOL(WINAPI*)(LPCSTR, HMODULE, DWORD);
    HMODULE winmm = LoadLibraryA("winmm.dll");
    if (!winmm) return;
    auto play = reinterpret_cast<PlaySoundFunction>(reinterpret_cast<void*>(GetProcAddress(winmm, "PlaySoundA")));
    if (play) play(path, nullptr, 0);
    FreeLibrary(winmm);
}
