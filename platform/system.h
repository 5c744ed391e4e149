// The platform seam, part 4: the system's error texts and the few services the
// download touches outside the network and files (browser cookies, the browser
// cache, the finish sound). Portable header (no OS header): Windows uses
// FormatMessageA, WinInet and winmm; on Linux the browser hooks are empty and
// the sound does nothing.
#pragma once

#include <cstdint>
#include <string>

// The system's text for an error code: a Winsock code (netLastError, event
// errors) or a system code (fileLastError). Windows: FormatMessageA from the
// system, user's language, no line breaks. Linux: strerror of the errno the
// code stands for. Empty when the system has no text.
std::string errorText(int code);

// InternetGetCookieA: the browser's cookie text for url. False (and nothing
// sent) when there is none or the call fails; always false on Linux.
bool browserCookie(const char* url, std::string* cookie);

// Reads the environment variable name once and removes it from this process's
// environment, so that no program started later inherits it; on Linux the
// value's bytes in the start-up environment block are also overwritten. False
// when the variable is absent. On Windows the value is read as UTF-16 and
// returned in UTF-8 (a browser's cookie text keeps its bytes).
bool takeEnvironmentVariable(const char* name, std::string* value);

// CreateUrlCacheEntryA: a file in the browser cache for url, with the expected
// size (0 when unknown) and the extension without its dot. False when the
// cache cannot give one; always false on Linux.
bool browserCacheFile(const char* url, int64_t expectedSize, const char* extension,
                      std::string* path);

// Plays a sound file synchronously through winmm's PlaySoundA, loaded by name
// for this call; silently nothing when winmm or the entry point is missing,
// and always nothing on Linux.
void playSoundFile(const char* path);
