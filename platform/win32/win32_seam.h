// Windows side of the platform seam: how the download window hands the seam
// its handle and its messages. Include this header first in Windows sources
// that use the seam (it brings <winsock2.h> in before <windows.h> and before
// the portable seam headers, which take the Winsock error names from it).
//
// Use from the download window:
//   - WM_INITDIALOG: setSeamWindow(hwnd) before anything starts a lookup, a
//     socket or the tick timer (the seam posts to and sets timers on it);
//     setPlatformEvents(receiver) installs who gets the events.
//   - in the message handler, first thing:
//         LRESULT result;
//         if (handleSeamMessage(hwnd, message, wParam, lParam, &result))
//             return result;
//     It consumes WM_HOST_RESOLVED (0x8001), WM_SESSION_SOCKET (0x8002),
//     WM_DATA_SOCKET (0x8008), WM_HOST_ADDRESSES (0x8009) and WM_TIMER with
//     TICK_TIMER_ID (1), and turns them into PlatformEvents calls
//     (onHostResolved, onSessionSocket, onDataSocket, onHostAddresses,
//     onTick). Everything else is left to the window.
//   - WM_DESTROY: stopTickTimer(); setSeamWindow(nullptr).
// Winsock itself is started by start-up (WSAStartup 2.2, else 1.1), not here.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/events.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/system.h"

enum : UINT {
    WM_HOST_RESOLVED = 0x8001,
    WM_SESSION_SOCKET = 0x8002,
    WM_DATA_SOCKET = 0x8008,
    // Posted by the lookup thread of lookupHostAddresses: wParam the task,
    // lParam the result it allocated (the handler frees it).
    WM_HOST_ADDRESSES = 0x8009,
};

void setSeamWindow(HWND window);
HWND seamWindow();

// True when the message belonged to the seam (then *result is its result).
bool handleSeamMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                       LRESULT* result);
