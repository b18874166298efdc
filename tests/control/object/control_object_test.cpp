// The control object through its COM interfaces, created in-process: automation write rules,
// persistence, reconnect on load, fixed extent and the design-time drawing.
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>

#include <cstdlib>
#include <string>

#include "common/tarvel_ids.h"
#include "control/tarvel_ctrl.h"
#include "control/version_text.h"
#include "framework/fw_module.h"
#include "framework/prop_blob.h"
#include "res/dispids.h"
#include "tests/framework/test_com.h"
#include "tests/support/far_end.h"
#include "tests/support/recording_port.h"
#include "tests/support/control_environment.h"

namespace {

void Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD now = start; now - start < ms; now = GetTickCount()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - (now - start), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

// Loads a stream holding `bytes` into the control through IPersistStreamInit.
HRESULT LoadStream(IUnknown* control, const std::vector<uint8_t>& bytes)
{
    IStream* s = nullptr;
    CreateStreamOnHGlobal(nullptr, TRUE, &s);
    s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER start{};
    s->Seek(start, STREAM_SEEK_SET, nullptr);
    IPersistStreamInit* p = nullptr;
    control->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&p));
    const HRESULT hr = p->Load(s);
    p->Release();
    s->Release();
    return hr;
}

// One control, released at the end; events recorded by a sink on its connection point.
class Control : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctl = new CTarvelCtrl;  // starts with one reference: ours
        ASSERT_EQ(ctl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
        IConnectionPointContainer* cpc = nullptr;
        ASSERT_EQ(ctl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID__DTarvelEvents, &cp), S_OK);
        cpc->Release();
        sink = new CTestEventSink(DIID__DTarvelEvents);
        ASSERT_EQ(cp->Advise(static_cast<IDispatch*>(sink), &cookie), S_OK);
    }
    void TearDown() override
    {
        // The event's kind argument is a whole, zeroed VARIANT: only its type and value set.
        for (const auto& c : sink ? sink->calls : std::vector<CTestEventSink::Call>()) {
            VARIANT expected = {};
            V_VT(&expected) = VT_I2;
            V_I2(&expected) = V_I2(&c.args[0]);
            EXPECT_EQ(memcmp(&c.raw[0], &expected, sizeof expected), 0) << "stray bytes in CommEvent's kind";
        }
        if (cp) {
            cp->Unadvise(cookie);
            cp->Release();
        }
        if (sink) sink->Release();
        if (disp) disp->Release();
        if (ctl) ctl->Release();
        EXPECT_EQ(FrameworkDllCanUnloadNow(), S_OK) << "an object of the module outlived its release";
    }

    HRESULT Put(DISPID id, CVariant value)
    {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        return disp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    }
    CVariant Get(DISPID id)
    {
        CVariant result;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        EXPECT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
        return result;
    }
    long GetLong(DISPID id)
    {
        CVariant v = Get(id);
        EXPECT_EQ(v.ChangeType(VT_I4), S_OK);
        return V_I4(&v);
    }
    std::wstring GetText(DISPID id)
    {
        CVariant v = Get(id);
        return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"<no text>";
    }
    int CountEvents(int kind) const
    {
        int n = 0;
        for (const auto& c : sink->calls) n += c.dispid == DISPID_TARVEL_COMMEVENT && V_I2(&c.args[0]) == kind;
        return n;
    }
    template <class I>
    I* As(REFIID iid)
    {
        I* p = nullptr;
        EXPECT_EQ(ctl->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
        return p;
    }

    CTarvelCtrl* ctl = nullptr;
    IDispatch* disp = nullptr;
    IConnectionPoint* cp = nullptr;
    CTestEventSink* sink = nullptr;
    DWORD cookie = 0;
};

