// Posix side of platform/tls_info.h: no TLS library is linked yet.
#include "platform/tls_info.h"

const char* platformTlsLibrary() { return nullptr; }
