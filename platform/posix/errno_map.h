// Posix side of the seam: translation between errno values and the Winsock
// error codes the engine sees (platform/net.h), both ways, so that errorText
// can still give strerror's wording for a Winsock code.
#pragma once

// The Winsock code for an errno value; an errno without a Winsock
// counterpart is returned unchanged (all errno values are below 10000).
int winsockErrorFromErrno(int error);

// The errno value a Winsock code stands for, 0 when none.
int errnoFromWinsockError(int code);
