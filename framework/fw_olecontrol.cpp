#include "fw_olecontrol.h"

#include <cstddef>
#include <new>
#include <vector>

#include "fw_enum.h"
#include "prop_blob.h"

// Every interface method makes the control's module current first, so that
// resources, dialogs and windows are looked up in the module that owns it.
#define FW_ENTRY() CModuleStateGuard moduleGuard_(objectCounter_.State())

namespace {

// The storage form keeps the stream form in this stream of the object's storage.
const wchar_t kContentsStream[] = L"Contents";

constexpr int kHimetricPerInch = 2540;

int ScreenDpi(int axis) {
    HDC dc = GetDC(nullptr);
    int dpi = dc ? GetDeviceCaps(dc, axis) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : 96;
}

bool IsMetafileDC(HDC dc) {
    DWORD type = GetObjectType(dc);
    return type == OBJ_METADC || type == OBJ_ENHMETADC;
}

// Reads exactly size bytes; a stream that ends early gives STG_E_READFAULT.
HRESULT ReadExactly(IStream* stream, void* buffer, ULONG size) {
    auto* p = static_cast<BYTE*>(buffer);
    while (size > 0) {
        ULONG got = 0;
        HRESULT hr = stream->Read(p, size, &got);
        if (FAILED(hr)) return hr;
        if (got == 0) return STG_E_READFAULT;
        p += got;
        size -= got;
    }
    return S_OK;
}

HRESULT WriteExactly(IStream* stream, const void* buffer, ULONG size) {
    ULONG written = 0;
    HRESULT hr = stream->Write(buffer, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_MEDIUMFULL;
}

// Enumerates a static verb table; each name handed out is the caller's, as the
// enumerator contract says (freed with CoTaskMemFree).
class CVerbEnum final : public CEnumBase<IEnumOLEVERB> {
public:
    CVerbEnum(CModuleState& module, const OLEVERB* verbs, ULONG count)
        : CEnumBase(module, IID_IEnumOLEVERB), verbs_(verbs), count_(count) {}
    STDMETHODIMP Next(ULONG wanted, OLEVERB* out, ULONG* fetched) override {
        if (!out || (wanted > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < wanted && position_ < count_; ++n, ++position_) {
            out[n] = verbs_[position_];
            const size_t length = wcslen(verbs_[position_].lpszVerbName);
            out[n].lpszVerbName = CCoTaskString::Duplicate(verbs_[position_].lpszVerbName, length);
            if (!out[n].lpszVerbName) {
                for (ULONG i = 0; i < n; ++i) CoTaskMemFree(out[i].lpszVerbName);
                position_ -= n;
                if (fetched) *fetched = 0;
                return E_OUTOFMEMORY;
            }
        }
        if (fetched) *fetched = n;
        return n == wanted ? S_OK : S_FALSE;
    }
    STDMETHODIMP Clone(IEnumOLEVERB** copy) override {
        if (!copy) return E_POINTER;
        auto* clone = new (std::nothrow) CVerbEnum(Module(), verbs_, count_);
        if (clone) clone->position_ = position_;
        *copy = clone;
        return clone ? S_OK : E_OUTOFMEMORY;
    }

private:
    size_t ItemCount() const override { return count_; }
    const OLEVERB* verbs_;
    ULONG count_;
};

}  // namespace

COleControl::COleControl() : connectionPoint_(*ControlUnknown(), *this) {
    SIZE pixels = {100, 50};
    extent_ = PixelsToHimetric(pixels);
}

COleControl::~COleControl() {
    FW_ENTRY();
    DestroyWindowFw();
    connectionPoint_.DisconnectAll();
}

SIZEL COleControl::PixelsToHimetric(SIZE pixels) {
    return SIZEL{MulDiv(pixels.cx, kHimetricPerInch, ScreenDpi(LOGPIXELSX)),
                 MulDiv(pixels.cy, kHimetricPerInch, ScreenDpi(LOGPIXELSY))};
}

SIZE COleControl::HimetricToPixels(SIZEL himetric) {
    return SIZE{MulDiv(himetric.cx, ScreenDpi(LOGPIXELSX), kHimetricPerInch),
                MulDiv(himetric.cy, ScreenDpi(LOGPIXELSY), kHimetricPerInch)};
}

// ---- Hooks: defaults -------------------------------------------------------

const DispatchEntry* COleControl::GetDispatchMap() const {
    static const DispatchEntry empty[] = {DispEnd()};
    return empty;
}

HRESULT COleControl::GetTypeLib(LCID, ITypeLib** typeLib) {
    if (typeLib) *typeLib = nullptr;
    return TYPE_E_LIBNOTREGISTERED;
}

void COleControl::DoPropExchange(CPropExchange* px) {
    long cx = extent_.cx, cy = extent_.cy;
    // A reset keeps the extent: a container may have set it (or the control
    // fixed it in OnSetClientSite) before InitNew.
    if (!px->IsResetting()) {
        PX_Long(px, L"_ExtentX", cx, extent_.cx);
        PX_Long(px, L"_ExtentY", cy, extent_.cy);
        if (px->IsLoading() && cx > 0 && cy > 0) extent_ = SIZEL{cx, cy};
    }
    long stockProps = 0;  // this framework keeps no stock properties
    PX_Long(px, L"_StockProps", stockProps, 0);
}

void COleControl::OnResetState() {
    CResetPropExchange px;
    DoPropExchange(&px);
}

void COleControl::OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) {
    (void)invalid;
    FillRect(dc, &bounds, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    FrameRect(dc, &bounds, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

void COleControl::OnDrawMetafile(HDC dc, const RECT& bounds) { OnDraw(dc, bounds, bounds); }

BOOL COleControl::OnSetExtent(const SIZEL* size) {
    if (!size || size->cx <= 0 || size->cy <= 0) return FALSE;
    if (size->cx != extent_.cx || size->cy != extent_.cy) {
        extent_ = *size;
        SetModifiedFlag();
    }
    return TRUE;
}

DWORD COleControl::GetMiscStatus() {
    return OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE |
           OLEMISC_SETCLIENTSITEFIRST;
}

const CLSID* COleControl::GetPropPageIDs(ULONG& count) {
    count = 0;
    return nullptr;
}

HRESULT COleControl::OnProperties(LPMSG, HWND parent, LPCRECT) {
    CComRef<IOleControlSite> controlSite;
    if (clientSite_ && SUCCEEDED(clientSite_.QueryTo(IID_IOleControlSite, controlSite)) &&
        controlSite->ShowPropertyFrame() == S_OK)
        return S_OK;

    ULONG count = 0;
    const CLSID* pages = GetPropPageIDs(count);
    if (count == 0 || !pages) return S_OK;
    if (!parent) parent = Hwnd();
    std::wstring caption = LoadModuleString(GetUserTypeNameID());
    IUnknown* self = ControlUnknown();
    return OleCreatePropertyFrame(parent, 0, 0, caption.c_str(), 1, &self, count, const_cast<CLSID*>(pages),
                                  GetUserDefaultLCID(), 0, nullptr);
}

LRESULT COleControl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(Hwnd(), &ps);
        if (dc) {
            RECT client;
            GetClientRect(Hwnd(), &client);
            OnDraw(dc, client, ps.rcPaint);
            EndPaint(Hwnd(), &ps);
        }
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;  // OnDraw paints the whole client area
    default:
        return CWnd::WindowProc(msg, wParam, lParam);
    }
}

// ---- Services --------------------------------------------------------------

void COleControl::InitializeIIDs(const IID* dispatchIID, const IID* eventsIID) {
    dispatchIID_ = dispatchIID;
    eventsIID_ = eventsIID;
    connectionPoint_.SetEventsIID(eventsIID);
}

UINT COleControl::FireEvent(DISPID dispid, const VARIANT* args, UINT count) {
    if (count && !args) return 0;
    // Fired also while the container froze events: a control that must not lose one
    // holds it itself (OnFreezeEvents) rather than have the framework drop it.
    CComRef<IUnknown> keepAlive(ControlUnknown());
    return connectionPoint_.Fire(dispid, args, count);
}

void COleControl::InvalidateControl() {
    if (Hwnd()) InvalidateRect(Hwnd(), nullptr, FALSE);
    SendViewChange();
}

void COleControl::SendViewChange() {
    if (!viewSink_ || !(viewAspects_ & DVASPECT_CONTENT)) return;
    CComRef<IAdviseSink> sink = viewSink_;
    if (viewAdviseFlags_ & ADVF_ONLYONCE) viewSink_.Reset();
    sink->OnViewChange(DVASPECT_CONTENT, -1);
}

bool COleControl::GetAmbientProperty(DISPID dispid, CVariant& value) const {
    value.Clear();
    CComRef<IDispatch> ambient;
    if (!clientSite_ || FAILED(clientSite_.QueryTo(IID_IDispatch, ambient))) return false;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return SUCCEEDED(ambient->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value,
                                     nullptr, nullptr));
}

bool COleControl::AmbientUserMode() const {
    CVariant v;
    if (!GetAmbientProperty(DISPID_AMBIENT_USERMODE, v) || FAILED(v.ChangeType(VT_BOOL))) return true;
    return v.boolVal != VARIANT_FALSE;
}

// ---- IUnknown --------------------------------------------------------------

// Aggregated, every interface's IUnknown is the outer object's; the inner unknown answers
// for the control itself.
STDMETHODIMP COleControl::QueryInterface(REFIID riid, void** ppv) {
    if (outer_) return outer_->QueryInterface(riid, ppv);
    return InnerQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) COleControl::AddRef() { return outer_ ? outer_->AddRef() : InnerAddRef(); }

STDMETHODIMP_(ULONG) COleControl::Release() { return outer_ ? outer_->Release() : InnerRelease(); }

HRESULT COleControl::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    void* p = nullptr;
    if (IsEqualIID(riid, IID_IUnknown))
        p = outer_ ? static_cast<IUnknown*>(&inner_) : ControlUnknown();
    else if (IsEqualIID(riid, IID_IDispatch) || (dispatchIID_ && IsEqualIID(riid, *dispatchIID_)))
        p = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IOleObject))
        p = static_cast<IOleObject*>(this);
    else if (IsEqualIID(riid, IID_IOleWindow))
        p = static_cast<IOleWindow*>(static_cast<IOleInPlaceObject*>(this));
    else if (IsEqualIID(riid, IID_IOleInPlaceObject))
        p = static_cast<IOleInPlaceObject*>(this);
    else if (IsEqualIID(riid, IID_IOleInPlaceActiveObject))
        p = static_cast<IOleInPlaceActiveObject*>(this);
    else if (IsEqualIID(riid, IID_IOleControl))
        p = static_cast<IOleControl*>(this);
    else if (IsEqualIID(riid, IID_IViewObject) || IsEqualIID(riid, IID_IViewObject2))
        p = static_cast<IViewObject2*>(this);
    // IPersistStream's methods are the first five of IPersistStreamInit.
    else if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit) ||
             IsEqualIID(riid, IID_IPersistStream))
        p = static_cast<IPersistStreamInit*>(this);
    else if (IsEqualIID(riid, IID_IPersistStorage))
        p = static_cast<IPersistStorage*>(this);
    else if (IsEqualIID(riid, IID_IPersistPropertyBag))
        p = static_cast<IPersistPropertyBag*>(this);
    else if (IsEqualIID(riid, IID_IConnectionPointContainer))
        p = static_cast<IConnectionPointContainer*>(this);
    else if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2))
        p = static_cast<IProvideClassInfo2*>(this);
    else if (IsEqualIID(riid, IID_ISpecifyPropertyPages))
        p = static_cast<ISpecifyPropertyPages*>(this);
    else if (IsEqualIID(riid, IID_IQuickActivate))
        p = static_cast<IQuickActivate*>(this);
    else if (IsEqualIID(riid, IID_IObjectSafety))
        p = static_cast<IObjectSafety*>(this);
    else
        p = GetExtraInterface(riid);
    *ppv = p;
    if (!p) return E_NOINTERFACE;
    static_cast<IUnknown*>(p)->AddRef();
    return S_OK;
}

