// Inside the Windows seam: how the socket calls and the message handler of
// net_win32.cpp hand TLS sockets to tls_win32.cpp (SChannel). Not for use
// outside platform/win32/.
#pragma once

#include "platform/tls.h"
#include "platform/win32/win32_seam.h"

// Marks a WM_SESSION_SOCKET / WM_DATA_SOCKET message that the TLS layer
// posted itself (outside Winsock's FD_* bits); its high word carries the
// TLS socket's generation instead of an error.
enum : WORD { TLS_POSTED_EVENT = 0x4000 };

// Called for every socket message before it reaches PlatformEvents. Returns
// false when the message is the TLS layer's alone (nothing to deliver);
// otherwise event and error say what to deliver (unchanged for plain
// sockets).
bool tlsFilterEvent(SocketHandle socket, LPARAM lParam, int& event, int& error);

// socketSend / socketRecv of a socket for which tlsActive is true.
int tlsSend(SocketHandle socket, const void* data, size_t length);
int tlsRecv(SocketHandle socket, void* buffer, size_t length);

// socketClose: releases the socket's TLS state (nothing when it has none).
void tlsForget(SocketHandle socket);

// The message and events a socket was registered with by socketSelect
// (false when it never was or was turned off).
bool socketRegistration(SocketHandle socket, UINT& message, long& events);
