#include "tarvel_ctrl.h"

#include "common/tarvel_ids.h"
#include "control/about_box.h"
#include "control/received_convert.h"
#include "control/send_convert.h"
#include "control/version_text.h"
#include "engine/port_discovery.h"
#include "framework/fw_propexchange.h"
#include "res/dispids.h"
#include "res/resource_ids.h"

namespace {

constexpr LCID kTypeLibLocale = 0x0409;

// WM_PORT_NOTIFY with this first parameter (no Event value) asks the control's thread to
// raise what it held while events were frozen, after the container's thaw has returned.
constexpr WPARAM kRaiseHeldNotifications = 0x7FFF;

// The fixed extent: 48 x 48 pixels of the screen in HIMETRIC.
SIZEL FixedExtent()
{
    HWND desktop = GetDesktopWindow();
    HDC dc = GetDC(desktop);
    if (!dc) return COleControl::PixelsToHimetric(SIZE{kTarvelSizePixels, kTarvelSizePixels});
    const SIZEL fixed = {MulDiv(kTarvelSizePixels, 2540, GetDeviceCaps(dc, LOGPIXELSX)),
                         MulDiv(kTarvelSizePixels, 2540, GetDeviceCaps(dc, LOGPIXELSY))};
    ReleaseDC(desktop, dc);
    return fixed;
}

// Distance from the first to the last pixel of an extent, at least 1.
int LastPixelOffset(LONG from, LONG to)
{
    const LONG size = to > from ? to - from : from - to;
    return size > 1 ? static_cast<int>(size - 1) : 1;
}

CBstr MakeBstr(const std::wstring& text)
{
    return CBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

CBstr MakeBstrFromAnsi(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return MakeBstr(wide);
}

}  // namespace

CTarvelCtrl::CTarvelCtrl()
{
    // Born with its fixed size, so that siting it (which applies that size) changes nothing
    // and leaves a control nobody changed unmodified.
    SetInitialExtent(FixedExtent());
    InitializeIIDs(&DIID__DTarvel, &DIID__DTarvelEvents);
    InitPortState();
}

CTarvelCtrl::~CTarvelCtrl()
{
    DestroyPortState();
}

const DispatchEntry* CTarvelCtrl::GetDispatchMap() const
{
    using C = CTarvelCtrl;
    constexpr auto ignore = ReadOnlyWrites::Ignore;
    static const DispatchEntry map[] = {
        DispProperty<&C::GetPort, &C::SetPort>(DISPID_TARVEL_PORT, L"Port"),
        DispProperty<&C::GetBaudRate, &C::SetBaudRate>(DISPID_TARVEL_BAUDRATE, L"BaudRate"),
        DispProperty<&C::GetDataBits, &C::SetDataBits>(DISPID_TARVEL_DATABITS, L"DataBits"),
        DispProperty<&C::GetParity, &C::SetParity>(DISPID_TARVEL_PARITY, L"Parity"),
        DispProperty<&C::GetStopBits, &C::SetStopBits>(DISPID_TARVEL_STOPBITS, L"StopBits"),
        DispProperty<&C::GetError, &C::SetError>(DISPID_TARVEL_ERROR, L"Error"),
        DispReadOnly<&C::GetErrorDescriptionText>(DISPID_TARVEL_ERRORDESCRIPTION, L"ErrorDescription", ignore),
        DispProperty<&C::GetConnectedProp, &C::SetConnectedProp>(DISPID_TARVEL_CONNECTED, L"Connected"),
        DispReadOnly<&C::GetPortsAvailable>(DISPID_TARVEL_PORTSAVAILABLE, L"PortsAvailable", ignore),
        DispProperty<&C::GetDataMode, &C::SetDataMode>(DISPID_TARVEL_DATAMODE, L"DataMode"),
        DispProperty<&C::GetNullSubst, &C::SetNullSubst>(DISPID_TARVEL_NULLSUBST, L"NullSubst"),
        DispProperty<&C::GetRecvIntervalTimeout, &C::SetRecvIntervalTimeout>(DISPID_TARVEL_RECVINTERVALTIMEOUT,
                                                                             L"RecvIntervalTimeout"),
        DispProperty<&C::GetDTR, &C::SetDTR>(DISPID_TARVEL_DTR, L"DTR"),
        DispProperty<&C::GetRTS, &C::SetRTS>(DISPID_TARVEL_RTS, L"RTS"),
        DispReadOnly<&C::GetDSR>(DISPID_TARVEL_DSR, L"DSR", ignore),
        DispReadOnly<&C::GetCTS>(DISPID_TARVEL_CTS, L"CTS", ignore),
        DispReadOnly<&C::GetRI>(DISPID_TARVEL_RI, L"RI", ignore),
        DispProperty<&C::GetRecvSizeThreshold, &C::SetRecvSizeThreshold>(DISPID_TARVEL_RECVSIZETHRESHOLD,
                                                                         L"RecvSizeThreshold"),
        DispReadOnly<&C::GetVersion>(DISPID_TARVEL_VERSION, L"Version", ignore),
        DispMethod<&C::Send>(DISPID_TARVEL_SEND, L"Send", 1, 1),
        DispMethod<&C::GetPortFriendlyNameMethod>(DISPID_TARVEL_GETPORTFRIENDLYNAME, L"GetPortFriendlyName", 1, 1),
        DispMethod<&C::AboutBox>(DISPID_TARVEL_ABOUTBOX, L"AboutBox", 0, 0),
        DispEnd()};
    return map;
}

HRESULT CTarvelCtrl::GetTypeLib(LCID lcid, ITypeLib** typeLib)
{
    HRESULT hr = LoadRegTypeLib(LIBID_TarvelLib, TARVEL_LIB_MAJOR, TARVEL_LIB_MINOR, lcid, typeLib);
    // The library is registered under its own locale, 0x0409; hosts asking for another
    // (often the neutral locale 0) would otherwise get no type information at all.
    if (hr == TYPE_E_LIBNOTREGISTERED && lcid != kTypeLibLocale)
        hr = LoadRegTypeLib(LIBID_TarvelLib, TARVEL_LIB_MAJOR, TARVEL_LIB_MINOR, kTypeLibLocale, typeLib);
    return hr;
}

const CLSID& CTarvelCtrl::GetClassID() const
{
    return CLSID_Tarvel;
}

UINT CTarvelCtrl::GetUserTypeNameID()
{
    return IDS_TARVEL_CTRL;
}

const CLSID* CTarvelCtrl::GetPropPageIDs(ULONG& count)
{
    static const CLSID pages[] = {CLSID_TarvelPropPage};
    count = 1;
    return pages;
}

LRESULT CTarvelCtrl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_LBUTTONDBLCLK) {
        OnProperties(nullptr, Hwnd(), nullptr);
        return 0;
    }
    return COleControl::WindowProc(msg, wParam, lParam);
}

