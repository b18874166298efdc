// COleControl: the base of an in-process ActiveX control. One C++ object
// implements every interface a container asks for; a derived control supplies
// its dispatch map, its persisted properties, its drawing and a few facts about
// its class through the virtual hooks below.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <objsafe.h>
#include <olectl.h>

#include "../common/com_raii.h"
#include "fw_connpoint.h"
#include "fw_dispatch.h"
#include "fw_module.h"
#include "fw_propexchange.h"
#include "fw_wnd.h"

class COleControl : public CWnd,
                    public IDispatch,
                    public IOleObject,
                    public IOleInPlaceObject,
                    public IOleInPlaceActiveObject,
                    public IOleControl,
                    public IViewObject2,
                    public IPersistStreamInit,
                    public IPersistStorage,
                    public IPersistPropertyBag,
                    public IConnectionPointContainer,
                    public IProvideClassInfo2,
                    public ISpecifyPropertyPages,
                    public IQuickActivate,
                    public IObjectSafety {
public:
    // The object starts with one reference, owned by its creator.
    COleControl();
    ~COleControl() override;

    // ---- Hooks for the derived control ----------------------------------
    // Properties and methods reached through IDispatch (default: none).
    virtual const DispatchEntry* GetDispatchMap() const;
    // The type library describing the control; the default has none
    // (TYPE_E_LIBNOTREGISTERED). GetTypeInfo and IProvideClassInfo use it.
    virtual HRESULT GetTypeLib(LCID lcid, ITypeLib** typeLib);
    // Persisted properties. The base exchanges "_ExtentX", "_ExtentY" (HIMETRIC)
    // and "_StockProps" (always 0); a reset leaves the extent as it is. Loads run it
    // twice, validating first (see CPropExchange): act on loaded values only when
    // px->IsLoading().
    virtual void DoPropExchange(CPropExchange* px);
    // InitNew: by default a DoPropExchange with a resetting exchange.
    virtual void OnResetState();
    // Drawing into a window, a bitmap or a printer: bounds is where the control
    // goes, invalid the part that needs painting (within bounds).
    virtual void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid);
    // Drawing into a metafile; the default calls OnDraw with invalid = bounds.
    virtual void OnDrawMetafile(HDC dc, const RECT& bounds);
    // A proposed extent in HIMETRIC (null: none). The default stores a non-null
    // size and returns TRUE; FALSE refuses it (SetExtent then fails with E_FAIL).
    virtual BOOL OnSetExtent(const SIZEL* size);
    // After SetClientSite stored the new site (also when it is null).
    virtual void OnSetClientSite() {}
    // OLEMISC_* bits reported by IOleObject::GetMiscStatus and IQuickActivate.
    virtual DWORD GetMiscStatus();
    // The control's class identifier (IPersist, GetUserClassID, class info).
    virtual const CLSID& GetClassID() const = 0;
    // String resource of the user type name (0: ask the registry).
    virtual UINT GetUserTypeNameID() { return 0; }
    // The property pages, as a pointer to a static array, count set (default none).
    virtual const CLSID* GetPropPageIDs(ULONG& count);
    // Opens the property pages: first asks the container (IOleControlSite::
    // ShowPropertyFrame), else shows them with OleCreatePropertyFrame.
    virtual HRESULT OnProperties(LPMSG msg, HWND parent, LPCRECT rect);
    // An ambient property of the container changed (DISPID_UNKNOWN: several).
    virtual void OnAmbientChanged(DISPID dispid) { (void)dispid; }
    // The container froze events (first FreezeEvents(TRUE)) or thawed them (the last
    // FreezeEvents(FALSE)). Events fired while frozen are ignored by the container, so a
    // control whose events carry data holds them from here on and raises them on the thaw.
    virtual void OnFreezeEvents(bool frozen) { (void)frozen; }
    // The verbs EnumVerbs lists, as a pointer to a static array, count set. The default
    // lists the primary verb and the properties verb, which DoVerb answers.
    virtual const OLEVERB* GetVerbs(ULONG& count);
    // An interface of the derived class that the base does not know (default none).
    virtual void* GetExtraInterface(REFIID riid) { (void)riid; return nullptr; }
    // Messages of the control's own window (exists while in-place active). The
    // default paints through OnDraw and leaves the rest to DefWindowProc.
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    // ---- Services for the derived control --------------------------------
    // The dispatch and events interface identifiers (pointers must stay valid).
    void InitializeIIDs(const IID* dispatchIID, const IID* eventsIID);
    // Raises an event on every connected sink, synchronously. args in call order.
    // Returns the number of sinks whose Invoke succeeded. The control keeps
    // itself alive until FireEvent returns; a caller that touches its members
    // afterwards holds its own reference (CComRef<IUnknown> self(GetControllingUnknown())),
    // since a sink may release the host's last reference inside its handler.
    UINT FireEvent(DISPID dispid, const VARIANT* args, UINT count);
    // The same with the arguments given as values (each made a CVariant:
    // long, short, bool, double, const wchar_t*, const VARIANT&).
    template <class... Args>
    UINT FireEventWith(DISPID dispid, const Args&... args) {
        if constexpr (sizeof...(Args) == 0) {
            return FireEvent(dispid, nullptr, 0);
        } else {
            CVariant values[] = {CVariant(args)...};
            return FireEvent(dispid, values, UINT(sizeof...(Args)));
        }
    }
    void SetModifiedFlag(bool modified = true) { modified_ = modified; }
    bool IsModified() const { return modified_; }
    // Repaints the window, if any, and tells the view advise sink.
    void InvalidateControl();
    IOleClientSite* GetClientSite() const { return clientSite_.Get(); }
    // An ambient property of the container (false when there is none).
    bool GetAmbientProperty(DISPID dispid, CVariant& value) const;
    // Ambient UserMode: true (run mode) unless the container says design mode.
    bool AmbientUserMode() const;
    const SIZEL& GetExtent() const { return extent_; }
    bool IsInPlaceActive() const { return inPlaceActive_; }
    bool IsUIActive() const { return uiActive_; }
    bool AreEventsFrozen() const { return eventsFrozen_ > 0; }
    CModuleState& Module() const { return objectCounter_.State(); }
    // The outer object's IUnknown when aggregated, else the control's own.
    IUnknown* GetControllingUnknown() { return outer_ ? outer_ : ControlUnknown(); }
    // Aggregation, before the object is handed out: every interface then delegates its
    // IUnknown methods to outer, and the outer object holds InnerUnknown(), which keeps
    // the control's own reference count and identity.
    void SetOuterUnknown(IUnknown* outer) { outer_ = outer; }
    IUnknown* InnerUnknown() { return &inner_; }
    size_t EventSinkCount() const { return connectionPoint_.SinkCount(); }
    // Conversion between screen pixels and HIMETRIC (0.01 mm) with the screen's resolution.
    static SIZEL PixelsToHimetric(SIZE pixels);
    static SIZE HimetricToPixels(SIZEL himetric);

    // ---- IUnknown ----
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ---- IDispatch ----
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argErr) override;

    // ---- IOleObject ----
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR obj) override;
    STDMETHODIMP Close(DWORD saveOption) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* mk) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** mk) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index, HWND parent,
                        LPCRECT posRect) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* userType) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override;
    STDMETHODIMP Unadvise(DWORD connection) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

    // ---- IOleWindow / IOleInPlaceObject / IOleInPlaceActiveObject ----
    STDMETHODIMP GetWindow(HWND* hwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT posRect, LPCRECT clipRect) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* uiWindow, BOOL frameWindow) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // ---- IOleControl ----
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG* msg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID dispid) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // ---- IViewObject / IViewObject2 ----
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target, HDC targetDC, HDC dc,
                      LPCRECTL bounds, LPCRECTL windowBounds, BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR),
                      ULONG_PTR contArg) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target, HDC targetDC,
                             LOGPALETTE** colors) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    STDMETHODIMP Unfreeze(DWORD freeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target, LPSIZEL size) override;

    // ---- IPersist / IPersistStreamInit / IPersistStorage / IPersistPropertyBag ----
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(IStream* stream) override;
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP InitNew(IStorage* storage) override;
    STDMETHODIMP Load(IStorage* storage) override;
    STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
    STDMETHODIMP SaveCompleted(IStorage* storage) override;
    STDMETHODIMP HandsOffStorage() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // ---- IConnectionPointContainer ----
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

    // ---- IProvideClassInfo2 ----
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // ---- ISpecifyPropertyPages ----
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // ---- IQuickActivate ----
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;

    // ---- IObjectSafety ----
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

