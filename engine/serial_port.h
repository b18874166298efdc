// The serial-port half of the control: settings, the port handle, the worker, the hidden
// marshaling window, and the open/configure/close and reconnect logic behind the properties.
// Everything here runs on the control's thread; the worker only uses the handle between
// Start and Stop.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "../common/win_raii.h"
#include "port_settings.h"
#include "serial_worker.h"

class CMarshalWnd;

class CSerialPort {
public:
    CSerialPort();
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Called by the owner's constructor and destructor (the hooks below must be callable).
    void InitPortState();
    void DestroyPortState();

    // Port operations; the three Apply* do nothing while the port is closed.
    void OpenPort();  // throws tx_encoding
    void ClosePort();
    void ApplyLineSettings();  // throws tx_encoding
    void ApplyTimeouts();
    void ApplyModemLines();
    bool ReadModemStatus(DWORD bit) const;
    void SetPortAndReconnect(int32_t port);  // never throws
    // SetPortAndReconnect without the EVT_DISCONNECT of a failed open: false when the open
    // failed, which the caller reports with ReportFailedOpen unless it tries again.
    bool SetPortAndTryOpen(int32_t port);  // never throws
    void ReportFailedOpen();

    // Property writes with the accepted ranges; out-of-range values are ignored.
    void PutPort(int32_t v);
    void PutBaudRate(int32_t v);
    void PutDataBits(int32_t v);
    void PutParity(int32_t v);
    void PutStopBits(int32_t v);
    void PutError(int32_t v);
    void PutConnected(bool v);
    void PutDataMode(int32_t v);
    void PutNullSubst(int32_t v);
    void PutRecvIntervalTimeout(int32_t v);
    void PutDTR(int32_t v);
    void PutRTS(int32_t v);
    void PutRecvSizeThreshold(int32_t v);

    bool GetConnected() const { return settings.PortOpen != 0; }
    // The port reads open but its worker's run is over (a failure ended it) and its
    // EVT_DISCONNECT, which will close the port, is still on its way.
    bool RunEndedByItself() const
    {
        return settings.PortOpen && worker.HasThread() && (worker.LastDisconnectPosted() || worker.HasEnded());
    }
    // The message of Error from the module's string table, empty when Error is 0.
    std::wstring GetErrorDescription() const;

    // The control thread's side of the hand-off (WM_PORT_NOTIFY). Returns true.
    virtual bool DispatchPortEvent(WPARAM kind, LPARAM lParam);

    HANDLE PortHandle() const { return portHandle.Get(); }
    HWND NotifyWindow() const;
    CMarshalWnd* MarshalWindow() const { return marshalWnd.get(); }
    CSerialWorker& Worker() { return worker; }

    PortSettings settings;

    // Hooks implemented by the control (and by test recorders).
    virtual void SetModified() = 0;
    // Raises CommEvent(kind, data) synchronously on the control's thread.
    virtual void FireCommEvent(int16_t kind, VARIANT& data) = 0;
    // Builds the event data of received bytes (called on the worker thread).
    // False when memory cannot be had.
    virtual bool ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t mode,
                                 int16_t nullSubst) = 0;

    // Module whose string table holds the error messages (defaults to the process image).
    static void SetResourceModule(HINSTANCE module);

private:
    void StartWorker();
    void PostNotify(int32_t kind);
    void RunLineSetter(int32_t (PortSettings::*field), int32_t value);
    void NoteLinesWritten();

    CUniqueFileHandle portHandle;
    CSerialWorker worker;
    std::unique_ptr<CMarshalWnd> marshalWnd;

    // Connection generations of the EVT_DISCONNECT notifications still queued for the
    // window, in posting order, so that one belonging to a replaced connection does not
    // close the port a later open made.
    std::deque<uint32_t> queuedDisconnects;
    // EVT_CONNECT notifications posted to the window and not yet dispatched.
    uint32_t queuedConnects = 0;
    uint32_t connectionGeneration = 0;
    // The host wrote DTR or RTS since this port was opened: line-setting writes restore
    // both lines to the properties. An open leaves them off until the host writes one.
    bool linesWrittenWhileOpen = false;
};