TEST_F(Control, WritesThroughAutomationFollowTheRangesAndNeverRaise)
{
    struct Case {
        DISPID id;
        long ignored;
        long accepted;
    } cases[] = {
        {DISPID_TARVEL_BAUDRATE, 1, 2},          {DISPID_TARVEL_DATABITS, 9, 5},
        {DISPID_TARVEL_PARITY, 5, 4},            {DISPID_TARVEL_STOPBITS, 3, 2},
        {DISPID_TARVEL_DATAMODE, 3, 2},          {DISPID_TARVEL_NULLSUBST, 256, 255},
        {DISPID_TARVEL_NULLSUBST, 70000, 0},     {DISPID_TARVEL_RECVINTERVALTIMEOUT, 1001, 1000},
        {DISPID_TARVEL_RECVINTERVALTIMEOUT, 0, 1}, {DISPID_TARVEL_RECVSIZETHRESHOLD, 100001, 100000},
        {DISPID_TARVEL_PORT, -5, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const long before = GetLong(c.id);
        EXPECT_EQ(Put(c.id, CVariant(c.ignored)), S_OK);
        EXPECT_EQ(GetLong(c.id), before);
        EXPECT_EQ(Put(c.id, CVariant(c.accepted)), S_OK);
        EXPECT_EQ(GetLong(c.id), c.accepted);
    }
    // Read-only properties accept writes and change nothing.
    for (DISPID id : {DISPID_TARVEL_ERRORDESCRIPTION, DISPID_TARVEL_PORTSAVAILABLE, DISPID_TARVEL_DSR,
                      DISPID_TARVEL_CTS, DISPID_TARVEL_RI, DISPID_TARVEL_VERSION}) {
        SCOPED_TRACE(id);
        CVariant before = Get(id);
        EXPECT_EQ(Put(id, CVariant(L"x")), S_OK);
        CVariant after = Get(id);
        EXPECT_EQ(VarCmp(&before, &after, 0, 0), static_cast<HRESULT>(VARCMP_EQ));
    }
    EXPECT_EQ(Put(DISPID_TARVEL_ERROR, CVariant(12345L)), S_OK);
    EXPECT_EQ(GetLong(DISPID_TARVEL_ERROR), 0);
    const std::string label = TARVEL_ARCH_LABEL;
    EXPECT_EQ(GetText(DISPID_TARVEL_VERSION), L"1.3.0 (" + std::wstring(label.begin(), label.end()) + L")");
}

TEST_F(Control, ModifiedOnlyByTheWritesThatPersist)
{
    IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(GetLong(DISPID_TARVEL_RECVINTERVALTIMEOUT), 100) << "a new control takes the persisted default";
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    // Initialised first and sited afterwards (OleCreate, a slow activation): siting applies
    // the fixed extent the control already has, which changes nothing.
    IOleObject* ole = As<IOleObject>(IID_IOleObject);
    auto* site = new CTestSite(nullptr);
    ASSERT_EQ(ole->SetClientSite(site), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE) << "nobody changed the control";
    ole->SetClientSite(nullptr);
    site->Release();
    ole->Release();
    Put(DISPID_TARVEL_NULLSUBST, CVariant(10L));
    Put(DISPID_TARVEL_RECVINTERVALTIMEOUT, CVariant(50L));
    Put(DISPID_TARVEL_DTR, CVariant(true));
    Put(DISPID_TARVEL_ERROR, CVariant(0L));
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    Put(DISPID_TARVEL_DATAMODE, CVariant(1L));
    EXPECT_EQ(persist->IsDirty(), S_OK);
    persist->Release();
}

TEST_F(Control, PropertyBagUsesDataRateAndTheConventionalEntries)
{
    Put(DISPID_TARVEL_BAUDRATE, CVariant(19200L));
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    auto* bag = new CTestPropertyBag;
    ASSERT_EQ(persist->Save(bag, TRUE, TRUE), S_OK);
    persist->Release();
    ASSERT_NE(bag->Find(L"DataRate"), nullptr);
    CVariant rate(*bag->Find(L"DataRate"));
    ASSERT_EQ(rate.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(V_I4(&rate), 19200);
    EXPECT_EQ(bag->Find(L"BaudRate"), nullptr);
    for (const wchar_t* name : {L"_Version", L"_ExtentX", L"_ExtentY", L"_StockProps", L"Port", L"Connected",
                                L"NullSubst", L"RecvIntervalTimeout", L"RecvSizeThreshold"})
        EXPECT_NE(bag->Find(name), nullptr) << name;
    CVariant version(*bag->Find(L"_Version"));
    ASSERT_EQ(version.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(V_I4(&version), 0x0001004A);

    // Loading it into a fresh control restores the rate.
    CTarvelCtrl* other = new CTarvelCtrl;
    IPersistPropertyBag* load = nullptr;
    other->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&load));
    EXPECT_EQ(load->Load(bag, nullptr), S_OK);
    EXPECT_EQ(other->settings.BaudRate, 19200);
    load->Release();
    other->Release();
    bag->Release();
}

TEST_F(Control, OldOrUncheckedStoredDataLoadsAsStored)
{
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    {
        auto* bag = new CTestPropertyBag;  // saved by version 1.1: none of our properties
        bag->SetText(L"_Version", L"65537");
        bag->SetText(L"RecvIntervalTimeout", L"500");
        EXPECT_EQ(persist->Load(bag, nullptr), S_OK);
        EXPECT_EQ(GetLong(DISPID_TARVEL_RECVINTERVALTIMEOUT), 30);
        bag->Release();
    }
    {
        auto* bag = new CTestPropertyBag;  // HTML <param> text, not range-checked
        bag->SetText(L"_Version", L"65610");
        bag->SetText(L"NullSubst", L"300");
        bag->SetText(L"DataRate", L"57600");
        EXPECT_EQ(persist->Load(bag, nullptr), S_OK);
        EXPECT_EQ(GetLong(DISPID_TARVEL_NULLSUBST), 300);
        EXPECT_EQ(GetLong(DISPID_TARVEL_BAUDRATE), 57600);
        EXPECT_EQ(GetLong(DISPID_TARVEL_RECVINTERVALTIMEOUT), 100) << "absent entries take their defaults";
        bag->Release();
    }
    persist->Release();
}

TEST_F(Control, StreamRoundTripAndDamagedStreamsRejected)
{
    Put(DISPID_TARVEL_BAUDRATE, CVariant(19200L));
    Put(DISPID_TARVEL_DATAMODE, CVariant(2L));
    IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
    IStream* stream = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(persist->Save(stream, TRUE), S_OK);
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    const ULONG size = stat.cbSize.LowPart;
    std::string saved(size, '\0');
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    stream->Read(&saved[0], size, nullptr);
    stream->Release();
    persist->Release();

    auto loadInto = [](CTarvelCtrl* target, const std::string& bytes) {
        return LoadStream(target->GetControllingUnknown(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    };
    CTarvelCtrl* other = new CTarvelCtrl;
    EXPECT_EQ(loadInto(other, saved), S_OK);
    EXPECT_EQ(other->settings.BaudRate, 19200);
    EXPECT_EQ(other->settings.DataMode, 2);

    // Every truncation and a few hundred random damages: a failure result or a clean load,
    // never a crash; truncated data is always refused.
    for (ULONG cut = 0; cut < size; ++cut) EXPECT_TRUE(FAILED(loadInto(other, saved.substr(0, cut)))) << cut;
    srand(42);
    for (int i = 0; i < 300; ++i) {
        std::string damaged = saved;
        for (int k = 0; k < 3; ++k) damaged[rand() % size] = static_cast<char>(rand());
        loadInto(other, damaged);
    }
    other->Release();
}

TEST_F(Control, ExtentIsFixedAndDrawingFillsTheBounds)
{
    IOleObject* ole = As<IOleObject>(IID_IOleObject);
    HDC screen = GetDC(nullptr);
    const int dpiX = GetDeviceCaps(screen, LOGPIXELSX), dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    SIZEL proposed = {MulDiv(200, 2540, dpiX), MulDiv(30, 2540, dpiY)};
    ole->SetExtent(DVASPECT_CONTENT, &proposed);
    SIZEL got{};
    ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &got), S_OK);
    EXPECT_EQ(got.cx, MulDiv(48, 2540, dpiX));
    EXPECT_EQ(got.cy, MulDiv(48, 2540, dpiY));
    DWORD misc = 0;
    ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
    EXPECT_EQ(misc, 0x20583u);
    ole->Release();

    // Draw into a 96 x 48 bitmap that starts white.
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 96, -48, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    memset(bits, 0xFF, 96 * 48 * 4);
    IViewObject* view = As<IViewObject>(IID_IViewObject);
    RECTL bounds = {0, 0, 96, 48};
    ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0), S_OK);
    view->Release();
    GdiFlush();
    auto pixel = [&](int x, int y) { return static_cast<const DWORD*>(bits)[y * 96 + x] & 0xFFFFFF; };
    const DWORD fill = 0xC8C8C8, shade = 0x8C8C8C;
    EXPECT_EQ(pixel(10, 10), fill);
    EXPECT_EQ(pixel(90, 40), fill);
    EXPECT_EQ(pixel(0, 24), shade) << "left edge";
    EXPECT_EQ(pixel(48, 47), shade) << "bottom edge";
    EXPECT_EQ(pixel(48, 0), fill) << "top edge does not stand out";
    long sumX = 0, dark = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 1; x < 95; ++x)
            if (pixel(x, y) < 0x404040) {
                sumX += x;
                ++dark;
            }
    ASSERT_GT(dark, 10) << "the label is drawn";
    EXPECT_NEAR(static_cast<double>(sumX) / dark, 48.0, 3.0) << "the label is centred";
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

