// The control through IDispatch by name, its events on a virtual null-modem, storage
// persistence and its type information read from the exe's own type library.
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>

#include <string>

#include "common/tarvel_ids.h"
#include "control/tarvel_ctrl.h"
#include "control/version_text.h"
#include "framework/fw_module.h"
#include "res/dispids.h"
#include "tests/framework/test_com.h"
#include "tests/support/control_environment.h"

namespace {

// Runs the message loop until `done` holds or `ms` pass.
template <class Pred>
bool PumpUntil(Pred done, DWORD ms = 3000)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return true;
}

const wchar_t* const kMembers[][2] = {
    {L"Port", nullptr}, {L"BaudRate", nullptr}, {L"DataBits", nullptr}, {L"Parity", L"parity"},
    {L"StopBits", nullptr}, {L"Error", nullptr}, {L"ErrorDescription", nullptr}, {L"Connected", nullptr},
    {L"PortsAvailable", nullptr}, {L"DataMode", nullptr}, {L"NullSubst", nullptr},
    {L"RecvIntervalTimeout", nullptr}, {L"DTR", L"dtr"}, {L"RTS", nullptr}, {L"DSR", nullptr}, {L"CTS", nullptr},
    {L"RI", nullptr}, {L"RecvSizeThreshold", nullptr}, {L"Version", nullptr}, {L"Send", nullptr},
    {L"GetPortFriendlyName", nullptr}, {L"AboutBox", nullptr},
};
const DISPID kMemberIds[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 40, 41, -552};

