// Module-wide state of DorimelDLM.dll: paths, the instance handle, the count of
// live COM objects and the per-thread object map. Windows side.
#pragma once

#include <windows.h>

#include <string>

#include "browser_module/thread_site_map.h"

struct ModuleState {
    // The module's folder without a trailing backslash; set only on an allowed load.
    char directory[MAX_PATH] = "";
    // The module's own path with its extension replaced by ".ini".
    char settingsPath[MAX_PATH + 8] = "";
    HINSTANCE instance = nullptr;  // set only on an allowed load
    volatile LONG liveObjects = 0;  // factories and hooks alive; interlocked only
    CRITICAL_SECTION countLock;
    ThreadSiteMap siteMap;

    ModuleState() { InitializeCriticalSection(&countLock); }
    ~ModuleState() { DeleteCriticalSection(&countLock); }
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;
};

extern ModuleState g_module;

inline void addLiveObject() { InterlockedIncrement(&g_module.liveObjects); }
inline void removeLiveObject() { InterlockedDecrement(&g_module.liveObjects); }

// The module's CLSID in registry text form, in the ANSI code page.
std::string moduleClsidText();

// Converts UTF-16 text to the ANSI code page and back.
std::string toAnsi(const wchar_t* text);
std::wstring fromAnsi(const char* text);