// A container records the control into a metafile (a document's picture of it) and plays
// that into a DC of its own with saved states below: the playback leaves them as they were.
TEST_F(Control, MetafilePlayedIntoASavedDcLeavesItsStates)
{
    IViewObject* view = As<IViewObject>(IID_IViewObject);
    HDC recorder = CreateMetaFileW(nullptr);
    ASSERT_NE(recorder, nullptr);
    RECTL bounds = {0, 0, 2000, 2000};
    ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, recorder, &bounds, nullptr, nullptr, 0),
              S_OK);
    view->Release();
    HMETAFILE picture = CloseMetaFile(recorder);
    ASSERT_NE(picture, nullptr);

    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 64, 64);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SetMapMode(dc, MM_LOMETRIC);
    ASSERT_EQ(SaveDC(dc), 1);
    SetMapMode(dc, MM_HIMETRIC);
    ASSERT_EQ(SaveDC(dc), 2);
    SetMapMode(dc, MM_TWIPS);
    EXPECT_TRUE(PlayMetaFile(dc, picture));
    EXPECT_EQ(GetMapMode(dc), MM_TWIPS) << "the container's own mapping";
    EXPECT_EQ(SaveDC(dc), 3) << "both of the container's saves are still there";
    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_EQ(GetMapMode(dc), MM_HIMETRIC);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    DeleteMetaFile(picture);
}

