// The control as users meet it: created by its ProgID from the registered Tarvel.ocx, with a
// sink of ours on its CommEvent connection point, driven on a virtual null-modem pair whose
// far end echoes. Prints every CommEvent with its kind and data; exits 0 when the echoes and
// the modem lines came through. Run it through tools/wine/wine-run.sh after regsvr32.
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/com_raii.h"
#include "common/comm_event_sink.h"
#include "common/tarvel_ids.h"
#include "tools/demo/echo_peer.h"

namespace {

enum { EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_SERIALEVENT = 2, EVT_CONNECT = 3 };

const char* KindName(long kind)
{
    switch (kind) {
    case EVT_DISCONNECT: return "EVT_DISCONNECT";
    case EVT_DATA: return "EVT_DATA";
    case EVT_SERIALEVENT: return "EVT_SERIALEVENT";
    case EVT_CONNECT: return "EVT_CONNECT";
    default: return "?";
    }
}

std::string Printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        char escaped[8];
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7F) snprintf(escaped, sizeof escaped, "\\x%02X", c), out += escaped;
        else out += char(c);
    }
    return out;
}

std::string LineEventNames(long mask)
{
    static const struct { long bit; const char* name; } kBits[] = {
        {0x4, "TXEMPTY"}, {0x8, "CTS"},   {0x10, "DSR"}, {0x20, "RLSD"},
        {0x40, "BREAK"},  {0x80, "ERR"},  {0x100, "RING"}};
    std::string names;
    for (const auto& b : kBits)
        if (mask & b.bit) names += (names.empty() ? "" : " ") + std::string(b.name);
    return names;
}

// Prints each CommEvent and keeps what arrived.
class CPrintingSink final : public CCommEventSink {
public:
    std::string received;
    int connects = 0, disconnects = 0, lineEvents = 0;

private:
    HRESULT OnCommEvent(long kind, const VARIANT& data) override
    {
        CVariant copy;
        VariantCopyInd(&copy, const_cast<VARIANT*>(&data));
        Print(kind, copy);
        return S_OK;
    }
    void Print(long kind, const VARIANT& data)
    {
        printf("  CommEvent %s", KindName(kind));
        if (kind == EVT_CONNECT) ++connects;
        if (kind == EVT_DISCONNECT) ++disconnects;
        if (kind == EVT_SERIALEVENT) {
            ++lineEvents;
            printf(" mask 0x%lX (%s)", static_cast<unsigned long>(V_I4(&data)), LineEventNames(V_I4(&data)).c_str());
        }
        if (kind == EVT_DATA) PrintData(data);
        printf("\n");
        fflush(stdout);
    }
    void PrintData(const VARIANT& data)
    {
        std::string bytes;
        if (V_VT(&data) == VT_BSTR) {
            for (UINT i = 0; i < SysStringLen(V_BSTR(&data)); ++i) bytes += char(V_BSTR(&data)[i]);
            printf(" text \"%s\"", Printable(bytes).c_str());
        } else if (V_VT(&data) == (VT_ARRAY | VT_VARIANT) || V_VT(&data) == (VT_ARRAY | VT_UI1)) {
            const bool variants = V_VT(&data) == (VT_ARRAY | VT_VARIANT);
            LONG upper = -1;
            SafeArrayGetUBound(V_ARRAY(&data), 1, &upper);
            CSafeArrayLock lock(V_ARRAY(&data));
            printf(variants ? " array of one-byte values [" : " byte array [");
            for (LONG i = 0; lock.Ok() && i <= upper; ++i) {
                const BYTE b = variants ? V_UI1(&lock.As<VARIANT>()[i]) : lock.As<BYTE>()[i];
                bytes += char(b);
                printf(i ? " %u" : "%u", b);
            }
            printf("]");
        }
        received += bytes;
    }
};

// Automation by name, as a script would do it.
HRESULT Put(IDispatch* object, const wchar_t* name, CVariant value)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

CVariant Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<CVariant> args = {})
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    CVariant result;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return result;
    std::vector<CVariant> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
    object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.Put(), nullptr, nullptr);
    return result;
}

