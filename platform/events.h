// The platform seam, part 1: how events reach the program, the 100 ms tick and
// the millisecond tick count. Portable header (no OS header): implemented by
// platform/win32/ (window messages, SetTimer, GetTickCount) and by
// platform/posix/ (a poll() loop, CLOCK_MONOTONIC).
//
// Everything runs on one thread. The platform never calls the program from
// another thread: host lookups that run elsewhere (posix) hand their result to
// the loop, which delivers it like any other event.
#pragma once

#include <cstdint>

#include "platform/net.h"

// What the platform tells the program. One object receives everything; it is
// installed with setPlatformEvents (on Windows the download window installs
// it, on Linux the console run). Each call is one event, delivered on the
// program's thread, never re-entrantly from inside a seam call: a seam call
// only ever queues events, the loop (or the window's message handler)
// delivers them later.
class PlatformEvents {
public:
    // WM_HOST_RESOLVED (0x8001). The asynchronous lookup started by lookupHost
    // ended. task is the handle lookupHost returned. error is 0 on success,
    // otherwise a Winsock lookup error (WSAHOST_NOT_FOUND, WSATRY_AGAIN,
    // WSANO_RECOVERY, WSANO_DATA, ...). address is the first IPv4 address of
    // the host in network byte order (INADDR_NONE when error != 0).
    // Never delivered for a task that was cancelled with cancelLookup.
    virtual void onHostResolved(LookupTask task, int error, uint32_t address) = 0;

    // WM_HOST_ADDRESSES (0x8009): the lookup started by lookupHostAddresses
    // ended. error as above; addresses holds every address of the host (both
    // families, no duplicates, the resolver's order) when error == 0. Never
    // delivered for a cancelled task.
    virtual void onHostAddresses(LookupTask, int, const std::vector<NetAddress>&) {}

    // WM_SESSION_SOCKET (0x8002) and WM_DATA_SOCKET (0x8008): an event on a
    // socket registered with socketSelect for SOCKET_ROUTE_SESSION or
    // SOCKET_ROUTE_DATA. event is exactly one of NET_READ, NET_CONNECT,
    // NET_CLOSE; error is 0 or a Winsock error code. See platform/net.h for
    // when each event is reported.
    virtual void onSessionSocket(SocketHandle socket, int event, int error) = 0;
    virtual void onDataSocket(SocketHandle socket, int event, int error) = 0;

    // WM_TIMER with TICK_TIMER_ID: the 100 ms tick, while the tick timer runs.
    // Ticks do not pile up: a tick that comes late is delivered once.
    virtual void onTick() = 0;

protected:
    ~PlatformEvents() = default;
};

// Installs the receiver of all events (null: events are dropped).
void setPlatformEvents(PlatformEvents* receiver);
PlatformEvents* platformEvents();

// The 100 ms tick timer (TICK_TIMER_ID 1 on Windows). Starting a running
// timer restarts its period; stopping a stopped one does nothing.
enum : unsigned { TICK_TIMER_ID = 1, TICK_INTERVAL_MS = 100 };
void startTickTimer();
void stopTickTimer();
bool tickTimerRunning();

// Milliseconds since some fixed moment, wrapping at 2^32 like GetTickCount.
// Rate sampling and state-save pacing read it; waits and time-outs count
// ticks instead.
uint32_t tickCount();

// Test support: replaces the source of tickCount (null restores the real
// clock), so that tests can move time on by hand.
using TickCountSource = uint32_t (*)();
void overrideTickCount(TickCountSource source);
