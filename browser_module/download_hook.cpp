// DownloadHookFactory and DownloadHook: COM plumbing and the browser site.
// The take-over of downloads is in handoff.cpp. Windows side.
#include "browser_module/download_hook.h"

#include <new>
#include <shlguid.h>

#include "browser_module/dorimel_ids.h"
#include "browser_module/module_state.h"

DownloadHookFactory::DownloadHookFactory(REFCLSID clsid) : clsid_(clsid) { addLiveObject(); }

DownloadHookFactory::~DownloadHookFactory() { removeLiveObject(); }

STDMETHODIMP DownloadHookFactory::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DownloadHookFactory::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) DownloadHookFactory::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP DownloadHookFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!IsEqualCLSID(clsid_, CLSID_DorimelDownloadHook)) return E_FAIL;
    DownloadHook* hook = new (std::nothrow) DownloadHook();
    if (hook == nullptr) return E_OUTOFMEMORY;
    HRESULT result = hook->QueryInterface(riid, object);
    hook->Release();
    return result;
}

STDMETHODIMP DownloadHookFactory::LockServer(BOOL) { return E_NOTIMPL; }

DownloadHook::DownloadHook() {
    addLiveObject();
    g_module.siteMap.insert(GetCurrentThreadId(), this);
}

DownloadHook::~DownloadHook() {
    // Leave the map first: from here on no lookup may hand this object out.
    g_module.siteMap.remove(this);
    if (browser_ != nullptr) browser_->Release();
    removeLiveObject();
}

STDMETHODIMP DownloadHook::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IObjectWithSite)) {
        *object = static_cast<IObjectWithSite*>(this);
    } else if (IsEqualIID(riid, __uuidof(IDownloadManager))) {
        *object = static_cast<IDownloadManager*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) DownloadHook::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) DownloadHook::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP DownloadHook::SetSite(IUnknown* site) {
    g_module.siteMap.insert(GetCurrentThreadId(), this);
    // A null site (the window closing) keeps the browser until the object goes.
    if (site == nullptr) return S_OK;
    IServiceProvider* provider = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider,
                                       reinterpret_cast<void**>(&provider))) &&
        provider != nullptr) {
        IWebBrowser2* found = nullptr;
        if (SUCCEEDED(provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2,
                                             reinterpret_cast<void**>(&found))) &&
            found != nullptr) {
            // A second site replaces the first browser; the old one is released
            // so that it does not leak.
            if (browser_ != nullptr) browser_->Release();
            browser_ = found;
        }
        provider->Release();
    }
    return browser_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP DownloadHook::GetSite(REFIID, void** site) {
    if (site != nullptr) *site = nullptr;
    return E_FAIL;
}

STDMETHODIMP DownloadHook::Download(IMoniker* moniker, IBindCtx* bindContext, DWORD, LONG,
                                    BINDINFO*, LPCOLESTR, LPCOLESTR, UINT) {
    try {
        return takeOver(moniker, bindContext);
    } catch (...) {
        // Out of memory while building texts: let the browser download it.
        return E_OUTOFMEMORY;
    }
}