std::string Text(CVariant value)
{
    // Booleans as True/False, numbers in the English form.
    if (FAILED(VariantChangeTypeEx(&value, &value, MAKELCID(0x0409, SORT_DEFAULT), VARIANT_ALPHABOOL, VT_BSTR)))
        return "?";
    std::string out;
    for (UINT i = 0; i < SysStringLen(V_BSTR(&value)); ++i) out += char(V_BSTR(&value)[i]);
    return out;
}

std::string Get(IDispatch* object, const wchar_t* name) { return Text(Call(object, name, DISPATCH_PROPERTYGET)); }

void Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD spent = 0; spent < ms; spent = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

template <class Done>
bool PumpUntil(Done done, DWORD ms)
{
    for (DWORD waited = 0; !done() && waited < ms; waited += 20) Pump(20);
    return done();
}

std::string RegisteredServer()
{
    char value[MAX_PATH] = "";
    LONG size = sizeof value;
    RegQueryValueA(HKEY_CLASSES_ROOT, "CLSID\\" TARVEL_CLSID_CTRL_STR "\\InprocServer32", value, &size);
    return value;
}

// Creates the control by its ProgID, initialised as new, the way a container does.
CComRef<IDispatch> CreateControl()
{
    CComRef<IDispatch> port;
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"" TARVEL_PROGID_CTRL, &clsid))) {
        printf("%s is not registered: run regsvr32 Tarvel.ocx first\n", TARVEL_PROGID_CTRL);
        return port;
    }
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, port.PutVoid());
    if (FAILED(hr)) {
        printf("CoCreateInstance(%s) failed: 0x%08lX\n", TARVEL_PROGID_CTRL, static_cast<unsigned long>(hr));
        return port;
    }
    CComRef<IPersistStreamInit> persist;
    if (SUCCEEDED(port.QueryTo(IID_IPersistStreamInit, persist))) persist->InitNew();
    printf("created %s from %s, Version %s\n", TARVEL_PROGID_CTRL, RegisteredServer().c_str(),
           Get(port.Get(), L"Version").c_str());
    return port;
}

bool Connect(IDispatch* port, CPrintingSink& sink, int number)
{
    Put(port, L"Port", CVariant(long(number)));
    Put(port, L"BaudRate", CVariant(115200L));
    Put(port, L"DataBits", CVariant(8L));
    Put(port, L"Parity", CVariant(0L));    // NOPARITY
    Put(port, L"StopBits", CVariant(0L));  // ONESTOPBIT
    Put(port, L"DataMode", CVariant(1L));  // TEXT
    printf("Connected = True (COM%d, 115200 8N1, DataMode TEXT)\n", number);
    Put(port, L"Connected", CVariant(true));
    if (Get(port, L"Connected") != "True") {
        printf("connect failed: Error %s, %s\n", Get(port, L"Error").c_str(), Get(port, L"ErrorDescription").c_str());
        return false;
    }
    return PumpUntil([&] { return sink.connects > 0; }, 2000);
}

// Sends text, then a byte array in DataMode BINARYJS; true when both came back.
bool ExchangeData(IDispatch* port, CPrintingSink& sink)
{
    const std::string text = "Hello, Tarvel!\r\n";
    CVariant textArg(CBstr(std::wstring(text.begin(), text.end()).c_str()));
    const std::string textResult = Text(Call(port, L"Send", DISPATCH_METHOD, {textArg}));
    printf("Send \"%s\" -> %s\n", Printable(text).c_str(), textResult.c_str());
    const bool textBack = PumpUntil([&] { return sink.received.find(text) != std::string::npos; }, 5000);

    Put(port, L"DataMode", CVariant(2L));  // BINARYJS
    const std::string bytes("\x01\x02\x7F\x80\xFF", 5);
    CSafeArray array = CSafeArray::CreateVector(VT_UI1, ULONG(bytes.size()));
    {
        CSafeArrayLock lock(array.Get());
        memcpy(lock.Data(), bytes.data(), bytes.size());
    }
    CVariant arrayArg;
    V_VT(&arrayArg) = VT_ARRAY | VT_UI1;
    V_ARRAY(&arrayArg) = array.Detach();
    printf("DataMode = BINARYJS; Send byte array [1 2 127 128 255] -> %s\n",
           Text(Call(port, L"Send", DISPATCH_METHOD, {arrayArg})).c_str());
    const bool bytesBack = PumpUntil([&] { return sink.received.find(bytes) != std::string::npos; }, 5000);
    return textBack && bytesBack;
}