// While the container has events frozen (a form loading, a host restoring state) nothing is
// raised; on the thaw every notification arrives once, in its order, data complete.
TEST_F(Control, FrozenEventsAreHeldAndRaisedInOrderOnTheThaw)
{
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease());
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    IOleControl* control = As<IOleControl>(IID_IOleControl);
    auto kinds = [&] {
        std::vector<int> seen;
        for (const auto& c : sink->calls) seen.push_back(V_I2(&c.args[0]));
        return seen;
    };
    auto text = [&] {
        std::string all;
        for (const auto& c : sink->calls)
            if (V_I2(&c.args[0]) == EVT_DATA && V_VT(&c.args[1]) == VT_BSTR)
                for (UINT i = 0; i < SysStringLen(V_BSTR(&c.args[1])); ++i) all += char(V_BSTR(&c.args[1])[i]);
        return all;
    };

    ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);
    ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);  // freezes nest
    Put(DISPID_TARVEL_DATAMODE, CVariant(1L));  // TEXT
    Put(DISPID_TARVEL_PORT, CVariant(long(pair.PortA())));
    Put(DISPID_TARVEL_CONNECTED, CVariant(true));
    ASSERT_TRUE(ctl->GetConnectedProp());
    ASSERT_TRUE(peer.Write("abc"));
    PumpFor(300);
    peer.SetDtr(true);  // our DSR: a line event, collected while the slot stays taken
    PumpFor(200);
    ASSERT_TRUE(peer.Write("def"));
    PumpFor(300);
    EXPECT_TRUE(sink->calls.empty()) << "raised while frozen";
    ASSERT_EQ(control->FreezeEvents(FALSE), S_OK);
    PumpFor(200);
    EXPECT_TRUE(sink->calls.empty()) << "one freeze is still in force";

    ASSERT_EQ(control->FreezeEvents(FALSE), S_OK);
    EXPECT_TRUE(sink->calls.empty()) << "raised inside the container's thaw call";
    ASSERT_TRUE(PumpUntil([&] { return text() == "abcdef" && CountEvents(EVT_SERIALEVENT) >= 1; }))
        << "got \"" << text() << "\"";
    std::vector<int> seen = kinds();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], EVT_CONNECT);
    EXPECT_EQ(seen[1], EVT_DATA) << "the first data, held with the slot";
    EXPECT_EQ(CountEvents(EVT_CONNECT), 1);

    ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);
    const size_t before = sink->calls.size();
    Put(DISPID_TARVEL_CONNECTED, CVariant(false));
    PumpFor(300);
    EXPECT_EQ(sink->calls.size(), before) << "the disconnect raised while frozen";
    ASSERT_EQ(control->FreezeEvents(FALSE), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return CountEvents(EVT_DISCONNECT) == 1; }));
    PumpFor(100);
    EXPECT_EQ(kinds().back(), EVT_DISCONNECT);
    EXPECT_EQ(CountEvents(EVT_DISCONNECT), 1);
    control->Release();
}

