// ThreadSiteMap: which DownloadHook was registered first on each browser
// thread, so that a download can find the browser window (and with it the
// referring page) of the thread it runs on. Windows side.
#pragma once

#include <windows.h>

#include <map>

class DownloadHook;

class ThreadSiteMap {
public:
    ThreadSiteMap();
    ~ThreadSiteMap();
    ThreadSiteMap(const ThreadSiteMap&) = delete;
    ThreadSiteMap& operator=(const ThreadSiteMap&) = delete;

    // Records hook for thread unless the thread already has an entry. The map
    // holds no reference.
    void insert(DWORD thread, DownloadHook* hook);

    // Called by a hook that is being destroyed: removes every entry naming it,
    // so that no lookup can reach a freed object.
    void remove(DownloadHook* hook);

    // The hook registered for thread with a reference added under the lock
    // (the caller releases it), or null.
    DownloadHook* acquire(DWORD thread);

private:
    CRITICAL_SECTION lock_;
    std::map<DWORD, DownloadHook*> entries_;
};
