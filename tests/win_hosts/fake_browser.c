/* Stand-ins for the browser's objects, for the COM test host: a site that
   answers IServiceProvider and, for SID_SWebBrowserApp, an IWebBrowser2 whose
   get_LocationURL gives a chosen page address; and a moniker whose display
   name is a chosen text, unchanged. Written in C so that the large interface
   tables can be filled by name, every other slot failing with E_NOTIMPL.
   Windows side (test tool). */
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

typedef struct FakeMoniker {
    IMoniker moniker;
    LONG references;
    wchar_t* name;
} FakeMoniker;

static HRESULT STDMETHODCALLTYPE monikerQueryInterface(IMoniker* self, REFIID riid, void** object) {
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IMoniker)) {
        *object = self;
        InterlockedIncrement(&((FakeMoniker*)self)->references);
        return S_OK;
    }
    *object = NULL;
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE monikerAddRef(IMoniker* self) {
    return (ULONG)InterlockedIncrement(&((FakeMoniker*)self)->references);
}
static ULONG STDMETHODCALLTYPE monikerRelease(IMoniker* self) {
    FakeMoniker* fake = (FakeMoniker*)self;
    LONG left = InterlockedDecrement(&fake->references);
    if (left == 0) {
        HeapFree(GetProcessHeap(), 0, fake->name);
        HeapFree(GetProcessHeap(), 0, fake);
    }
    return (ULONG)left;
}
static HRESULT STDMETHODCALLTYPE monikerDisplayName(IMoniker* self, IBindCtx* context,
                                                    IMoniker* left, LPOLESTR* name) {
    FakeMoniker* fake = (FakeMoniker*)self;
    size_t size = (lstrlenW(fake->name) + 1) * sizeof(wchar_t);
    (void)context;
    (void)left;
    *name = (LPOLESTR)CoTaskMemAlloc(size);
    if (*name == NULL) return E_OUTOFMEMORY;
    memcpy(*name, fake->name, size);
    return S_OK;
}

static IMonikerVtbl monikerTable;

IMoniker* createFakeMoniker(const wchar_t* displayName) {
    static int filled = 0;
    FakeMoniker* fake;
    size_t size = (lstrlenW(displayName) + 1) * sizeof(wchar_t);
    if (!filled) {
        void** slot = (void**)&monikerTable;
        size_t i;
        for (i = 0; i < sizeof monikerTable / sizeof(void*); ++i) slot[i] = (void*)notImplemented;
        monikerTable.QueryInterface = monikerQueryInterface;
        monikerTable.AddRef = monikerAddRef;
        monikerTable.Release = monikerRelease;
        monikerTable.GetDisplayName = monikerDisplayName;
        filled = 1;
    }
    fake = (FakeMoniker*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *fake);
    if (fake == NULL) return NULL;
    fake->name = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, size);
    if (fake->name == NULL) {
        HeapFree(GetProcessHeap(), 0, fake);
        return NULL;
    }
    memcpy(fake->name, displayName, size);
    fake->moniker.lpVtbl = &monikerTable;
    fake->references = 1;
    return &fake->moniker;
}
