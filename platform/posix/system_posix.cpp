// Posix side of the seam: the services that only Windows has. Linux has no
// browser cookie store or cache to share and no finish sound.
#include "platform/system.h"

#include <cstdlib>
#include <cstring>

bool browserCookie(const char*, std::string*) { return false; }

bool browserCacheFile(const char*, int64_t, const char*, std::string*) { return false; }

void playSoundFile(const char*) {}

bool takeEnvironmentVariable(const char* name, std::string* value) {
    char* text = std::getenv(name);
    if (!text) return false;
    value->assign(text);
    // getenv points into the block that /proc/PID/environ shows: blank it
    // there too before dropping the entry.
    std::memset(text, 0, std::strlen(text));
    unsetenv(name);
    return true;
}
