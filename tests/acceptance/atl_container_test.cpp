// The registered control hosted by Wine's ATL container (atl.dll, created by ProgID), with our
// own sink on its event connection point, driven end to end on a virtual null-modem pair
// whose far end echoes.
#include "acceptance_support.h"

#include <cstring>

#include "common/tarvel_ids.h"
#include "tools/demo/echo_peer.h"

namespace {

using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxCreateControlExFn = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**, IUnknown**, REFIID,
                                                IUnknown*);

enum { EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_SERIALEVENT = 2, EVT_CONNECT = 3 };
constexpr long kEvDsr = 0x10;
constexpr int kMissingPort = 3;

CVariant ByteArray(const std::string& bytes)
{
    CSafeArray array = CSafeArray::CreateVector(VT_UI1, ULONG(bytes.size()));
    {
        CSafeArrayLock lock(array.Get());
        memcpy(lock.Data(), bytes.data(), bytes.size());
    }
    CVariant v;
    V_VT(&v) = VT_ARRAY | VT_UI1;
    V_ARRAY(&v) = array.Detach();
    return v;
}

// The bytes of one EVT_DATA argument in the form the DataMode chose; false when its form is
// not the one `mode` prescribes.
bool BytesOfData(const VARIANT& data, long mode, std::string& bytes)
{
    if (mode == 1) {
        if (V_VT(&data) != VT_BSTR) return false;
        for (UINT i = 0; i < SysStringLen(V_BSTR(&data)); ++i) bytes += char(V_BSTR(&data)[i]);
        return true;
    }
    const VARTYPE want = mode == 0 ? VARTYPE(VT_ARRAY | VT_UI1) : VARTYPE(VT_ARRAY | VT_VARIANT);
    if (V_VT(&data) != want || SafeArrayGetDim(V_ARRAY(&data)) != 1) return false;
    LONG lower = 1, upper = 0;
    SafeArrayGetLBound(V_ARRAY(&data), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&data), 1, &upper);
    if (lower != 0) return false;
    CSafeArrayLock lock(V_ARRAY(&data));
    for (LONG i = 0; i <= upper; ++i) {
        if (mode == 0) {
            bytes += char(lock.As<BYTE>()[i]);
        } else {
            const VARIANT& element = lock.As<VARIANT>()[i];
            if (V_VT(&element) != VT_UI1) return false;
            bytes += char(V_UI1(&element));
        }
    }
    return true;
}