// ---------------------------------------------------------------------------------------
// Persistence: ten named properties after the version, then the base's extent.

void CTarvelCtrl::DoPropExchange(CPropExchange* px)
{
    DWORD version = kTarvelPropVersion;
    px->ExchangeVersion(version, kTarvelPropVersion, true);
    if (px->GetVersion() >= kFirstVersionWithProps) {
        bool connectWanted = settings.ConnectWanted != 0;
        PX_Long(px, L"Port", settings.Port, 1);
        PX_Long(px, L"DataRate", settings.BaudRate, 9600);
        PX_Long(px, L"DataBits", settings.DataBits, 8);
        PX_Long(px, L"Parity", settings.Parity, 0);
        PX_Long(px, L"StopBits", settings.StopBits, 0);
        PX_Bool(px, L"Connected", connectWanted, false);
        PX_Long(px, L"DataMode", settings.DataMode, BINARY);
        PX_Short(px, L"NullSubst", settings.NullSubst, 32);
        PX_Short(px, L"RecvIntervalTimeout", settings.RecvIntervalTimeout, 100);
        PX_Long(px, L"RecvSizeThreshold", settings.RecvSizeThreshold, 1000);
        if (px->IsLoading()) settings.ConnectWanted = connectWanted ? 1 : 0;
    }
    COleControl::DoPropExchange(px);
    // A control saved while meant to be connected connects again, once every property was
    // read well (a load validates first and fails without storing or opening anything); a
    // failure to connect is reported through Error and CommEvent, never by failing the load.
    if (px->IsLoading() && settings.ConnectWanted) SetPortAndReconnect(settings.Port);
}

// ---------------------------------------------------------------------------------------
// Appearance: a fixed 48 x 48-pixel grey square labelled COM.

BOOL CTarvelCtrl::OnSetExtent(const SIZEL*)
{
    const SIZEL fixed = FixedExtent();
    return COleControl::OnSetExtent(&fixed);
}

void CTarvelCtrl::OnSetClientSite()
{
    COleControl::OnSetClientSite();
    OnSetExtent(nullptr);
}

