// Posix side of the seam: the services that only Windows has. Linux has no
// browser cookie store or cache to share and no finish sound.
#include "platform/system.h"

bool browserCookie(const char*, std::string*) { return false; }

bool browserCacheFile(const char*, int64_t, const char*, std::string*) { return false; }

void playSoundFile(const char*) {}