TEST_F(Control, SavedConnectedReconnectsOnLoad)
{
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease());
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    auto* bag = new CTestPropertyBag;
    bag->SetText(L"_Version", L"65610");
    bag->SetText(L"Port", std::to_wstring(pair.PortA()).c_str());
    bag->SetText(L"Connected", L"-1");
    ASSERT_EQ(persist->Load(bag, nullptr), S_OK);
    EXPECT_TRUE(ctl->GetConnectedProp());
    Pump(200);
    EXPECT_EQ(CountEvents(EVT_CONNECT), 1);

    // The same with a port that does not exist: the load succeeds, the connect fails.
    CTarvelCtrl* other = new CTarvelCtrl;
    IPersistPropertyBag* load = nullptr;
    other->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&load));
    bag->SetText(L"Port", L"3");
    EXPECT_EQ(load->Load(bag, nullptr), S_OK);
    EXPECT_FALSE(other->GetConnectedProp());
    EXPECT_EQ(other->settings.Error, 219);
    EXPECT_EQ(other->settings.ConnectWanted, 1);
    load->Release();
    other->Release();
    bag->Release();
    persist->Release();
}

TEST_F(Control, AFailedLoadChangesNothingAndOpensNothing)
{
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease());
    // A control saved connected to a port that is there, with one entry of the wrong type.
    fwpersist::CPropertyBlob blob;
    blob.Set(u"_Version", fwpersist::Value::UInt32(kTarvelPropVersion));
    blob.Set(u"Port", fwpersist::Value::Int32(pair.PortA()));
    blob.Set(u"DataRate", fwpersist::Value::Int32(19200));
    blob.Set(u"Connected", fwpersist::Value::Bool(true));
    blob.Set(u"NullSubst", fwpersist::Value::Int16(7));
    blob.Set(u"RecvSizeThreshold", fwpersist::Value::String(u"many"));
    EXPECT_EQ(LoadStream(disp, blob.Serialise()), DISP_E_TYPEMISMATCH);
    PumpFor(200);
    EXPECT_TRUE(sink->calls.empty()) << "no EVT_CONNECT, no EVT_DISCONNECT";
    EXPECT_FALSE(ctl->GetConnectedProp());
    CFarEnd probe(pair.PortA());
    EXPECT_TRUE(probe.IsOpen()) << "the control holds the port";
    const PortSettings defaults;
    const PortSettings& now = ctl->settings;
    EXPECT_EQ(now.Port, defaults.Port);
    EXPECT_EQ(now.BaudRate, defaults.BaudRate);
    EXPECT_EQ(now.ConnectWanted, defaults.ConnectWanted);
    EXPECT_EQ(now.PortOpen, defaults.PortOpen);
    EXPECT_EQ(now.NullSubst, defaults.NullSubst);
    EXPECT_EQ(now.RecvIntervalTimeout, defaults.RecvIntervalTimeout);
    EXPECT_EQ(now.RecvSizeThreshold, defaults.RecvSizeThreshold);
    EXPECT_EQ(now.Error, defaults.Error);
}