ULONG COleControl::InnerAddRef() { return ULONG(InterlockedIncrement(&refs_)); }

ULONG COleControl::InnerRelease() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) {
        // Guards against a destructor that AddRefs and Releases itself; the outer object
        // is going or gone, so those calls stay here.
        refs_ = 1;
        outer_ = nullptr;
        delete this;
    }
    return ULONG(n);
}

// ---- IDispatch ---------------------------------------------------------------

STDMETHODIMP COleControl::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP COleControl::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    FW_ENTRY();
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    if (!dispatchIID_) return E_UNEXPECTED;
    CComRef<ITypeLib> lib;
    HRESULT hr = GetTypeLib(lcid, lib.Put());
    if (FAILED(hr)) return hr;
    if (!lib) return TYPE_E_LIBNOTREGISTERED;
    return lib->GetTypeInfoOfGuid(*dispatchIID_, info);
}

STDMETHODIMP COleControl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    FW_ENTRY();
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return GetIDsFromDispatchMap(GetDispatchMap(), names, count, ids);
}

STDMETHODIMP COleControl::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
    FW_ENTRY();
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // A handler may release the last outside reference (e.g. by closing a form).
    CComRef<IUnknown> keepAlive(ControlUnknown());
    return InvokeDispatchMap(GetDispatchMap(), this, dispid, lcid, flags, params, result, excepInfo, argErr);
}

