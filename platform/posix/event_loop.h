// Posix side of the platform seam: the poll() loop that delivers the seam's
// events (socket events, lookup results, the 100 ms tick) to the installed
// PlatformEvents on the calling thread. Used by the Linux console front end and
// by the native tests.
#pragma once

#include <functional>

// Runs until quitEventLoop() is called (from inside an event, a deferred call
// or a signal handler). Sleeps in poll() between events: no busy wait.
// Returns false when called while already running.
bool runEventLoop();

// Makes runEventLoop return after the event being delivered. Safe to call from
// a signal handler and from another thread.
void quitEventLoop();

// Runs call on the loop's thread after the current event (like a message a
// window posts to itself). Must be called on the loop's thread.
void postDeferred(std::function<void()> call);

// Asynchronous wake-up (async-signal-safe): the next loop turn calls the
// function installed with setWakeHandler, on the loop's thread. The console
// front end routes Ctrl-C through it.
void wakeEventLoop();
void setWakeHandler(std::function<void()> handler);

// Test support: the real time between two ticks (100 ms by default). Lowering
// it makes tick-counted waits and time-outs pass faster; tickCount is not
// affected (see overrideTickCount for that).
void setTickIntervalMs(int milliseconds);

// Test support: drops everything the loop holds (sockets' registrations,
// queued events, deferred calls, the tick timer) so that one process can run
// several independent loops one after another. Sockets are not closed.
void resetEventLoop();