protected:
    // Sets the extent directly (no OnSetExtent), e.g. from a constructor.
    void SetInitialExtent(const SIZEL& extent) { extent_ = extent; }

private:
    // The non-delegating IUnknown an outer object holds.
    class CInnerUnknown final : public IUnknown {
    public:
        explicit CInnerUnknown(COleControl& control) : control_(control) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return control_.InnerQueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return control_.InnerAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return control_.InnerRelease(); }

    private:
        COleControl& control_;
    };

    IUnknown* ControlUnknown() { return static_cast<IDispatch*>(this); }
    HRESULT InnerQueryInterface(REFIID riid, void** ppv);
    ULONG InnerAddRef();
    ULONG InnerRelease();
    HRESULT LoadFromStream(IStream* stream);
    HRESULT LoadProperties(CPropExchange& reader);
    HRESULT SaveToStream(IStream* stream);
    HRESULT SerialiseProperties(std::vector<uint8_t>& bytes);
    HRESULT ActivateInPlace(bool uiActivate, IOleClientSite* activeSite, HWND parent, LPCRECT posRect);
    void SendViewChange();
    bool SafetyApplies(REFIID riid) const;

    CModuleObjectCounter objectCounter_;
    volatile LONG refs_ = 1;
    IUnknown* outer_ = nullptr;  // not counted: the outer object owns us
    CInnerUnknown inner_{*this};
    const IID* dispatchIID_ = nullptr;
    const IID* eventsIID_ = nullptr;
    CEventConnectionPoint connectionPoint_;

    CComRef<IOleClientSite> clientSite_;
    CComRef<IOleAdviseHolder> adviseHolder_;
    CComRef<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;

    CComRef<IOleInPlaceSite> inPlaceSite_;
    CComRef<IOleInPlaceFrame> inPlaceFrame_;
    CComRef<IOleInPlaceUIWindow> inPlaceUIWindow_;
    bool inPlaceActive_ = false;
    bool uiActive_ = false;

    CComRef<IStorage> storage_;
    bool clearDirtyOnSaveCompleted_ = false;

    SIZEL extent_;
    bool modified_ = false;
    LONG eventsFrozen_ = 0;
    DWORD nextFreezeCookie_ = 1;
    DWORD safetyEnabled_ = 0;
};