// ---- IOleObject --------------------------------------------------------------

STDMETHODIMP COleControl::SetClientSite(IOleClientSite* site) {
    FW_ENTRY();
    if (!site && inPlaceActive_) InPlaceDeactivate();
    clientSite_ = CComRef<IOleClientSite>(site);
    try {
        OnSetClientSite();
    } catch (...) {
        return E_UNEXPECTED;
    }
    return S_OK;
}

STDMETHODIMP COleControl::GetClientSite(IOleClientSite** site) { return clientSite_.CopyTo(site); }

STDMETHODIMP COleControl::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP COleControl::Close(DWORD saveOption) {
    FW_ENTRY();
    CComRef<IUnknown> keepAlive(ControlUnknown());
    if (modified_ && clientSite_ && (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE))
        clientSite_->SaveObject();
    InPlaceDeactivate();
    if (adviseHolder_) adviseHolder_->SendOnClose();
    return S_OK;
}

STDMETHODIMP COleControl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP COleControl::GetMoniker(DWORD, DWORD, IMoniker** mk) {
    if (mk) *mk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP COleControl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP COleControl::GetClipboardData(DWORD, IDataObject** data) {
    if (data) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP COleControl::DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG, HWND parent,
                                 LPCRECT posRect) {
    FW_ENTRY();
    CComRef<IUnknown> keepAlive(ControlUnknown());
    try {
        switch (verb) {
        case OLEIVERB_PROPERTIES:
            return OnProperties(msg, parent, posRect);
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_SHOW:
            return ActivateInPlace(false, activeSite, parent, posRect);
        case OLEIVERB_PRIMARY:
        case OLEIVERB_UIACTIVATE:
            return ActivateInPlace(true, activeSite, parent, posRect);
        case OLEIVERB_HIDE:
            UIDeactivate();
            if (Hwnd()) ShowWindow(Hwnd(), SW_HIDE);
            return S_OK;
        case OLEIVERB_DISCARDUNDOSTATE:
            return S_OK;
        default:
            if (verb < 0) return E_NOTIMPL;
            // An unknown positive verb runs the primary verb, as the contract asks.
            HRESULT hr = ActivateInPlace(true, activeSite, parent, posRect);
            return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
        }
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT COleControl::ActivateInPlace(bool uiActivate, IOleClientSite* activeSite, HWND, LPCRECT posRect) {
    if (!inPlaceActive_) {
        IOleClientSite* site = clientSite_ ? clientSite_.Get() : activeSite;
        if (!site) return E_UNEXPECTED;
        CComRef<IOleInPlaceSite> ipSite;
        HRESULT hr = site->QueryInterface(IID_IOleInPlaceSite, ipSite.PutVoid());
        if (FAILED(hr)) return hr;
        if (ipSite->CanInPlaceActivate() != S_OK) return E_FAIL;
        ipSite->OnInPlaceActivate();

        HWND parentWindow = nullptr;
        RECT pos = {0, 0, 0, 0}, clip = {0, 0, 0, 0};
        OLEINPLACEFRAMEINFO frameInfo = {};
        frameInfo.cb = sizeof frameInfo;
        CComRef<IOleInPlaceFrame> frame;
        CComRef<IOleInPlaceUIWindow> uiWindow;
        if (FAILED(ipSite->GetWindow(&parentWindow)) ||
            FAILED(ipSite->GetWindowContext(frame.Put(), uiWindow.Put(), &pos, &clip, &frameInfo))) {
            ipSite->OnInPlaceDeactivate();
            return E_FAIL;
        }
        if (posRect) pos = *posRect;
        if (!Hwnd() && !CreateWindowFw(0, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, pos, parentWindow)) {
            ipSite->OnInPlaceDeactivate();
            return E_FAIL;
        }
        inPlaceSite_ = ipSite;
        inPlaceFrame_ = frame;
        inPlaceUIWindow_ = uiWindow;
        inPlaceActive_ = true;
        ShowWindow(Hwnd(), SW_SHOWNA);
    } else if (Hwnd()) {
        if (posRect) SetObjectRects(posRect, posRect);
        if (!IsWindowVisible(Hwnd())) ShowWindow(Hwnd(), SW_SHOWNA);  // after OLEIVERB_HIDE
    }

    if (uiActivate && !uiActive_) {
        uiActive_ = true;
        inPlaceSite_->OnUIActivate();
        if (Hwnd() && GetFocus() != Hwnd()) SetFocus(Hwnd());
        IOleInPlaceActiveObject* active = this;
        if (inPlaceFrame_) {
            inPlaceFrame_->SetActiveObject(active, nullptr);
            inPlaceFrame_->SetBorderSpace(nullptr);
        }
        if (inPlaceUIWindow_) {
            inPlaceUIWindow_->SetActiveObject(active, nullptr);
            inPlaceUIWindow_->SetBorderSpace(nullptr);
        }
    }
    return S_OK;
}

const OLEVERB* COleControl::GetVerbs(ULONG& count) {
    static const OLEVERB verbs[] = {
        {OLEIVERB_PRIMARY, const_cast<LPOLESTR>(L"&Edit"), MF_STRING | MF_ENABLED, OLEVERBATTRIB_ONCONTAINERMENU},
        {OLEIVERB_PROPERTIES, const_cast<LPOLESTR>(L"&Properties..."), MF_STRING | MF_ENABLED,
         OLEVERBATTRIB_ONCONTAINERMENU}};
    count = ULONG(sizeof verbs / sizeof verbs[0]);
    return verbs;
}

// The control's own verbs: the registry holds none for a control class.
STDMETHODIMP COleControl::EnumVerbs(IEnumOLEVERB** verbs) {
    FW_ENTRY();
    if (!verbs) return E_POINTER;
    *verbs = nullptr;
    ULONG count = 0;
    const OLEVERB* table = GetVerbs(count);
    if (!table || count == 0) return OLEOBJ_E_NOVERBS;
    *verbs = new (std::nothrow) CVerbEnum(Module(), table, count);
    return *verbs ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COleControl::Update() { return S_OK; }

STDMETHODIMP COleControl::IsUpToDate() { return S_OK; }

STDMETHODIMP COleControl::GetUserClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = GetClassID();
    return S_OK;
}

STDMETHODIMP COleControl::GetUserType(DWORD form, LPOLESTR* userType) {
    FW_ENTRY();
    if (!userType) return E_POINTER;
    *userType = nullptr;
    std::wstring name = GetUserTypeNameID() ? LoadModuleString(GetUserTypeNameID()) : std::wstring();
    if (name.empty()) return OleRegGetUserType(GetClassID(), form, userType);
    *userType = CCoTaskString::Duplicate(name.data(), name.size());
    return *userType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COleControl::SetExtent(DWORD aspect, SIZEL* size) {
    FW_ENTRY();
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_INVALIDARG;
    try {
        if (!OnSetExtent(size)) return E_FAIL;
    } catch (...) {
        return E_UNEXPECTED;
    }
    SendViewChange();
    return S_OK;
}

STDMETHODIMP COleControl::GetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extent_;
    return S_OK;
}

STDMETHODIMP COleControl::Advise(IAdviseSink* sink, DWORD* connection) {
    if (!connection) return E_POINTER;
    *connection = 0;
    if (!adviseHolder_) {
        HRESULT hr = CreateOleAdviseHolder(adviseHolder_.Put());
        if (FAILED(hr)) return hr;
    }
    return adviseHolder_->Advise(sink, connection);
}

STDMETHODIMP COleControl::Unadvise(DWORD connection) {
    if (!adviseHolder_) return OLE_E_NOCONNECTION;
    return adviseHolder_->Unadvise(connection);
}

STDMETHODIMP COleControl::EnumAdvise(IEnumSTATDATA** advise) {
    if (!advise) return E_POINTER;
    *advise = nullptr;
    if (!adviseHolder_) return S_OK;
    return adviseHolder_->EnumAdvise(advise);
}

STDMETHODIMP COleControl::GetMiscStatus(DWORD, DWORD* status) {
    FW_ENTRY();
    if (!status) return E_POINTER;
    *status = GetMiscStatus();
    return S_OK;
}

STDMETHODIMP COleControl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- IOleWindow / IOleInPlaceObject / IOleInPlaceActiveObject ----------------

STDMETHODIMP COleControl::GetWindow(HWND* hwnd) {
    if (!hwnd) return E_POINTER;
    *hwnd = Hwnd();
    return *hwnd ? S_OK : E_FAIL;
}

STDMETHODIMP COleControl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP COleControl::InPlaceDeactivate() {
    FW_ENTRY();
    if (!inPlaceActive_) return S_OK;
    CComRef<IUnknown> keepAlive(ControlUnknown());
    UIDeactivate();
    inPlaceActive_ = false;
    DestroyWindowFw();
    CComRef<IOleInPlaceSite> site = std::move(inPlaceSite_);
    inPlaceFrame_.Reset();
    inPlaceUIWindow_.Reset();
    if (site) site->OnInPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP COleControl::UIDeactivate() {
    FW_ENTRY();
    if (!uiActive_) return S_OK;
    uiActive_ = false;
    if (inPlaceFrame_) inPlaceFrame_->SetActiveObject(nullptr, nullptr);
    if (inPlaceUIWindow_) inPlaceUIWindow_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP COleControl::SetObjectRects(LPCRECT posRect, LPCRECT) {
    FW_ENTRY();
    if (!posRect) return E_POINTER;
    if (Hwnd())
        SetWindowPos(Hwnd(), nullptr, posRect->left, posRect->top, posRect->right - posRect->left,
                     posRect->bottom - posRect->top, SWP_NOZORDER | SWP_NOACTIVATE);
    return S_OK;
}

STDMETHODIMP COleControl::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

STDMETHODIMP COleControl::TranslateAccelerator(LPMSG) { return S_FALSE; }

STDMETHODIMP COleControl::OnFrameWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP COleControl::OnDocWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP COleControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }

STDMETHODIMP COleControl::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl -------------------------------------------------------------

STDMETHODIMP COleControl::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    if (info->cb < sizeof(CONTROLINFO)) return E_INVALIDARG;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP COleControl::OnMnemonic(MSG*) { return S_OK; }

STDMETHODIMP COleControl::OnAmbientPropertyChange(DISPID dispid) {
    FW_ENTRY();
    try {
        OnAmbientChanged(dispid);
    } catch (...) {
        return E_UNEXPECTED;
    }
    return S_OK;
}

// Freezes nest; the derived control hears only of the first freeze and the last thaw.
STDMETHODIMP COleControl::FreezeEvents(BOOL freeze) {
    FW_ENTRY();
    if (freeze) {
        if (++eventsFrozen_ > 1) return S_OK;
    } else {
        if (eventsFrozen_ == 0 || --eventsFrozen_ > 0) return S_OK;
    }
    CComRef<IUnknown> keepAlive(ControlUnknown());
    try {
        OnFreezeEvents(freeze != FALSE);
    } catch (...) {
        return E_UNEXPECTED;
    }
    return S_OK;
}

// ---- IViewObject2 --------------------------------------------------------------

STDMETHODIMP COleControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                               BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
    FW_ENTRY();
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!dc || !bounds) return E_INVALIDARG;
    RECT rc = {bounds->left, bounds->top, bounds->right, bounds->bottom};
    try {
        if (IsMetafileDC(dc)) {
            OnDrawMetafile(dc, rc);
            return S_OK;
        }
        RECT clip, invalid = rc;
        if (GetClipBox(dc, &clip) > NULLREGION && !IntersectRect(&invalid, &rc, &clip)) return S_OK;
        OnDraw(dc, rc, invalid);
    } catch (...) {
        return E_UNEXPECTED;
    }
    return S_OK;
}

STDMETHODIMP COleControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (!colors) return E_POINTER;
    *colors = nullptr;
    return S_FALSE;
}

STDMETHODIMP COleControl::Freeze(DWORD aspect, LONG, void*, DWORD* freeze) {
    if (!freeze) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *freeze = nextFreezeCookie_++;
    return S_OK;
}

STDMETHODIMP COleControl::Unfreeze(DWORD) { return S_OK; }

STDMETHODIMP COleControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    viewSink_ = CComRef<IAdviseSink>(sink);
    viewAspects_ = aspects;
    viewAdviseFlags_ = flags;
    if (sink && (flags & ADVF_PRIMEFIRST)) SendViewChange();
    return S_OK;
}