TEST_F(Control, LoadedIntervalTimeoutsOutsideTheRangeStillDeliverAndSend)
{
    // Stored data is not range-checked: -1 would make every read complete at once (the
    // worker spins and never delivers), 0 would wait for a full read. Both are clamped where
    // the port's time-outs are set.
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease());
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    for (const wchar_t* timeout : {L"-1", L"0"}) {
        SCOPED_TRACE(std::string(timeout, timeout + wcslen(timeout)));
        sink->calls.clear();
        auto* bag = new CTestPropertyBag;
        bag->SetText(L"_Version", L"65610");
        bag->SetText(L"Port", std::to_wstring(pair.PortA()).c_str());
        bag->SetText(L"DataMode", L"1");  // TEXT
        bag->SetText(L"RecvIntervalTimeout", timeout);
        bag->SetText(L"Connected", L"-1");
        EXPECT_EQ(persist->Load(bag, nullptr), S_OK);
        bag->Release();
        EXPECT_EQ(GetLong(DISPID_TARVEL_RECVINTERVALTIMEOUT), _wtol(timeout)) << "stored as loaded";
        ASSERT_TRUE(ctl->GetConnectedProp());
        ASSERT_TRUE(PumpUntil([&] { return CountEvents(EVT_CONNECT) == 1; }));

        ASSERT_TRUE(peer.Write("abc"));
        std::wstring received;
        EXPECT_TRUE(PumpUntil([&] {
            received.clear();
            for (const auto& c : sink->calls)
                if (V_I2(&c.args[0]) == EVT_DATA && V_VT(&c.args[1]) == VT_BSTR)
                    received.append(V_BSTR(&c.args[1]), SysStringLen(V_BSTR(&c.args[1])));
            return received.size() >= 3;
        }));
        EXPECT_EQ(received, L"abc");

        CVariant text(L"xyz"), result;
        DISPPARAMS args{&text, nullptr, 1, 0};
        ASSERT_EQ(disp->Invoke(DISPID_TARVEL_SEND, IID_NULL, 0, DISPATCH_METHOD, &args, &result, nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(V_I4(&result), 0);
        const std::vector<BYTE> echoed = peer.Read(3);
        EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "xyz");
        Put(DISPID_TARVEL_CONNECTED, CVariant(false));
        PumpUntil([&] { return CountEvents(EVT_DISCONNECT) == 1; });
    }
    persist->Release();
}

TEST_F(Control, OnePropertyPage)
{
    ISpecifyPropertyPages* pages = As<ISpecifyPropertyPages>(IID_ISpecifyPropertyPages);
    CAUUID ids{};
    ASSERT_EQ(pages->GetPages(&ids), S_OK);
    ASSERT_EQ(ids.cElems, 1u);
    EXPECT_TRUE(IsEqualGUID(ids.pElems[0], CLSID_TarvelPropPage));
    CoTaskMemFree(ids.pElems);
    pages->Release();
}

}  // namespace
