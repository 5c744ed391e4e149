// The platform seam, the TLS side: which TLS library the program uses, for
// the version line. Portable header (no OS header).
#pragma once

// Name and version of the TLS library the program is linked with, e.g.
// "OpenSSL 3.0.11 19 Sep 2023"; null when the program has no TLS.
const char* platformTlsLibrary();
