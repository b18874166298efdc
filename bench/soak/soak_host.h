// The host side of the soak program: the control created through COM (from the built module
// or by its ProgID), automation by name, an event sink that keeps the received bytes of the
// current connection, a message pump, and the process's resource figures.
#pragma once
// The test-bed client brings winsock2.h, which must come before windows.h.
#include "tools/testbed/client/null_modem.h"

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <string>
#include <vector>

#include "common/com_raii.h"
#include "common/comm_event_sink.h"

enum { EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_SERIALEVENT = 2, EVT_CONNECT = 3 };
enum { MODE_BINARY = 0, MODE_TEXT = 1, MODE_BINARYJS = 2 };

using CBytes = std::vector<BYTE>;

// Keeps the module loaded for as long as objects from it may live.
class CLoadedModule {
public:
    CLoadedModule() = default;
    ~CLoadedModule() { if (module) FreeLibrary(module); }
    CLoadedModule(const CLoadedModule&) = delete;
    CLoadedModule& operator=(const CLoadedModule&) = delete;
    bool Load(const std::string& path);
    HMODULE Get() const { return module; }

private:
    HMODULE module = nullptr;
};

// Creates the control, initialised as new the way a container does: from the module at
// `modulePath` through its class factory, or, with an empty path, by its registered ProgID.
CComRef<IDispatch> CreateControl(CLoadedModule& module, const std::string& modulePath);

HRESULT PutProperty(IDispatch* object, const wchar_t* name, CVariant value);
CVariant GetProperty(IDispatch* object, const wchar_t* name);
long GetLongProperty(IDispatch* object, const wchar_t* name);
bool GetBoolProperty(IDispatch* object, const wchar_t* name);
// Send(data): the method's result code, or -1 when the call itself failed.
long CallSend(IDispatch* object, const VARIANT& data);

// Dispatches this thread's messages for up to ms milliseconds.
void PumpFor(DWORD ms);
// Pumps until done() holds or timeoutMs passed; whether done() holds.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// The bytes of an EVT_DATA argument in any DataMode form; text goes back through the ANSI
// code page it was decoded with.
bool DataBytes(const VARIANT& data, CBytes& out);

// Our sink on the control's CommEvent: counts every kind, appends received bytes to
// `received`, and now and then takes its time like a slow host handler.
class CSoakSink final : public CCommEventSink {
public:
    long counts[4] = {0, 0, 0, 0};
    long badEvents = 0;     // wrong argument count, kind or data form
    long nestedEvents = 0;  // a CommEvent raised while another handler ran
    CBytes received;        // EVT_DATA bytes since the owner last cleared it
    int slowPercent = 0;    // chance of a slow handler
    DWORD slowMs = 0;
    unsigned long long events = 0;

private:
    HRESULT OnCommEvent(long kind, const VARIANT& data) override;
    HRESULT OnBadCall(HRESULT result) override { ++badEvents; return result; }

    bool inHandler = false;
};

struct CProcessFigures {
    DWORD handles = 0;
    unsigned long long privateBytes = 0;
    DWORD threads = 0;
};
CProcessFigures MeasureProcess();
std::string FormatFigures(const CProcessFigures& figures);
