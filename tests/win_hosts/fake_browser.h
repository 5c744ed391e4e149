/* The COM test host's stand-in for the browser's site (see fake_browser.c). */
#pragma once

#include <windows.h>
#include <objidl.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A site answering IServiceProvider; SID_SWebBrowserApp gives an IWebBrowser2
   whose get_LocationURL returns location (null: a null answer). One reference. */
IUnknown* createFakeBrowserSite(const wchar_t* location);

/* A moniker whose GetDisplayName gives displayName exactly (a browser's own
   moniker may keep text that the system's URL monikers would change). */
IMoniker* createFakeMoniker(const wchar_t* displayName);

#ifdef __cplusplus
}
#endif
