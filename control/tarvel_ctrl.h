// The control hosts place and script: the framework's control base for everything a
// container asks of an ActiveX control, the serial-port half for everything the port does.
#pragma once
#include <windows.h>

#include <deque>

#include "common/com_raii.h"
#include "common/tarvel_ids.h"
#include "engine/serial_port.h"
#include "framework/fw_olecontrol.h"

// Version of the persisted property set: major 1, minor 74 (as the type library).
constexpr DWORD kTarvelPropVersion = 0x0001004A;
// Data older than this carries none of the control's own properties.
constexpr DWORD kFirstVersionWithProps = 0x00010002;
// Hosts hide the control at run time (the flags: tarvel_ids.h); registration writes the same.
constexpr DWORD kTarvelMiscStatus = TARVEL_CTRL_MISC_STATUS;
// The control's fixed size on screen, in pixels.
constexpr LONG kTarvelSizePixels = 48;

class CTarvelCtrl : public COleControl, public CSerialPort {
public:
    CTarvelCtrl();
    ~CTarvelCtrl() override;

    // ---- COleControl ------------------------------------------------------
    const DispatchEntry* GetDispatchMap() const override;
    HRESULT GetTypeLib(LCID lcid, ITypeLib** typeLib) override;
    void DoPropExchange(CPropExchange* px) override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    BOOL OnSetExtent(const SIZEL* size) override;
    void OnSetClientSite() override;
    DWORD GetMiscStatus() override { return kTarvelMiscStatus; }
    const CLSID& GetClassID() const override;
    UINT GetUserTypeNameID() override;
    const CLSID* GetPropPageIDs(ULONG& count) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnFreezeEvents(bool frozen) override;

    // ---- the port's hooks -------------------------------------------------
    void SetModified() override { SetModifiedFlag(true); }
    void FireCommEvent(int16_t kind, VARIANT& data) override;
    bool ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t mode, int16_t nullSubst) override;
    // Keeps the control alive while a host's handler may drop its last reference.
    bool DispatchPortEvent(WPARAM kind, LPARAM lParam) override;

    // ---- automation properties and methods (_DTarvel) ----------------------
    long GetPort() const { return settings.Port; }
    void SetPort(long v) { PutPort(v); }
    long GetBaudRate() const { return settings.BaudRate; }
    void SetBaudRate(long v) { PutBaudRate(v); }
    long GetDataBits() const { return settings.DataBits; }
    void SetDataBits(long v) { PutDataBits(v); }
    long GetParity() const { return settings.Parity; }
    void SetParity(long v) { PutParity(v); }
    long GetStopBits() const { return settings.StopBits; }
    void SetStopBits(long v) { PutStopBits(v); }
    long GetError() const { return settings.Error; }
    void SetError(long v) { PutError(v); }
    CBstr GetErrorDescriptionText() const;
    bool GetConnectedProp() const { return CSerialPort::GetConnected(); }
    void SetConnectedProp(bool v) { PutConnected(v); }
    CBstr GetPortsAvailable() const;
    long GetDataMode() const { return settings.DataMode; }
    void SetDataMode(long v) { PutDataMode(v); }
    // The 16-bit properties take any integer: out-of-range writes are ignored, not errors.
    short GetNullSubst() const { return settings.NullSubst; }
    void SetNullSubst(long v) { PutNullSubst(v); }
    short GetRecvIntervalTimeout() const { return settings.RecvIntervalTimeout; }
    void SetRecvIntervalTimeout(long v) { PutRecvIntervalTimeout(v); }
    bool GetDTR() const { return settings.DTR != 0; }
    void SetDTR(bool v) { PutDTR(v ? 1 : 0); }
    bool GetRTS() const { return settings.RTS != 0; }
    void SetRTS(bool v) { PutRTS(v ? 1 : 0); }
    bool GetDSR() const { return ReadModemStatus(MS_DSR_ON); }
    bool GetCTS() const { return ReadModemStatus(MS_CTS_ON); }
    bool GetRI() const { return ReadModemStatus(MS_RING_ON); }
    long GetRecvSizeThreshold() const { return settings.RecvSizeThreshold; }
    void SetRecvSizeThreshold(long v) { PutRecvSizeThreshold(v); }
    CBstr GetVersion() const;

    HRESULT Send(CDispCall& call);
    HRESULT GetPortFriendlyNameMethod(CDispCall& call);
    HRESULT AboutBox(CDispCall& call);

private:
    struct HeldNotification {
        WPARAM kind;
        LPARAM lParam;
    };
    // Raises the held notifications in their order, until none is left or the container
    // freezes events again.
    void RaiseHeldNotifications();

    // Port notifications that arrived while the container had frozen events. A data or
    // line-event notification among them keeps the slot taken, so the worker goes on
    // collecting into its receive buffer meanwhile.
    std::deque<HeldNotification> heldNotifications;
    bool raisingHeld = false;
};