STDMETHODIMP COleControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects) *aspects = viewAspects_;
    if (flags) *flags = viewAdviseFlags_;
    if (sink) viewSink_.CopyTo(sink);
    return S_OK;
}

STDMETHODIMP COleControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

// ---- Persistence -----------------------------------------------------------------

STDMETHODIMP COleControl::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = GetClassID();
    return S_OK;
}

STDMETHODIMP COleControl::IsDirty() { return modified_ ? S_OK : S_FALSE; }

HRESULT COleControl::LoadFromStream(IStream* stream) {
    if (!stream) return E_POINTER;
    uint8_t header[fwpersist::kHeaderSize];
    HRESULT hr = ReadExactly(stream, header, sizeof header);
    if (FAILED(hr)) return hr;
    uint32_t payloadLength = 0;
    uint16_t entryCount = 0;
    fwpersist::ParseStatus status = fwpersist::CPropertyBlob::ParseHeader(header, sizeof header, payloadLength,
                                                                          entryCount);
    if (status != fwpersist::ParseStatus::Ok) return PropBlobStatusToHResult(status);
    std::vector<uint8_t> payload(payloadLength);
    hr = ReadExactly(stream, payload.data(), payloadLength);
    if (FAILED(hr)) return hr;
    fwpersist::CPropertyBlob blob;
    status = blob.ParsePayload(payload.data(), payload.size(), entryCount);
    if (status != fwpersist::ParseStatus::Ok) return PropBlobStatusToHResult(status);

    CBlobPropExchange px(CPropExchange::Mode::Validate, blob);
    hr = LoadProperties(px);
    if (FAILED(hr)) return hr;
    modified_ = false;
    InvalidateControl();
    return S_OK;
}

