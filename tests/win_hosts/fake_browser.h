/* The COM test host's stand-in for the browser's site (see fake_browser.c). */
#pragma once

#include <windows.h>
#include <unknwn.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A site answering IServiceProvider; SID_SWebBrowserApp gives an IWebBrowser2
   whose get_LocationURL returns location (null: a null answer). One reference. */
IUnknown* createFakeBrowserSite(const wchar_t* location);

#ifdef __cplusplus
}
#endif