class Ctrl : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctl = new CTarvelCtrl;
        ASSERT_EQ(ctl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
        sink = new CTestEventSink(DIID__DTarvelEvents);
        IConnectionPointContainer* cpc = nullptr;
        ASSERT_EQ(ctl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
        IConnectionPoint* cp = nullptr;
        ASSERT_EQ(cpc->FindConnectionPoint(DIID__DTarvelEvents, &cp), S_OK);
        cpc->Release();
        ASSERT_EQ(cp->Advise(static_cast<IDispatch*>(sink), &cookie), S_OK);
        cp->Release();  // the control drops its sinks when it goes
    }
    void TearDown() override
    {
        if (hPeer != INVALID_HANDLE_VALUE) CloseHandle(hPeer);
        if (disp) disp->Release();
        if (ctl) ctl->Release();
        if (sink) sink->Release();
        EXPECT_EQ(FrameworkDllCanUnloadNow(), S_OK) << "an object of the module outlived its release";
    }
    HRESULT Call(DISPID id, WORD flags, std::initializer_list<CVariant> args, CVariant* result = nullptr)
    {
        std::vector<VARIANT> reversed(args.size());
        size_t i = args.size();
        for (const auto& a : args) reversed[--i] = a;  // shallow: args outlive the call
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS p{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr, UINT(args.size()),
                     flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
        EXCEPINFO ex{};
        UINT bad = 0;
        return disp->Invoke(id, IID_NULL, 0, flags, &p, result, &ex, &bad);
    }
    HRESULT Put(DISPID id, CVariant v) { return Call(id, DISPATCH_PROPERTYPUT, {v}); }
    CVariant Get(DISPID id)
    {
        CVariant r;
        EXPECT_EQ(Call(id, DISPATCH_PROPERTYGET, {}, &r), S_OK) << id;
        return r;
    }
    long GetLong(DISPID id)
    {
        CVariant v = Get(id);
        EXPECT_EQ(v.ChangeType(VT_I4), S_OK);
        return V_I4(&v);
    }
    bool Connect(CNullModemPair& pair)
    {
        if (!pair.Lease()) return false;
        Put(DISPID_TARVEL_PORT, CVariant(long(pair.PortA())));
        Put(DISPID_TARVEL_CONNECTED, CVariant(true));
        hPeer = CreateFileA(pair.DeviceName(CNullModemPair::B).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
        COMMTIMEOUTS t{0, 0, 2000, 0, 2000};
        SetCommTimeouts(hPeer, &t);
        return hPeer != INVALID_HANDLE_VALUE && GetLong(DISPID_TARVEL_CONNECTED) != 0;
    }
    std::vector<const CTestEventSink::Call*> Events(int kind) const
    {
        std::vector<const CTestEventSink::Call*> out;
        for (const auto& c : sink->calls)
            if (c.dispid == DISPID_TARVEL_COMMEVENT && c.args.size() == 2 && V_VT(&c.args[0]) == VT_I2 &&
                V_I2(&c.args[0]) == kind)
                out.push_back(&c);
        return out;
    }
    void PeerWrite(const std::string& bytes)
    {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(hPeer, bytes.data(), DWORD(bytes.size()), &n, nullptr));
    }

    CTarvelCtrl* ctl = nullptr;
    IDispatch* disp = nullptr;
    CTestEventSink* sink = nullptr;
    DWORD cookie = 0;
    HANDLE hPeer = INVALID_HANDLE_VALUE;
};

TEST_F(Ctrl, NamesResolveWithoutCaseAndReadsAnswer)
{
    for (size_t i = 0; i < std::size(kMembers); ++i) {
        for (const wchar_t* spelling : {kMembers[i][0], kMembers[i][1]}) {
            if (!spelling) continue;
            std::wstring upper = spelling;
            CharUpperBuffW(&upper[0], DWORD(upper.size()));
            for (const std::wstring& name : {std::wstring(spelling), upper}) {
                LPOLESTR n = const_cast<LPOLESTR>(name.c_str());
                DISPID id = 0;
                EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << name;
                EXPECT_EQ(id, kMemberIds[i]) << name;
            }
        }
        if (kMemberIds[i] > 0 && kMemberIds[i] < 20) {  // properties only: AboutBox is modal
            CVariant r;
            EXPECT_EQ(Call(kMemberIds[i], DISPATCH_PROPERTYGET, {}, &r), S_OK) << kMembers[i][0];
            EXPECT_NE(V_VT(&r), VT_EMPTY) << kMembers[i][0];
        }
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMember");
    DISPID id = 0;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(Ctrl, ConstructionDefaultsVersionAndMethods)
{
    const struct { DISPID id; long value; } defaults[] = {
        {DISPID_TARVEL_PORT, 1}, {DISPID_TARVEL_BAUDRATE, 9600}, {DISPID_TARVEL_DATABITS, 8},
        {DISPID_TARVEL_PARITY, 0}, {DISPID_TARVEL_STOPBITS, 0}, {DISPID_TARVEL_ERROR, 0},
        {DISPID_TARVEL_CONNECTED, 0}, {DISPID_TARVEL_DATAMODE, 0}, {DISPID_TARVEL_NULLSUBST, 32},
        {DISPID_TARVEL_RECVSIZETHRESHOLD, 1000},
        {DISPID_TARVEL_RECVINTERVALTIMEOUT, 30}, {DISPID_TARVEL_DTR, 0}, {DISPID_TARVEL_RTS, 0},
    };
    for (const auto& d : defaults) EXPECT_EQ(GetLong(d.id), d.value) << d.id;

    CVariant v1 = Get(DISPID_TARVEL_VERSION), v2 = Get(DISPID_TARVEL_VERSION);
    ASSERT_EQ(V_VT(&v1), VT_BSTR);
    ASSERT_EQ(V_VT(&v2), VT_BSTR);
    EXPECT_NE(V_BSTR(&v1), V_BSTR(&v2)) << "each read hands out its own string";
    EXPECT_EQ(std::wstring(V_BSTR(&v1)), std::wstring(L"1.3.0 (") + (sizeof(void*) == 8 ? L"x64" : L"x86") + L")");

    // Send never looks at the port: its result says only whether the argument converted.
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    CVariant grid;
    V_VT(&grid) = VT_ARRAY | VT_UI1;
    V_ARRAY(&grid) = SafeArrayCreate(VT_UI1, 2, square);
    const struct { CVariant arg; long code; } sends[] = {
        {CVariant(L"AB"), 0}, {CVariant(7L), 0}, {CVariant(3.5), 2}, {grid, 3},
    };
    for (const auto& s : sends) {
        CVariant r;
        EXPECT_EQ(Call(DISPID_TARVEL_SEND, DISPATCH_METHOD, {s.arg}, &r), S_OK);
        EXPECT_EQ(r.ChangeType(VT_I4), S_OK);
        EXPECT_EQ(V_I4(&r), s.code);
    }
    CVariant name;
    EXPECT_EQ(Call(DISPID_TARVEL_GETPORTFRIENDLYNAME, DISPATCH_METHOD, {CVariant(0L)}, &name), S_OK);
    ASSERT_EQ(V_VT(&name), VT_BSTR);
    EXPECT_EQ(SysStringLen(V_BSTR(&name)), 0u);
}

TEST_F(Ctrl, MissingPortReportsErrorAndOneDisconnect)
{
    EXPECT_EQ(Put(DISPID_TARVEL_PORT, CVariant(long(kFirstMissingCom + 2))), S_OK);
    EXPECT_EQ(Put(DISPID_TARVEL_CONNECTED, CVariant(true)), S_OK);
    PumpUntil([&] { return !Events(EVT_DISCONNECT).empty(); }, 1000);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(Events(EVT_DISCONNECT).size(), 1u);
    EXPECT_TRUE(Events(EVT_CONNECT).empty());
    EXPECT_EQ(GetLong(DISPID_TARVEL_CONNECTED), 0);
    EXPECT_EQ(GetLong(DISPID_TARVEL_ERROR), 219);
    CVariant text = Get(DISPID_TARVEL_ERRORDESCRIPTION);
    ASSERT_EQ(V_VT(&text), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(&text)), L"Unknown port number");
}

TEST_F(Ctrl, EventsOnTheNullModem)
{
    CNullModemPair pair;
    if (!pair.Lease()) GTEST_SKIP() << "no test bed";
    pair.Release();
    ASSERT_TRUE(Connect(pair));
    ASSERT_TRUE(PumpUntil([&] { return !Events(EVT_CONNECT).empty(); }));
    EXPECT_EQ(V_VT(&Events(EVT_CONNECT)[0]->args[1]), VT_EMPTY);

    // Received data in each mode.
    for (long mode : {0L, 1L, 2L}) {
        SCOPED_TRACE(mode);
        Put(DISPID_TARVEL_DATAMODE, CVariant(mode));
        Put(DISPID_TARVEL_NULLSUBST, CVariant(long('.')));
        sink->calls.clear();
        PeerWrite(std::string("x\0y", 3));
        ASSERT_TRUE(PumpUntil([&] { return !Events(EVT_DATA).empty(); }));
        PumpUntil([] { return false; }, 150);  // any split delivery
        const CVariant& data = Events(EVT_DATA)[0]->args[1];
        if (mode == 0) {
            ASSERT_EQ(V_VT(&data), VT_ARRAY | VT_UI1);
            const auto* bytes = static_cast<const BYTE*>(V_ARRAY(&data)->pvData);
            EXPECT_EQ(V_ARRAY(&data)->rgsabound[0].cElements, 3u);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 3), std::string("x\0y", 3));
        } else if (mode == 1) {
            ASSERT_EQ(V_VT(&data), VT_BSTR);
            EXPECT_EQ(std::wstring(V_BSTR(&data)), L"x.y");
        } else {
            ASSERT_EQ(V_VT(&data), VT_ARRAY | VT_VARIANT);
            ASSERT_EQ(V_ARRAY(&data)->rgsabound[0].cElements, 3u);
            const auto* items = static_cast<const VARIANT*>(V_ARRAY(&data)->pvData);
            EXPECT_EQ(V_VT(&items[2]), VT_UI1);
            EXPECT_EQ(V_UI1(&items[2]), 'y');
        }
    }

    // Send reaches the peer.
    CVariant r;
    EXPECT_EQ(Call(DISPID_TARVEL_SEND, DISPATCH_METHOD, {CVariant(L"AB")}, &r), S_OK);
    EXPECT_EQ(r.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(V_I4(&r), 0);
    char got[2] = {};
    DWORD n = 0;
    ReadFile(hPeer, got, 2, &n, nullptr);
    EXPECT_EQ(std::string(got, n), "AB");

    // Our outputs arrive as the peer's inputs, the peer's as ours.
    DWORD status = 0;
    Put(DISPID_TARVEL_DTR, CVariant(true));
    Put(DISPID_TARVEL_RTS, CVariant(true));
    PumpUntil([] { return false; }, 100);
    GetCommModemStatus(hPeer, &status);
    EXPECT_TRUE(status & MS_DSR_ON);
    EXPECT_TRUE(status & MS_CTS_ON);
    Put(DISPID_TARVEL_DTR, CVariant(false));
    PumpUntil([] { return false; }, 100);
    GetCommModemStatus(hPeer, &status);
    EXPECT_FALSE(status & MS_DSR_ON);

    sink->calls.clear();
    EscapeCommFunction(hPeer, SETDTR);
    EscapeCommFunction(hPeer, SETRTS);
    pair.SetRing(CNullModemPair::A, true);
    EXPECT_TRUE(PumpUntil([&] { return GetLong(DISPID_TARVEL_DSR) && GetLong(DISPID_TARVEL_CTS) &&
                                       GetLong(DISPID_TARVEL_RI); }));
    ASSERT_TRUE(PumpUntil([&] { return !Events(EVT_SERIALEVENT).empty(); }));
    long mask = 0;
    for (const auto* e : Events(EVT_SERIALEVENT)) {
        ASSERT_EQ(V_VT(&e->args[1]), VT_I4);
        mask |= V_I4(&e->args[1]);
    }
    EXPECT_TRUE(mask & (TARVEL_EV_DSR | TARVEL_EV_CTS | TARVEL_EV_RING)) << mask;

    sink->calls.clear();
    Put(DISPID_TARVEL_CONNECTED, CVariant(false));
    EXPECT_TRUE(PumpUntil([&] { return !Events(EVT_DISCONNECT).empty(); }));
    EXPECT_EQ(GetLong(DISPID_TARVEL_CONNECTED), 0);
}

TEST_F(Ctrl, SinkReleasingTheLastReferenceInsideItsHandler)
{
    CNullModemPair pair;
    if (!pair.Lease()) GTEST_SKIP() << "no test bed";
    pair.Release();
    ASSERT_TRUE(Connect(pair));
    ASSERT_TRUE(PumpUntil([&] { return !Events(EVT_CONNECT).empty(); }));
    bool released = false;
    sink->onInvoke = [&] {
        if (released) return;
        released = true;
        disp->Release();
        disp = nullptr;
        ctl->Release();  // the host's last reference
        ctl = nullptr;
    };
    PeerWrite("hello");
    ASSERT_TRUE(PumpUntil([&] { return released; }));
    PumpUntil([] { return false; }, 300);
    PeerWrite("more");  // nobody listens any more
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(FrameworkDllCanUnloadNow(), S_OK);
}

TEST_F(Ctrl, StorageRoundTrip)
{
    Put(DISPID_TARVEL_BAUDRATE, CVariant(19200L));
    Put(DISPID_TARVEL_PARITY, CVariant(2L));
    IStorage* stg = nullptr;
    ASSERT_EQ(StgCreateDocfile(nullptr, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DELETEONRELEASE,
                               0, &stg), S_OK);
    IPersistStorage* ps = nullptr;
    ASSERT_EQ(ctl->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&ps)), S_OK);
    EXPECT_EQ(ps->Save(stg, FALSE), S_OK);
    EXPECT_EQ(ps->SaveCompleted(nullptr), S_OK);
    ps->Release();

    CTarvelCtrl* other = new CTarvelCtrl;
    IPersistStorage* load = nullptr;
    ASSERT_EQ(other->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&load)), S_OK);
    EXPECT_EQ(load->Load(stg), S_OK);
    EXPECT_EQ(other->settings.BaudRate, 19200);
    EXPECT_EQ(other->settings.Parity, 2);
    load->HandsOffStorage();
    load->Release();
    other->Release();
    stg->Release();
}

