// ThreadSiteMap (see thread_site_map.h). Windows side.
#include "browser_module/thread_site_map.h"

#include "browser_module/download_hook.h"

namespace {

class LockScope {
public:
    explicit LockScope(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~LockScope() { LeaveCriticalSection(&lock_); }
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

}  // namespace

ThreadSiteMap::ThreadSiteMap() { InitializeCriticalSection(&lock_); }

ThreadSiteMap::~ThreadSiteMap() { DeleteCriticalSection(&lock_); }

void ThreadSiteMap::insert(DWORD thread, DownloadHook* hook) {
    LockScope scope(lock_);
    try {
        entries_.emplace(thread, hook);  // keeps an existing entry
    } catch (...) {
        // Out of memory: the thread simply has no entry (no referer).
    }
}

void ThreadSiteMap::remove(DownloadHook* hook) {
    LockScope scope(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second == hook)
            it = entries_.erase(it);
        else
            ++it;
    }
}

DownloadHook* ThreadSiteMap::acquire(DWORD thread) {
    LockScope scope(lock_);
    auto it = entries_.find(thread);
    if (it == entries_.end()) return nullptr;
    it->second->AddRef();
    return it->second;
}
