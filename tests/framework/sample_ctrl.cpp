#include "sample_ctrl.h"

#include <stdexcept>

// {6C1F3F10-5B2E-4D6A-9E51-0A7B7C1D2E01} and neighbours: the sample's own identifiers.
const CLSID CLSID_SampleCtrl = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x01}};
const CLSID CLSID_SamplePage = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x02}};
const IID DIID_SampleDispatch = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x03}};
const IID DIID_SampleEvents = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x04}};

ITypeLib* CSampleCtrl::typeLibrary = nullptr;

CSampleCtrl::CSampleCtrl() { InitializeIIDs(&DIID_SampleDispatch, &DIID_SampleEvents); }

HRESULT CSampleCtrl::GetTypeLib(LCID lcid, ITypeLib** lib) {
    if (!typeLibrary) return COleControl::GetTypeLib(lcid, lib);
    *lib = typeLibrary;
    typeLibrary->AddRef();
    return S_OK;
}

void CSampleCtrl::SetSpeed(long v) {
    if (v < 1 || v > 1000000) return;  // out of range: ignored
    speed_ = v;
    SetModifiedFlag();
}

const DispatchEntry* CSampleCtrl::GetDispatchMap() const {
    static const DispatchEntry map[] = {
        DispProperty<&CSampleCtrl::GetSpeed, &CSampleCtrl::SetSpeed>(DISPID_SAMPLE_SPEED, L"Speed"),
        DispProperty<&CSampleCtrl::GetEnabled, &CSampleCtrl::SetEnabled>(DISPID_SAMPLE_ENABLED, L"Enabled"),
        DispProperty<&CSampleCtrl::GetSmall, &CSampleCtrl::SetSmall>(DISPID_SAMPLE_SMALL, L"Small"),
        DispProperty<&CSampleCtrl::GetLabel, &CSampleCtrl::SetLabel>(DISPID_SAMPLE_LABEL, L"Label"),
        DispReadOnly<&CSampleCtrl::GetName>(DISPID_SAMPLE_NAME, L"Name", ReadOnlyWrites::Ignore),
        DispReadOnly<&CSampleCtrl::GetSecret>(DISPID_SAMPLE_SECRET, L"Secret"),
        DispProperty<&CSampleCtrl::GetAny, &CSampleCtrl::SetAny>(DISPID_SAMPLE_ANY, L"Any"),
        DispMethod<&CSampleCtrl::Ping>(DISPID_SAMPLE_PING, L"Ping", 1, 1),
        DispMethod<&CSampleCtrl::Add>(DISPID_SAMPLE_ADD, L"Add", 2, 3),
        DispMethod<&CSampleCtrl::Fail>(DISPID_SAMPLE_FAIL, L"Fail", 0, 0),
        DispMethod<&CSampleCtrl::Throw>(DISPID_SAMPLE_THROW, L"Throw", 0, 0),
        DispEnd()};
    return map;
}

HRESULT CSampleCtrl::Ping(CDispCall& call) {
    CVariant data;
    HRESULT hr = call.Arg(0, VT_VARIANT, data);
    if (FAILED(hr)) return hr;
    UINT reached = FireEventWith(DISPID_SAMPLE_EVENT_PINGED, short(7), data);
    call.Result()->vt = VT_I4;
    call.Result()->lVal = long(reached);
    return S_OK;
}

HRESULT CSampleCtrl::Add(CDispCall& call) {
    long sum = 0;
    for (UINT i = 0; i < call.ArgCount(); ++i) {
        CVariant v;
        HRESULT hr = call.Arg(i, VT_I4, v);
        if (FAILED(hr)) return hr;
        sum += v.lVal;
    }
    call.Result()->vt = VT_I4;
    call.Result()->lVal = sum;
    return S_OK;
}

HRESULT CSampleCtrl::Fail(CDispCall& call) { return call.RaiseException(E_ACCESSDENIED, L"refused on purpose"); }

HRESULT CSampleCtrl::Throw(CDispCall&) { throw std::runtime_error("handler bug"); }

void CSampleCtrl::DoPropExchange(CPropExchange* px) {
    DWORD version = kSampleVersion;
    px->ExchangeVersion(version, kSampleVersion, true);
    // Data older than 2.0 carries none of the properties.
    if (px->GetVersion() >= 0x00020000) {
        PX_Long(px, L"Rate", speed_, 9600);
        PX_Bool(px, L"Enabled", enabled_, true);
        PX_Short(px, L"Small", small_, 5);
        PX_String(px, L"Label", label_, L"hello");
    }
    COleControl::DoPropExchange(px);
    // Only what an exchange really stored or saved counts; a validating run changes nothing.
    if (!px->IsValidating()) lastExchangeVersion = px->GetVersion();
}

void CSampleCtrl::OnDraw(HDC dc, const RECT& bounds, const RECT&) {
    HBRUSH brush = CreateSolidBrush(kSampleFill);
    FillRect(dc, &bounds, brush);
    DeleteObject(brush);
}

void CSampleCtrl::OnDrawMetafile(HDC dc, const RECT& bounds) {
    drewMetafile = true;
    COleControl::OnDrawMetafile(dc, bounds);
}

BOOL CSampleCtrl::OnSetExtent(const SIZEL* size) {
    if (size && (size->cx > kSampleMaxExtent || size->cy > kSampleMaxExtent)) return FALSE;
    return COleControl::OnSetExtent(size);
}

const CLSID* CSampleCtrl::GetPropPageIDs(ULONG& count) {
    static const CLSID pages[] = {CLSID_SamplePage};
    count = 1;
    return pages;
}

LRESULT CSampleCtrl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_LBUTTONDBLCLK) {
        ++doubleClicks;
        return 0;
    }
    return COleControl::WindowProc(msg, wParam, lParam);
}