class AtlContainer : public AcceptanceTest {
protected:
    void SetUp() override
    {
        AcceptanceTest::SetUp();
        ASSERT_EQ(0u, RegisterModuleWithRegsvr32());
        atl = LoadLibraryW(L"atl.dll");
        if (!atl) atl = LoadLibraryW(L"atl100.dll");
        ASSERT_NE(nullptr, atl);
        auto init = reinterpret_cast<AtlAxWinInitFn>(reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
        createControl = reinterpret_cast<AtlAxCreateControlExFn>(
            reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxCreateControlEx")));
        ASSERT_NE(nullptr, init);
        ASSERT_NE(nullptr, createControl);
        init();  // FALSE once the class exists: creating the window is the check
        frame = CreateWindowExW(0, L"STATIC", L"Tarvel acceptance", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, frame);
        host = CreateWindowExW(0, L"AtlAxWin", L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 100, frame, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, host);
        ASSERT_EQ(S_OK, createControl(L"" TARVEL_PROGID_CTRL, host, nullptr, container.Put(), control.Put(),
                                      IID_NULL, nullptr));
        ASSERT_TRUE(control);
        ASSERT_EQ(S_OK, control.QueryTo(IID_IDispatch, dispatch));
        PumpFor(50);
    }

    void TearDown() override
    {
        dispatch.Reset();
        control.Reset();
        if (host && IsWindow(host)) DestroyWindow(host);
        if (frame && IsWindow(frame)) DestroyWindow(frame);
        container.Reset();
        AcceptanceTest::TearDown();
    }

    void Put(const wchar_t* name, CVariant value) { EXPECT_EQ(S_OK, PutByName(dispatch.Get(), name, value)); }

    long Send(CVariant data)
    {
        CVariant result;
        EXPECT_EQ(S_OK, CallByName(dispatch.Get(), L"Send", {data}, result));
        EXPECT_EQ(VT_I4, V_VT(&result));
        return V_I4(&result);
    }

    // Collects EVT_DATA from index `from` on until `count` bytes arrived; each event must
    // carry the form `mode` prescribes.
    std::string ReceiveBytes(CRecordingSink& sink, size_t& from, size_t count, long mode)
    {
        std::string bytes;
        PumpUntil([&] {
            for (; from < sink.events.size(); ++from) {
                const auto& e = sink.events[from];
                if (e.kind != EVT_DATA) continue;
                EXPECT_TRUE(BytesOfData(e.data, mode, bytes)) << "DataMode " << mode << " gave type " << V_VT(&e.data);
            }
            return bytes.size() >= count;
        });
        return bytes;
    }

    HMODULE atl = nullptr;
    AtlAxCreateControlExFn createControl = nullptr;
    HWND frame = nullptr;
    HWND host = nullptr;
    CComRef<IUnknown> container, control;
    CComRef<IDispatch> dispatch;
};

TEST_F(AtlContainer, ControlIsSitedAndActivatedAsAnInvisibleControl)
{
    CComRef<IOleObject> ole;
    ASSERT_EQ(S_OK, control.QueryTo(IID_IOleObject, ole));
    CComRef<IOleClientSite> site;
    EXPECT_EQ(S_OK, ole->GetClientSite(site.Put()));
    EXPECT_TRUE(site) << "the container sited the control";
    DWORD misc = 0;
    EXPECT_EQ(S_OK, ole->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(0x20583u, misc);
    EXPECT_EQ(L"1.3.0 (" TARVEL_ARCH_LABEL ")", GetString(dispatch.Get(), L"Version"));
    EXPECT_EQ(9600, GetLong(dispatch.Get(), L"BaudRate")) << "initialised as new by the container";
}

TEST_F(AtlContainer, DrivesTheControlEndToEndOnAnEchoingPair)
{
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
    CEchoPeer peer;
    ASSERT_TRUE(peer.Start(pair.PortB(), false, false));
    auto* sink = new CRecordingSink;
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    CCommEventLink events(control.Get(), sink);
    ASSERT_TRUE(events.Connected());

    // Line settings through automation by name; read back as written.
    Put(L"Port", CVariant(long(pair.PortA())));
    Put(L"BaudRate", CVariant(57600L));
    Put(L"DataBits", CVariant(8L));
    Put(L"Parity", CVariant(2L));  // EVENPARITY
    Put(L"StopBits", CVariant(2L));  // TWOSTOPBITS
    Put(L"Connected", CVariant(true));
    ASSERT_TRUE(GetBool(dispatch.Get(), L"Connected")) << "Error " << GetLong(dispatch.Get(), L"Error");
    EXPECT_EQ(0, GetLong(dispatch.Get(), L"Error"));
    EXPECT_EQ(57600, GetLong(dispatch.Get(), L"BaudRate"));
    EXPECT_EQ(2, GetLong(dispatch.Get(), L"Parity"));
    EXPECT_EQ(2, GetLong(dispatch.Get(), L"StopBits"));
    ASSERT_TRUE(PumpUntil([&] { return sink->Count(EVT_CONNECT) == 1; }));

    // Each DataMode: what goes out comes back in the form the mode chose.
    size_t next = 0;
    Put(L"DataMode", CVariant(0L));
    const std::string binary("\x00\x7F\x80\xFF\x41", 5);
    EXPECT_EQ(0, Send(ByteArray(binary)));
    EXPECT_EQ(binary, ReceiveBytes(*sink, next, binary.size(), 0));

    Put(L"DataMode", CVariant(1L));  // TEXT, NullSubst 32 turns the zero byte into a space
    EXPECT_EQ(0, Send(CVariant(CBstr(L"A\0B", 3))));
    EXPECT_EQ("A B", ReceiveBytes(*sink, next, 3, 1));

    Put(L"DataMode", CVariant(2L));  // BINARYJS
    EXPECT_EQ(0, Send(CVariant(300L)));  // the low byte, 0x2C
    EXPECT_EQ(0, Send(CVariant(L"xyz")));
    EXPECT_EQ(",xyz", ReceiveBytes(*sink, next, 4, 2));
    EXPECT_EQ(2, Send(CVariant(2.5))) << "a fractional number is refused";
    EXPECT_EQ(binary + std::string("A\0B", 3) + ",xyz", peer.Received());

    // Modem lines: ours reach the peer, the peer's reach us (with an EV_DSR line event).
    EXPECT_FALSE(GetBool(dispatch.Get(), L"DSR"));
    Put(L"DTR", CVariant(true));
    Put(L"RTS", CVariant(true));
    EXPECT_TRUE(peer.WaitForModemStatus(MS_DSR_ON | MS_CTS_ON, MS_DSR_ON | MS_CTS_ON, 2000));
    Put(L"RTS", CVariant(false));
    EXPECT_TRUE(peer.WaitForModemStatus(MS_DSR_ON | MS_CTS_ON, MS_DSR_ON, 2000));
    peer.SetLines(true, false);
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& e : sink->events)
            if (e.kind == EVT_SERIALEVENT && V_VT(&e.data) == VT_I4 && (V_I4(&e.data) & kEvDsr)) return true;
        return false;
    })) << "EVT_SERIALEVENT with EV_DSR";
    EXPECT_TRUE(GetBool(dispatch.Get(), L"DSR"));
    EXPECT_FALSE(GetBool(dispatch.Get(), L"CTS"));
    peer.SetLines(true, true);
    EXPECT_TRUE(PumpUntil([&] { return GetBool(dispatch.Get(), L"CTS"); }, 2000));
    EXPECT_FALSE(GetBool(dispatch.Get(), L"RI"));

    // Discovery: both ends of the pair are present; the device manager's name of a port.
    const std::wstring ports = L"," + GetString(dispatch.Get(), L"PortsAvailable") + L",";
    EXPECT_NE(std::wstring::npos, ports.find(L"," + std::to_wstring(pair.PortA()) + L",")) << ports.c_str();
    EXPECT_NE(std::wstring::npos, ports.find(L"," + std::to_wstring(pair.PortB()) + L",")) << ports.c_str();
    EXPECT_EQ(std::wstring::npos, ports.find(L",3,"));
    {
        CFakePortDevice device(pair.PortA(), "Acceptance Serial Port");
        ASSERT_TRUE(device.ready);
        CVariant name;
        EXPECT_EQ(S_OK, CallByName(dispatch.Get(), L"GetPortFriendlyName", {CVariant(long(pair.PortA()))}, name));
        ASSERT_EQ(VT_BSTR, V_VT(&name));
        EXPECT_STREQ(L"Acceptance Serial Port", V_BSTR(&name));
    }
    CVariant none;
    EXPECT_EQ(S_OK, CallByName(dispatch.Get(), L"GetPortFriendlyName", {CVariant(long(kMissingPort))}, none));
    ASSERT_EQ(VT_BSTR, V_VT(&none));
    EXPECT_EQ(0u, SysStringLen(V_BSTR(&none)));

    // Disconnect: reads false at once, EVT_DISCONNECT follows, the peer sees our lines drop.
    Put(L"Connected", CVariant(false));
    EXPECT_FALSE(GetBool(dispatch.Get(), L"Connected"));
    EXPECT_TRUE(PumpUntil([&] { return sink->Count(EVT_DISCONNECT) == 1; }));
    EXPECT_TRUE(peer.WaitForModemStatus(MS_DSR_ON | MS_CTS_ON, 0, 2000));
    EXPECT_EQ(0, sink->badCalls);
}