// Our DTR/RTS reach the far end; the far end's DTR/RTS come back as DSR/CTS.
bool ExerciseModemLines(IDispatch* port, CEchoPeer& peer)
{
    printf("DTR = True, RTS = True\n");
    Put(port, L"DTR", CVariant(true));
    Put(port, L"RTS", CVariant(true));
    const bool peerSees = peer.WaitForModemStatus(MS_DSR_ON | MS_CTS_ON, MS_DSR_ON | MS_CTS_ON, 2000);
    printf("  the far end sees DSR %s, CTS %s\n", peer.ModemStatus() & MS_DSR_ON ? "on" : "off",
           peer.ModemStatus() & MS_CTS_ON ? "on" : "off");

    printf("far end raises DTR and RTS\n");
    peer.SetLines(true, true);
    PumpUntil([&] { return Get(port, L"DSR") == "True" && Get(port, L"CTS") == "True"; }, 2000);
    Pump(200);  // lets the line events through
    const std::string dsr = Get(port, L"DSR"), cts = Get(port, L"CTS");
    printf("  DSR = %s, CTS = %s, RI = %s (read through the control)\n", dsr.c_str(), cts.c_str(),
           Get(port, L"RI").c_str());

    printf("far end drops DTR\n");
    peer.SetLines(false, true);
    const bool dropped = PumpUntil([&] { return Get(port, L"DSR") == "False"; }, 2000);
    Pump(200);
    printf("  DSR = %s, CTS = %s\n", Get(port, L"DSR").c_str(), Get(port, L"CTS").c_str());
    return peerSees && dsr == "True" && cts == "True" && dropped;
}

int RunDemo()
{
    printf("Tarvel control demo (%s)\n", TARVEL_ARCH_LABEL);
    CComRef<IDispatch> port = CreateControl();
    if (!port) return 1;
    auto* sink = new CPrintingSink;
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    CCommEventLink events(port.Get(), sink);
    if (!events.Connected()) {
        printf("cannot connect to the control's events\n");
        return 1;
    }

    CNullModemPair pair;
    if (!pair.Lease()) {
        printf("no virtual null-modem pair: run through tools/wine/wine-run.sh with the test bed built\n");
        return 1;
    }
    CEchoPeer peer;
    if (!peer.Start(pair.PortB(), false, false)) {
        printf("cannot open the far end COM%d\n", pair.PortB());
        return 1;
    }
    printf("virtual null-modem pair: COM%d <-> COM%d (COM%d echoes every byte)\n", pair.PortA(), pair.PortB(),
           pair.PortB());
    printf("PortsAvailable = %s\n", Get(port.Get(), L"PortsAvailable").c_str());

    if (!Connect(port.Get(), *sink, pair.PortA())) return 1;
    const bool echoed = ExchangeData(port.Get(), *sink);
    const bool lines = ExerciseModemLines(port.Get(), peer);
    printf("Connected = False\n");
    Put(port.Get(), L"Connected", CVariant(false));
    PumpUntil([&] { return sink->disconnects > 0; }, 2000);

    const bool ok = echoed && lines && sink->connects == 1 && sink->disconnects == 1;
    printf("%s: echoes %s, modem lines %s\n", ok ? "demo passed" : "demo FAILED", echoed ? "ok" : "missing",
           lines ? "ok" : "wrong");
    return ok ? 0 : 1;
}

}  // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const int rc = RunDemo();
    CoUninitialize();
    fflush(stdout);
    return rc;
}
