// Small COM objects the framework tests play the container with: an event
// sink, a property bag with an error log, and a client site that supports
// in-place activation into a window of the test.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "com_raii.h"

// OLE for the whole test program, on its main thread.
class COleInitGuard {
public:
    COleInitGuard() : hr_(OleInitialize(nullptr)) {}
    ~COleInitGuard() { if (SUCCEEDED(hr_)) OleUninitialize(); }
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

// A reference-counted base for test objects that live on the heap.
template <class Derived>
class CTestRefCounted {
public:
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() {
        ULONG n = --refs_;
        if (n == 0) delete static_cast<Derived*>(this);
        return n;
    }
    ULONG Refs() const { return refs_; }

private:
    ULONG refs_ = 1;
};

#define TEST_IUNKNOWN_REFS                                                   \
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }          \
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

// Records every event; optional hook runs inside Invoke.
class CTestEventSink final : public IDispatch, public CTestRefCounted<CTestEventSink> {
public:
    struct Call {
        DISPID dispid;
        WORD flags;
        std::vector<CVariant> args;  // in call order
        std::vector<VARIANT> raw;    // the same, every byte as passed (not owned)
    };
    explicit CTestEventSink(const IID& eventsIID, bool answerEventsIID = true)
        : eventsIID_(eventsIID), answerEventsIID_(answerEventsIID) {}
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            (answerEventsIID_ && IsEqualIID(riid, eventsIID_))) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        Call c{dispid, flags, {}, {}};
        for (UINT i = 0; i < p->cArgs; ++i) {
            c.args.push_back(CVariant(p->rgvarg[p->cArgs - 1 - i]));
            c.raw.push_back(p->rgvarg[p->cArgs - 1 - i]);
        }
        calls.push_back(std::move(c));
        if (onInvoke) onInvoke();
        return S_OK;
    }
    std::vector<Call> calls;
    std::function<void()> onInvoke;

private:
    IID eventsIID_;
    bool answerEventsIID_;
};

class CTestErrorLog final : public IErrorLog, public CTestRefCounted<CTestErrorLog> {
public:
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorLog)) {
            *ppv = static_cast<IErrorLog*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP AddError(LPCOLESTR name, EXCEPINFO*) override {
        names.push_back(name);
        return S_OK;
    }
    std::vector<std::wstring> names;
};

// A property bag as a container keeps one: names are compared without case,
// values are kept as written (text for <param> tags).
class CTestPropertyBag final : public IPropertyBag, public CTestRefCounted<CTestPropertyBag> {
public:
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyBag)) {
            *ppv = static_cast<IPropertyBag*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        auto it = values.find(Key(name));
        if (it == values.end()) return E_INVALIDARG;
        if (value->vt == VT_EMPTY) return VariantCopy(value, &it->second);
        return VariantChangeType(value, &it->second, 0, value->vt);
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        // A form's text or a page's <param> knows no unsigned integer types.
        if (refusesUnsigned && (value->vt == VT_UI1 || value->vt == VT_UI2 || value->vt == VT_UI4 ||
                                value->vt == VT_UI8 || value->vt == VT_UINT))
            return DISP_E_BADVARTYPE;
        order.push_back(name);
        values[Key(name)] = CVariant(*value);
        return S_OK;
    }
    void SetText(const wchar_t* name, const wchar_t* text) { values[Key(name)] = CVariant(text); }
    const CVariant* Find(const wchar_t* name) const {
        auto it = values.find(Key(name));
        return it == values.end() ? nullptr : &it->second;
    }
    static std::wstring Key(const wchar_t* name) {
        std::wstring k = name;
        CharLowerBuffW(&k[0], DWORD(k.size()));
        return k;
    }
    std::map<std::wstring, CVariant> values;
    std::vector<std::wstring> order;
    bool refusesUnsigned = false;
};

// A view or object advise sink that counts the notifications.
class CTestAdviseSink final : public IAdviseSinkEx, public CTestRefCounted<CTestAdviseSink> {
public:
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAdviseSink) ||
            IsEqualIID(riid, IID_IAdviseSinkEx)) {
            *ppv = static_cast<IAdviseSinkEx*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {}
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override { ++viewChanges; }
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override { ++saves; }
    STDMETHODIMP_(void) OnClose() override { ++closes; }
    STDMETHODIMP_(void) OnViewStatusChange(DWORD) override {}
    int viewChanges = 0, saves = 0, closes = 0;
};

// A client site with in-place support. The test owns the parent window.
class CTestSite final : public IOleClientSite,
                  public IOleInPlaceSite,
                  public IOleControlSite,
                  public IDispatch,
                  public CTestRefCounted<CTestSite> {
public:
    explicit CTestSite(HWND parent) : parent_(parent) {}
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        void* p = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite))
            p = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(riid, IID_IOleInPlaceSite) || IsEqualIID(riid, IID_IOleWindow))
            p = static_cast<IOleInPlaceSite*>(this);
        else if (IsEqualIID(riid, IID_IOleControlSite))
            p = static_cast<IOleControlSite*>(this);
        else if (IsEqualIID(riid, IID_IDispatch))
            p = static_cast<IDispatch*>(this);
        *ppv = p;
        if (!p) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // IOleClientSite
    STDMETHODIMP SaveObject() override { ++saveObjectCalls; return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override { *m = nullptr; return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override { *c = nullptr; return E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    // IOleWindow / IOleInPlaceSite
    STDMETHODIMP GetWindow(HWND* h) override { *h = parent_; return S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return allowInPlace ? S_OK : S_FALSE; }
    STDMETHODIMP OnInPlaceActivate() override { ++inPlaceActivations; return S_OK; }
    STDMETHODIMP OnUIActivate() override { ++uiActivations; return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** ui, LPRECT pos, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr;
        *ui = nullptr;
        *pos = position;
        *clip = position;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { ++uiDeactivations; return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { ++inPlaceDeactivations; return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
    STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
    STDMETHODIMP GetExtendedControl(IDispatch** d) override { *d = nullptr; return E_NOTIMPL; }
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
    STDMETHODIMP ShowPropertyFrame() override { ++propertyFrameRequests; return showsPropertyFrame ? S_OK : E_NOTIMPL; }
    // IDispatch: ambient properties
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (dispid != DISPID_AMBIENT_USERMODE || !result) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BOOL;
        result->boolVal = userMode ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    RECT position = {10, 20, 110, 70};
    bool allowInPlace = true;
    bool userMode = true;
    bool showsPropertyFrame = true;
    int saveObjectCalls = 0, inPlaceActivations = 0, uiActivations = 0, uiDeactivations = 0,
        inPlaceDeactivations = 0, propertyFrameRequests = 0;

private:
    HWND parent_;
};

// A plain top-level window for the site (hidden; the null display driver runs headless).
class CTestParentWindow {
public:
    CTestParentWindow() {
        hwnd_ = CreateWindowExW(0, L"STATIC", L"fw test parent", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 400,
                                300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~CTestParentWindow() { if (hwnd_) DestroyWindow(hwnd_); }
    HWND Get() const { return hwnd_; }

private:
    HWND hwnd_;
};

// Runs queued messages of this thread.
inline void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