// Two runs of DoPropExchange: the first (reader validating) reads and checks every property
// and changes nothing; only when all of them were usable does the second store them and let
// the control act on them. A load that fails leaves the control as it was, and a host that
// falls back to InitNew finds nothing done on the strength of half-loaded data.
HRESULT COleControl::LoadProperties(CPropExchange& reader) {
    DoPropExchange(&reader);
    if (FAILED(reader.Result())) return reader.Result();
    CValidatedPropExchange apply(reader.Validated());
    DoPropExchange(&apply);
    return apply.Result();
}

HRESULT COleControl::SerialiseProperties(std::vector<uint8_t>& bytes) {
    fwpersist::CPropertyBlob blob;
    CBlobPropExchange px(CPropExchange::Mode::Save, blob);
    DoPropExchange(&px);
    if (FAILED(px.Result())) return px.Result();
    bytes = blob.Serialise();
    return bytes.empty() ? E_OUTOFMEMORY : S_OK;
}

HRESULT COleControl::SaveToStream(IStream* stream) {
    if (!stream) return E_POINTER;
    std::vector<uint8_t> bytes;
    HRESULT hr = SerialiseProperties(bytes);
    if (FAILED(hr)) return hr;
    return WriteExactly(stream, bytes.data(), ULONG(bytes.size()));
}