void CTarvelCtrl::OnDraw(HDC dc, const RECT& bounds, const RECT&)
{
    constexpr int kLogical = 20000;
    const COLORREF fillColour = RGB(200, 200, 200);
    const COLORREF shadeColour = RGB(140, 140, 140);

    const int saved = SaveDC(dc);
    SetMapMode(dc, MM_ANISOTROPIC);
    SetWindowOrgEx(dc, 0, 0, nullptr);
    SetWindowExtEx(dc, kLogical, kLogical, nullptr);
    SetViewportOrgEx(dc, bounds.left, bounds.top, nullptr);
    // The bounds' right and bottom are exclusive: logical 20000 goes on the last pixel inside
    // them, or the darker bottom edge would be drawn just outside the control.
    SetViewportExtEx(dc, LastPixelOffset(bounds.left, bounds.right), LastPixelOffset(bounds.top, bounds.bottom),
                     nullptr);
    SetTextCharacterExtra(dc, 0);

    HBRUSH brush = CreateSolidBrush(fillColour);
    const RECT all = {0, 0, kLogical, kLogical};
    FillRect(dc, &all, brush);

    HPEN light = CreatePen(PS_SOLID, 1, fillColour);
    HPEN dark = CreatePen(PS_SOLID, 1, shadeColour);
    MoveToEx(dc, 0, 0, nullptr);
    SelectObject(dc, light);
    LineTo(dc, kLogical, 0);
    LineTo(dc, kLogical, kLogical);
    SelectObject(dc, dark);
    LineTo(dc, 0, kLogical);
    LineTo(dc, 0, 0);

    HFONT font = CreateFontA(8000, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_ONLY_PRECIS,
                             CLIP_TT_ALWAYS, PROOF_QUALITY, 0, nullptr);
    SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    TextOutA(dc, kLogical / 2, 6000, "COM", 3);

    // Restoring the state deselects our objects before they are deleted. The most recent
    // state, not the level SaveDC returned: played back from a metafile into a container's
    // DC with saves of its own, an absolute level would rewind the container's state too.
    if (saved) RestoreDC(dc, -1);
    DeleteObject(font);
    DeleteObject(light);
    DeleteObject(dark);
    DeleteObject(brush);
}

// ---------------------------------------------------------------------------------------
// The port's hooks

void CTarvelCtrl::FireCommEvent(int16_t kind, VARIANT& data)
{
    // Zeroed whole: sinks and marshalers see every byte of the argument, not only the
    // type and the 16-bit value.
    VARIANT args[2] = {};
    V_VT(&args[0]) = VT_I2;
    V_I2(&args[0]) = kind;
    args[1] = data;  // handed over in place: the slot keeps owning it
    FireEvent(DISPID_TARVEL_COMMEVENT, args, 2);
}

bool CTarvelCtrl::ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t mode, int16_t nullSubst)
{
    return ReceivedToVariant(out, bytes, count, mode, nullSubst);
}

// A container ignores events while it has them frozen (a form loading, a host restoring
// the control's state). A notification arriving then is held, not raised, and so is every
// later one until the held ones are out, to keep their order. Holding a data or line-event
// notification keeps the slot taken: the worker waits for it and goes on collecting bytes,
// so nothing is lost and nothing queues up here beyond one such notification.
bool CTarvelCtrl::DispatchPortEvent(WPARAM kind, LPARAM lParam)
{
    CComRef<IUnknown> self(GetControllingUnknown());
    if (kind == kRaiseHeldNotifications) {
        RaiseHeldNotifications();
        return true;
    }
    if (AreEventsFrozen() || !heldNotifications.empty()) {
        heldNotifications.push_back({kind, lParam});
        RaiseHeldNotifications();
        return true;
    }
    return CSerialPort::DispatchPortEvent(kind, lParam);
}

void CTarvelCtrl::OnFreezeEvents(bool frozen)
{
    if (frozen || heldNotifications.empty()) return;
    // Raised from the window's queue once the container's FreezeEvents call has returned.
    const HWND window = NotifyWindow();
    if (!window || !PostMessageA(window, WM_PORT_NOTIFY, kRaiseHeldNotifications, 0)) RaiseHeldNotifications();
}

void CTarvelCtrl::RaiseHeldNotifications()
{
    // A handler that pumps messages comes back here through the window: the outer loop goes on.
    if (raisingHeld) return;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{raisingHeld = true};
    while (!heldNotifications.empty() && !AreEventsFrozen()) {
        const HeldNotification next = heldNotifications.front();
        heldNotifications.pop_front();
        CSerialPort::DispatchPortEvent(next.kind, next.lParam);
    }
}

// ---------------------------------------------------------------------------------------
// Automation members

CBstr CTarvelCtrl::GetErrorDescriptionText() const
{
    return MakeBstr(GetErrorDescription());
}

CBstr CTarvelCtrl::GetPortsAvailable() const
{
    return MakeBstrFromAnsi(PortsAvailableText());
}

CBstr CTarvelCtrl::GetVersion() const
{
    return MakeBstr(ModuleVersionText());
}

HRESULT CTarvelCtrl::Send(CDispCall& call)
{
    const int32_t result = SendVariant(call.RawArg(0), Worker().txQueue, Worker().txReadyEvent.Get());
    if (VARIANT* out = call.Result()) {
        V_VT(out) = VT_I4;
        V_I4(out) = result;
    }
    return S_OK;
}

HRESULT CTarvelCtrl::GetPortFriendlyNameMethod(CDispCall& call)
{
    CVariant port;
    const HRESULT hr = call.Arg(0, VT_I4, port);
    if (FAILED(hr)) return hr;
    CBstr name = MakeBstrFromAnsi(GetPortFriendlyName(V_I4(&port)));
    if (VARIANT* out = call.Result()) return fwdisp::Store(std::move(name), out);
    return S_OK;
}

HRESULT CTarvelCtrl::AboutBox(CDispCall&)
{
    ShowAboutBox();
    return S_OK;
}