TEST_F(AtlContainer, ConnectingToAMissingPortReportsUnknownPort)
{
    auto* sink = new CRecordingSink;
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    CCommEventLink events(control.Get(), sink);
    ASSERT_TRUE(events.Connected());
    Put(L"Port", CVariant(long(kMissingPort)));
    Put(L"Connected", CVariant(true));
    EXPECT_FALSE(GetBool(dispatch.Get(), L"Connected"));
    EXPECT_EQ(219, GetLong(dispatch.Get(), L"Error"));
    EXPECT_EQ(L"Unknown port number", GetString(dispatch.Get(), L"ErrorDescription"));
    EXPECT_TRUE(PumpUntil([&] { return sink->Count(EVT_DISCONNECT) == 1; }));
    EXPECT_EQ(0, sink->Count(EVT_CONNECT));
}

// After the container and every client reference are gone the module may unload.
TEST_F(AtlContainer, ReleasingTheContainerReleasesTheControl)
{
    HMODULE module = GetModuleHandleW(L"Tarvel.ocx");
    ASSERT_NE(nullptr, module);
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_FALSE, canUnload());
    dispatch.Reset();
    control.Reset();
    DestroyWindow(host);
    host = nullptr;
    container.Reset();
    PumpFor(100);
    EXPECT_EQ(S_OK, canUnload());
}

}  // namespace