STDMETHODIMP COleControl::Load(IStream* stream) {
    FW_ENTRY();
    try {
        return LoadFromStream(stream);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP COleControl::Save(IStream* stream, BOOL clearDirty) {
    FW_ENTRY();
    try {
        HRESULT hr = SaveToStream(stream);
        if (SUCCEEDED(hr) && clearDirty) modified_ = false;
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP COleControl::GetSizeMax(ULARGE_INTEGER* size) {
    FW_ENTRY();
    if (!size) return E_POINTER;
    try {
        std::vector<uint8_t> bytes;
        HRESULT hr = SerialiseProperties(bytes);
        if (FAILED(hr)) return hr;
        size->QuadPart = bytes.size();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP COleControl::InitNew() {
    FW_ENTRY();
    try {
        OnResetState();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
    modified_ = false;
    InvalidateControl();
    return S_OK;
}

STDMETHODIMP COleControl::InitNew(IStorage* storage) {
    FW_ENTRY();
    if (!storage) return E_POINTER;
    if (storage_) return CO_E_ALREADYINITIALIZED;
    HRESULT hr = InitNew();
    if (SUCCEEDED(hr)) storage_ = CComRef<IStorage>(storage);
    return hr;
}

STDMETHODIMP COleControl::Load(IStorage* storage) {
    FW_ENTRY();
    if (!storage) return E_POINTER;
    CComRef<IStream> stream;
    HRESULT hr = storage->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
    if (FAILED(hr)) return hr;
    hr = Load(stream.Get());
    if (SUCCEEDED(hr)) storage_ = CComRef<IStorage>(storage);
    return hr;
}

STDMETHODIMP COleControl::Save(IStorage* storage, BOOL sameAsLoad) {
    FW_ENTRY();
    if (!storage) return E_POINTER;
    CComRef<IStream> stream;
    HRESULT hr = storage->CreateStream(kContentsStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       stream.Put());
    if (FAILED(hr)) return hr;
    hr = Save(stream.Get(), FALSE);
    if (FAILED(hr)) return hr;
    WriteClassStg(storage, GetClassID());
    // The object stays dirty until the container confirms with SaveCompleted.
    clearDirtyOnSaveCompleted_ = sameAsLoad != FALSE;
    return S_OK;
}

STDMETHODIMP COleControl::SaveCompleted(IStorage* storage) {
    FW_ENTRY();
    if (storage) {
        storage_ = CComRef<IStorage>(storage);
        clearDirtyOnSaveCompleted_ = true;
    }
    if (clearDirtyOnSaveCompleted_) modified_ = false;
    clearDirtyOnSaveCompleted_ = false;
    if (adviseHolder_) adviseHolder_->SendOnSave();
    return S_OK;
}

STDMETHODIMP COleControl::HandsOffStorage() {
    storage_.Reset();
    return S_OK;
}

STDMETHODIMP COleControl::Load(IPropertyBag* bag, IErrorLog* log) {
    FW_ENTRY();
    if (!bag) return E_POINTER;
    try {
        CBagPropExchange px(CPropExchange::Mode::Validate, bag, log);
        HRESULT hr = LoadProperties(px);
        if (FAILED(hr)) return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
    modified_ = false;
    InvalidateControl();
    return S_OK;
}

STDMETHODIMP COleControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
    FW_ENTRY();
    if (!bag) return E_POINTER;
    try {
        CBagPropExchange px(CPropExchange::Mode::Save, bag, nullptr);
        DoPropExchange(&px);
        if (FAILED(px.Result())) return px.Result();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
    if (clearDirty) modified_ = false;
    return S_OK;
}

// ---- IConnectionPointContainer ------------------------------------------------

STDMETHODIMP COleControl::EnumConnectionPoints(IEnumConnectionPoints** points) {
    return CreateSingleConnectionPointEnum(eventsIID_ ? &connectionPoint_ : nullptr, points);
}

STDMETHODIMP COleControl::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!eventsIID_ || !IsEqualIID(riid, *eventsIID_)) return CONNECT_E_NOCONNECTION;
    *point = &connectionPoint_;
    connectionPoint_.AddRef();
    return S_OK;
}

// ---- IProvideClassInfo2 -----------------------------------------------------------

STDMETHODIMP COleControl::GetClassInfo(ITypeInfo** info) {
    FW_ENTRY();
    if (!info) return E_POINTER;
    *info = nullptr;
    CComRef<ITypeLib> lib;
    HRESULT hr = GetTypeLib(GetUserDefaultLCID(), lib.Put());
    if (FAILED(hr)) return hr;
    if (!lib) return TYPE_E_LIBNOTREGISTERED;
    return lib->GetTypeInfoOfGuid(GetClassID(), info);
}

STDMETHODIMP COleControl::GetGUID(DWORD kind, GUID* guid) {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    if (!eventsIID_) return E_UNEXPECTED;
    *guid = *eventsIID_;
    return S_OK;
}

// ---- ISpecifyPropertyPages ------------------------------------------------------

STDMETHODIMP COleControl::GetPages(CAUUID* pages) {
    FW_ENTRY();
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    ULONG count = 0;
    const CLSID* ids = GetPropPageIDs(count);
    if (count == 0 || !ids) return S_OK;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(count * sizeof(GUID)));
    if (!pages->pElems) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < count; ++i) pages->pElems[i] = ids[i];
    pages->cElems = count;
    return S_OK;
}

// ---- IQuickActivate ----------------------------------------------------------------

STDMETHODIMP COleControl::QuickActivate(QACONTAINER* container, QACONTROL* control) {
    FW_ENTRY();
    if (!container || !control) return E_POINTER;
    // Older containers pass shorter structures; what this code reads and writes
    // is in the first part of each.
    if (container->cbSize < offsetof(QACONTAINER, dwAmbientFlags) ||
        control->cbSize < offsetof(QACONTROL, dwPointerActivationPolicy))
        return E_UNEXPECTED;
    HRESULT hr = SetClientSite(container->pClientSite);
    if (FAILED(hr)) return hr;
    if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    DWORD cookie = 0;
    if (container->pUnkEventSink) connectionPoint_.Advise(container->pUnkEventSink, &cookie);
    control->dwMiscStatus = GetMiscStatus();
    control->dwViewStatus = 0;
    control->dwEventCookie = cookie;
    control->dwPropNotifyCookie = 0;
    if (control->cbSize >= sizeof(QACONTROL)) control->dwPointerActivationPolicy = 0;
    return S_OK;
}

STDMETHODIMP COleControl::SetContentExtent(LPSIZEL size) { return SetExtent(DVASPECT_CONTENT, size); }

STDMETHODIMP COleControl::GetContentExtent(LPSIZEL size) { return GetExtent(DVASPECT_CONTENT, size); }

// ---- IObjectSafety ------------------------------------------------------------------

// Safe for scripting (untrusted caller) through IDispatch, safe for
// initialisation (untrusted data) through the persistence interfaces; both
// options are offered on all of them, so the answer does not depend on which
// interface a browser happens to ask about.
bool COleControl::SafetyApplies(REFIID riid) const {
    return IsEqualIID(riid, IID_IDispatch) || (dispatchIID_ && IsEqualIID(riid, *dispatchIID_)) ||
           IsEqualIID(riid, IID_IPersistStreamInit) || IsEqualIID(riid, IID_IPersistStream) ||
           IsEqualIID(riid, IID_IPersistStorage) || IsEqualIID(riid, IID_IPersistPropertyBag);
}

STDMETHODIMP COleControl::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    if (!SafetyApplies(riid)) {
        *supported = *enabled = 0;
        return E_NOINTERFACE;
    }
    *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    *enabled = safetyEnabled_;
    return S_OK;
}

STDMETHODIMP COleControl::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
    if (!SafetyApplies(riid)) return E_NOINTERFACE;
    const DWORD supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    if (mask & ~supported) return E_FAIL;
    safetyEnabled_ = (safetyEnabled_ & ~mask) | (enabled & mask);
    return S_OK;
}
