// The browser module's COM class: DownloadHookFactory (its class object) and
// DownloadHook, which the browser loads as Browser Helper Object (IObjectWithSite)
// and as its download manager (IDownloadManager). Windows side.
#pragma once

#include <windows.h>
#include <downloadmgr.h>
#include <exdisp.h>
#include <ocidl.h>

class DownloadHookFactory final : public IClassFactory {
public:
    explicit DownloadHookFactory(REFCLSID clsid);

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~DownloadHookFactory();
    ULONG references_ = 1;  // plain: the factory lives in one apartment
    CLSID clsid_;
};

// Primary face IObjectWithSite, second face IDownloadManager; the second face's
// IUnknown methods reach the same object through the compiler's adjustor thunks.
class DownloadHook final : public IObjectWithSite, public IDownloadManager {
public:
    DownloadHook();

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

    STDMETHODIMP Download(IMoniker* moniker, IBindCtx* bindContext, DWORD bindVerb,
                          LONG bindFlags, BINDINFO* bindInfo, LPCOLESTR headers,
                          LPCOLESTR redirect, UINT codePage) override;

    // The browser of this object's window, or null (no reference added).
    IWebBrowser2* browser() const { return browser_; }

private:
    ~DownloadHook();
    HRESULT takeOver(IMoniker* moniker, IBindCtx* bindContext);

    ULONG references_ = 1;  // plain: the object lives in one apartment
    IWebBrowser2* browser_ = nullptr;
};
