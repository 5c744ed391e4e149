/* A stand-in for the browser's site, for the COM test host: an object that
   answers IServiceProvider and, for SID_SWebBrowserApp, an IWebBrowser2 whose
   get_LocationURL gives a chosen page address. Written in C so that the large
   IWebBrowser2 table can be filled by name, every other slot failing with
   E_NOTIMPL. Windows side (test tool). */
#define CINTERFACE
#define COBJMACROS
#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>
#include <stddef.h>

#include "fake_browser.h"

typedef struct FakeBrowser {
    IWebBrowser2 browser;
    IServiceProvider provider;
    LONG references;
    BSTR location;
} FakeBrowser;

static HRESULT STDMETHODCALLTYPE notImplemented(void) { return E_NOTIMPL; }

static FakeBrowser* fromBrowser(IWebBrowser2* self) { return (FakeBrowser*)self; }
static FakeBrowser* fromProvider(IServiceProvider* self) {
    return (FakeBrowser*)((char*)self - offsetof(FakeBrowser, provider));
}

static ULONG addRef(FakeBrowser* fake) { return (ULONG)InterlockedIncrement(&fake->references); }
static ULONG release(FakeBrowser* fake) {
    LONG left = InterlockedDecrement(&fake->references);
    if (left == 0) {
        SysFreeString(fake->location);
        HeapFree(GetProcessHeap(), 0, fake);
    }
    return (ULONG)left;
}

static HRESULT queryInterface(FakeBrowser* fake, REFIID riid, void** object) {
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IServiceProvider)) {
        *object = &fake->provider;
    } else if (IsEqualIID(riid, &IID_IWebBrowser2) || IsEqualIID(riid, &IID_IWebBrowserApp) ||
               IsEqualIID(riid, &IID_IWebBrowser) || IsEqualIID(riid, &IID_IDispatch)) {
        *object = &fake->browser;
    } else {
        *object = NULL;
        return E_NOINTERFACE;
    }
    addRef(fake);
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE browserQueryInterface(IWebBrowser2* self, REFIID riid, void** object) {
    return queryInterface(fromBrowser(self), riid, object);
}
static ULONG STDMETHODCALLTYPE browserAddRef(IWebBrowser2* self) { return addRef(fromBrowser(self)); }
static ULONG STDMETHODCALLTYPE browserRelease(IWebBrowser2* self) { return release(fromBrowser(self)); }
static HRESULT STDMETHODCALLTYPE browserLocationUrl(IWebBrowser2* self, BSTR* url) {
    FakeBrowser* fake = fromBrowser(self);
    *url = fake->location != NULL ? SysAllocString(fake->location) : NULL;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE providerQueryInterface(IServiceProvider* self, REFIID riid, void** object) {
    return queryInterface(fromProvider(self), riid, object);
}
static ULONG STDMETHODCALLTYPE providerAddRef(IServiceProvider* self) { return addRef(fromProvider(self)); }
static ULONG STDMETHODCALLTYPE providerRelease(IServiceProvider* self) { return release(fromProvider(self)); }
static HRESULT STDMETHODCALLTYPE providerQueryService(IServiceProvider* self, REFGUID service,
                                                      REFIID riid, void** object) {
    if (!IsEqualGUID(service, &SID_SWebBrowserApp)) {
        *object = NULL;
        return E_NOINTERFACE;
    }
    return queryInterface(fromProvider(self), riid, object);
}

static IWebBrowser2Vtbl browserTable;
static IServiceProviderVtbl providerTable = {providerQueryInterface, providerAddRef,
                                             providerRelease, providerQueryService};

IUnknown* createFakeBrowserSite(const wchar_t* location) {
    static int filled = 0;
    FakeBrowser* fake;
    if (!filled) {
        void** slot = (void**)&browserTable;
        size_t i;
        for (i = 0; i < sizeof browserTable / sizeof(void*); ++i) slot[i] = (void*)notImplemented;
        browserTable.QueryInterface = browserQueryInterface;
        browserTable.AddRef = browserAddRef;
        browserTable.Release = browserRelease;
        browserTable.get_LocationURL = browserLocationUrl;
        filled = 1;
    }
    fake = (FakeBrowser*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *fake);
    if (fake == NULL) return NULL;
    fake->browser.lpVtbl = &browserTable;
    fake->provider.lpVtbl = &providerTable;
    fake->references = 1;
    fake->location = location != NULL ? SysAllocString(location) : NULL;
    return (IUnknown*)&fake->provider;
}