// The exe carries the type library; registered for the test's duration.
class CRegisteredTypeLib {
public:
    CRegisteredTypeLib()
    {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        hr = LoadTypeLibEx(path, REGKIND_REGISTER, &lib);
    }
    ~CRegisteredTypeLib()
    {
        if (!lib) return;
        TLIBATTR* a = nullptr;
        lib->GetLibAttr(&a);
        UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind);
        lib->ReleaseTLibAttr(a);
        lib->Release();
    }
    HRESULT hr;
    ITypeLib* lib = nullptr;
};

TEST_F(Ctrl, ClassInfoAndDispatchIdsMatchTheTypeLibrary)
{
    CRegisteredTypeLib tl;
    ASSERT_EQ(tl.hr, S_OK);
    IProvideClassInfo* pci = nullptr;
    ASSERT_EQ(ctl->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pci)), S_OK);
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(pci->GetClassInfo(&coclass), S_OK);
    pci->Release();
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_Tarvel));
    bool defaultSource = false;
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
        INT flags = 0;
        coclass->GetImplTypeFlags(i, &flags);
        if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
            continue;
        HREFTYPE ref = 0;
        ITypeInfo* source = nullptr;
        coclass->GetRefTypeOfImplType(i, &ref);
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, &source), S_OK);
        TYPEATTR* sa = nullptr;
        source->GetTypeAttr(&sa);
        defaultSource = IsEqualGUID(sa->guid, DIID__DTarvelEvents);
        source->ReleaseTypeAttr(sa);
        source->Release();
    }
    coclass->ReleaseTypeAttr(attr);
    coclass->Release();
    EXPECT_TRUE(defaultSource);

    ITypeInfo* dispInfo = nullptr;
    ASSERT_EQ(tl.lib->GetTypeInfoOfGuid(DIID__DTarvel, &dispInfo), S_OK);
    for (const auto& m : kMembers) {
        LPOLESTR name = const_cast<LPOLESTR>(m[0]);
        MEMBERID fromLib = 0;
        DISPID fromMap = 0;
        EXPECT_EQ(dispInfo->GetIDsOfNames(&name, 1, &fromLib), S_OK) << m[0];
        EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, &name, 1, 0, &fromMap), S_OK) << m[0];
        EXPECT_EQ(fromLib, fromMap) << m[0];
    }
    dispInfo->Release();
    ITypeInfo* viaDispatch = nullptr;
    EXPECT_EQ(disp->GetTypeInfo(0, 0, &viaDispatch), S_OK);
    if (viaDispatch) viaDispatch->Release();
}

}  // namespace
