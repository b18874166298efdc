// The registered control run through the call orders of the hosts it is placed in, one
// table of steps per host, written from their public documentation and (for the .NET forms
// host) its public source. Each replay loads saved state that connects to a virtual pair,
// receives data and events, sends, saves, tears down in its host's order and checks that
// every stand-in the container handed over is released, the port closed and the module
// free to unload. The interfaces a replay asked for and the control refused are printed.
//
// Documents the tables follow:
//   [persist]  learn.microsoft.com/windows/win32/com/persistence (OLEMISC_SETCLIENTSITEFIRST:
//              the site, then InitNew or Load)
//   [freeze]   learn.microsoft.com/windows/win32/com/event-freezing
//   [quick]    learn.microsoft.com/windows/win32/api/ocidl/nn-ocidl-iquickactivate
//   [close]    learn.microsoft.com/windows/win32/api/oleidl/nf-oleidl-ioleobject-close and
//              nf-oleidl-ioleobject-setclientsite (NULL: the container lets go of the object)
//   [pointer]  learn.microsoft.com/windows/win32/api/ocidl/nn-ocidl-ipointerinactive
//              (asked by containers of OLEMISC_ACTIVATEWHENVISIBLE controls)
//   [axhost]   github.com/dotnet/winforms, src/System.Windows.Forms/System/Windows/Forms/
//              ActiveX/AxHost.cs: ActivateAxControl, QuickActivate, SlowActivate,
//              DepersistControl, StartEvents, TransitionDownTo, DisposeAxControl;
//              AxHost.AxContainer.cs: FormCreated (the thaw)
//   [safety]   learn.microsoft.com/previous-versions/windows/internet-explorer/ie-developer/
//              platform-apis/aa751977(v=vs.85) (safe initialization and scripting) and
//              aa768205(v=vs.85) (IPersistPropertyBag, <param> values as text)
//   [classinfo] learn.microsoft.com/windows/win32/api/ocidl/nn-ocidl-iprovideclassinfo2
//              (the default source interface for the container's event sink)
#include "acceptance_support.h"

#include <objsafe.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/tarvel_ids.h"
#include "tests/framework/test_com.h"
#include "tests/support/far_end.h"

namespace {

enum { EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_CONNECT = 3 };
const char kPing[] = "ping";

// What one replay holds: the control and every stand-in its container hands over, each
// counting its references.
struct CReplay {
    CReplay(int port, int farPort) : port(port), farPort(farPort)
    {
        // A container ignores what arrives while it has events frozen ([freeze]).
        events->onInvoke = [this] {
            if (frozen) events->calls.pop_back();
        };
    }
    ~CReplay()
    {
        control.Reset();
        site->Release();
        events->Release();
        adviseSink->Release();
        viewSink->Release();
        bag->Release();
    }
    CReplay(const CReplay&) = delete;
    CReplay& operator=(const CReplay&) = delete;
    int port, farPort;
    bool frozen = false;
    CComRef<IUnknown> control;
    CTestSite* site = new CTestSite(nullptr);
    CTestEventSink* events = new CTestEventSink(DIID__DTarvelEvents);
    CTestAdviseSink* adviseSink = new CTestAdviseSink;  // IOleObject::Advise
    CTestAdviseSink* viewSink = new CTestAdviseSink;    // IViewObject::SetAdvise
    CTestPropertyBag* bag = new CTestPropertyBag;
    CComRef<IStream> stream;
    DWORD adviseCookie = 0, eventCookie = 0, misc = 0;
    std::vector<std::string> refused;

    template <class I>
    CComRef<I> Ask(REFIID iid, const char* name)
    {
        CComRef<I> out;
        if (!control || FAILED(control->QueryInterface(iid, out.PutVoid()))) refused.push_back(name);
        return out;
    }
    int Count(int kind) const
    {
        int n = 0;
        for (const auto& c : events->calls) n += V_I2(&c.args[0]) == kind;
        return n;
    }
    std::string Text() const
    {
        std::string all;
        for (const auto& c : events->calls)
            if (V_I2(&c.args[0]) == EVT_DATA && V_VT(&c.args[1]) == VT_BSTR)
                for (UINT i = 0; i < SysStringLen(V_BSTR(&c.args[1])); ++i) all += char(V_BSTR(&c.args[1])[i]);
        return all;
    }
};

using StepFn = HRESULT (*)(CReplay&);
struct CStep {
    const char* what;
    StepFn run;
};

// ---- the steps hosts are made of ------------------------------------------------------

HRESULT Create(CReplay& r)
{
    return CoCreateInstance(CLSID_Tarvel, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, r.control.PutVoid());
}

// Licensed-control hosts ask for the licensing factory first, then take the plain one.
HRESULT CreateThroughClassObject(CReplay& r)
{
    CComRef<IClassFactory2> licensing;
    if (FAILED(CoGetClassObject(CLSID_Tarvel, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory2,
                                licensing.PutVoid())))
        r.refused.push_back("IClassFactory2");
    CComRef<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(CLSID_Tarvel, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, IID_IUnknown, r.control.PutVoid());
}

HRESULT ReadMiscStatus(CReplay& r)
{
    auto ole = r.Ask<IOleObject>(IID_IOleObject, "IOleObject");
    return ole ? ole->GetMiscStatus(DVASPECT_CONTENT, &r.misc) : E_NOINTERFACE;
}

HRESULT SiteIfSiteFirst(CReplay& r)
{
    if (!(r.misc & OLEMISC_SETCLIENTSITEFIRST)) return S_OK;
    return r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->SetClientSite(r.site);
}

HRESULT SiteIfNotYet(CReplay& r)
{
    auto ole = r.Ask<IOleObject>(IID_IOleObject, "IOleObject");
    CComRef<IOleClientSite> current;
    ole->GetClientSite(current.Put());
    return current ? S_OK : ole->SetClientSite(r.site);
}

HRESULT Freeze(CReplay& r)
{
    r.frozen = true;
    return r.Ask<IOleControl>(IID_IOleControl, "IOleControl")->FreezeEvents(TRUE);
}
HRESULT Thaw(CReplay& r)
{
    r.frozen = false;
    return r.Ask<IOleControl>(IID_IOleControl, "IOleControl")->FreezeEvents(FALSE);
}
// The form goes on loading (windows created, messages dispatched) before it thaws.
HRESULT FormLoading(CReplay&)
{
    PumpFor(300);
    return S_OK;
}

HRESULT QuickActivate(CReplay& r, bool withSinks)
{
    auto quick = r.Ask<IQuickActivate>(IID_IQuickActivate, "IQuickActivate");
    if (!quick) return E_NOINTERFACE;
    QACONTAINER container = {};
    container.cbSize = sizeof container;
    container.pClientSite = r.site;
    container.lcid = GetThreadLocale();
    container.dwAmbientFlags = QACONTAINER_USERMODE | QACONTAINER_AUTOCLIP | QACONTAINER_MESSAGEREFLECT;
    if (withSinks) {
        container.pAdviseSink = r.viewSink;
        container.pUnkEventSink = static_cast<IDispatch*>(r.events);
    }
    QACONTROL control = {};
    control.cbSize = sizeof control;
    HRESULT hr = quick->QuickActivate(&container, &control);
    r.misc = control.dwMiscStatus;
    r.eventCookie = control.dwEventCookie;
    return hr;
}
HRESULT QuickActivateWithSinks(CReplay& r) { return QuickActivate(r, true); }
HRESULT QuickActivateSiteOnly(CReplay& r) { return QuickActivate(r, false); }

// The first persistence interface answered, in the container's order of preference.
HRESULT LoadStreamPreferred(CReplay& r)
{
    auto init = r.Ask<IPersistStreamInit>(IID_IPersistStreamInit, "IPersistStreamInit");
    if (!init) return E_NOINTERFACE;
    LARGE_INTEGER start = {};
    r.stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return init->Load(r.stream.Get());
}

HRESULT LoadBag(CReplay& r)
{
    auto bag = r.Ask<IPersistPropertyBag>(IID_IPersistPropertyBag, "IPersistPropertyBag");
    return bag ? bag->Load(r.bag, nullptr) : E_NOINTERFACE;
}

// A page's loader asks for the newer bag interface first.
HRESULT LoadParams(CReplay& r)
{
    r.Ask<IPersistPropertyBag2>(IID_IPersistPropertyBag2, "IPersistPropertyBag2");
    return LoadBag(r);
}

HRESULT AdviseObjectAndView(CReplay& r)
{
    HRESULT hr = r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->Advise(r.adviseSink, &r.adviseCookie);
    if (FAILED(hr)) return hr;
    r.Ask<IViewObjectEx>(IID_IViewObjectEx, "IViewObjectEx");
    return r.Ask<IViewObject>(IID_IViewObject, "IViewObject")->SetAdvise(DVASPECT_CONTENT, 0, r.viewSink);
}

HRESULT HostNames(CReplay& r)
{
    return r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->SetHostNames(L"Replay", L"Form1");
}

HRESULT AdviseEvents(CReplay& r, const IID& source)
{
    auto points = r.Ask<IConnectionPointContainer>(IID_IConnectionPointContainer, "IConnectionPointContainer");
    CComRef<IConnectionPoint> point;
    HRESULT hr = points ? points->FindConnectionPoint(source, point.Put()) : E_NOINTERFACE;
    return FAILED(hr) ? hr : point->Advise(static_cast<IDispatch*>(r.events), &r.eventCookie);
}

// [classinfo]: the default source interface named by the control itself.
HRESULT AdviseDefaultSource(CReplay& r)
{
    auto info = r.Ask<IProvideClassInfo2>(IID_IProvideClassInfo2, "IProvideClassInfo2");
    GUID source = {};
    HRESULT hr = info ? info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source) : E_NOINTERFACE;
    return FAILED(hr) ? hr : AdviseEvents(r, source);
}

// A page binds script handlers by the coclass's type information: its [default, source].
HRESULT AdviseByClassInfo(CReplay& r)
{
    auto provide = r.Ask<IProvideClassInfo>(IID_IProvideClassInfo, "IProvideClassInfo");
    CComRef<ITypeInfo> coclass;
    HRESULT hr = provide ? provide->GetClassInfo(coclass.Put()) : E_NOINTERFACE;
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    if (FAILED(hr = coclass->GetTypeAttr(&attr))) return hr;
    const WORD count = attr->cImplTypes;
    coclass->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        CComRef<ITypeInfo> source;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || flags != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) ||
            FAILED(coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(coclass->GetRefTypeInfo(ref, source.Put())) ||
            FAILED(source->GetTypeAttr(&attr)))
            continue;
        const IID iid = attr->guid;
        source->ReleaseTypeAttr(attr);
        return AdviseEvents(r, iid);
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

// [safety]: safe for scripting through IDispatch, safe for initialisation from <param>.
HRESULT MarkSafe(CReplay& r)
{
    auto safety = r.Ask<IObjectSafety>(IID_IObjectSafety, "IObjectSafety");
    if (!safety) return E_NOINTERFACE;
    HRESULT hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                   INTERFACESAFE_FOR_UNTRUSTED_CALLER);
    if (FAILED(hr)) return hr;
    return safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                             INTERFACESAFE_FOR_UNTRUSTED_DATA);
}

// [pointer] and the design-time property browser's interfaces.
HRESULT AskDesignerInterfaces(CReplay& r)
{
    r.Ask<IPointerInactive>(IID_IPointerInactive, "IPointerInactive");
    r.Ask<IPerPropertyBrowsing>(IID_IPerPropertyBrowsing, "IPerPropertyBrowsing");
    return S_OK;
}

HRESULT AskWindowless(CReplay& r)
{
    r.Ask<IOleInPlaceObjectWindowless>(IID_IOleInPlaceObjectWindowless, "IOleInPlaceObjectWindowless");
    return S_OK;
}

// The saved state connected: the port opens during the load and the thaw (if any) lets the
// host hear of it; then the far end talks and the host answers through Send.
HRESULT ConnectedReceivesAndSends(CReplay& r)
{
    if (!PumpUntil([&] { return r.Count(EVT_CONNECT) == 1; })) return E_FAIL;
    CFarEnd peer(r.farPort);
    if (!peer.IsOpen() || !peer.Write(kPing)) return E_FAIL;
    if (!PumpUntil([&] { return r.Text() == kPing; })) return E_FAIL;
    CComRef<IDispatch> automation = r.Ask<IDispatch>(IID_IDispatch, "IDispatch");
    CVariant result;
    HRESULT hr = CallByName(automation.Get(), L"Send", {CVariant(L"pong")}, result);
    if (FAILED(hr)) return hr;
    const std::vector<BYTE> echoed = peer.Read(4);
    return std::string(echoed.begin(), echoed.end()) == "pong" ? S_OK : E_FAIL;
}

HRESULT SaveStreamClean(CReplay& r)
{
    auto init = r.Ask<IPersistStreamInit>(IID_IPersistStreamInit, "IPersistStreamInit");
    CComRef<IStream> saved;
    CreateStreamOnHGlobal(nullptr, TRUE, saved.Put());
    HRESULT hr = init->Save(saved.Get(), TRUE);
    if (FAILED(hr)) return hr;
    return init->IsDirty() == S_FALSE ? S_OK : E_FAIL;
}

// Into a bag that, like a form's text, knows no unsigned types.
HRESULT SaveBag(CReplay& r)
{
    auto* target = new CTestPropertyBag;
    target->refusesUnsigned = true;
    HRESULT hr = r.Ask<IPersistPropertyBag>(IID_IPersistPropertyBag, "IPersistPropertyBag")->Save(target, TRUE, FALSE);
    const bool complete = target->Find(L"Port") && target->Find(L"_Version") && target->Find(L"Connected");
    target->Release();
    return FAILED(hr) ? hr : complete ? S_OK : E_FAIL;
}

HRESULT UnadviseEvents(CReplay& r)
{
    auto points = r.Ask<IConnectionPointContainer>(IID_IConnectionPointContainer, "IConnectionPointContainer");
    CComRef<IConnectionPoint> point;
    HRESULT hr = points->FindConnectionPoint(DIID__DTarvelEvents, point.Put());
    return FAILED(hr) ? hr : point->Unadvise(r.eventCookie);
}

HRESULT UnadviseObjectAndView(CReplay& r)
{
    r.Ask<IViewObject>(IID_IViewObject, "IViewObject")->SetAdvise(DVASPECT_CONTENT, 0, nullptr);
    return r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->Unadvise(r.adviseCookie);
}

HRESULT CloseNoSave(CReplay& r) { return r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->Close(OLECLOSE_NOSAVE); }
HRESULT SiteNull(CReplay& r) { return r.Ask<IOleObject>(IID_IOleObject, "IOleObject")->SetClientSite(nullptr); }
HRESULT ReleaseLast(CReplay& r)
{
    r.control.Reset();
    return S_OK;
}

// ---- the hosts ------------------------------------------------------------------------

// An ATL host window ([persist]): the site first for a control asking for it, Load, advise
// sinks and host names; no in-place activation for a control invisible at run time; events
// on the default source ([classinfo]). Ends by letting go of every sink, Close, no site.
const CStep kAtlHost[] = {
    {"CoCreateInstance", Create},
    {"GetMiscStatus", ReadMiscStatus},
    {"SetClientSite (OLEMISC_SETCLIENTSITEFIRST)", SiteIfSiteFirst},
    {"IPersistStreamInit::Load", LoadStreamPreferred},
    {"SetClientSite (if not yet)", SiteIfNotYet},
    {"IOleObject::Advise, IViewObject::SetAdvise", AdviseObjectAndView},
    {"SetHostNames", HostNames},
    {"windowless activation asked", AskWindowless},
    {"Advise on the default source", AdviseDefaultSource},
    {"connected, data, Send", ConnectedReceivesAndSends},
    {"IPersistStreamInit::Save", SaveStreamClean},
    {"Unadvise events", UnadviseEvents},
    {"Unadvise object and view", UnadviseObjectAndView},
    {"Close(OLECLOSE_NOSAVE)", CloseNoSave},
    {"SetClientSite(NULL)", SiteNull},
    {"Release", ReleaseLast},
};

// [axhost] quick path: QuickActivate with the site only (no event sink), DepersistControl
// (freeze, then stream-init first), StartEvents, the form's creation thaws. Invisible at run
// time, it stays running. Teardown: StopEvents, DisposeAxControl (no site), release; no Close.
const CStep kAxHostQuick[] = {
    {"CoCreateInstance", Create},
    {"QuickActivate (site, no sinks)", QuickActivateSiteOnly},
    {"FreezeEvents(TRUE)", Freeze},
    {"IPersistStreamInit::Load", LoadStreamPreferred},
    {"Advise on the default source", AdviseDefaultSource},
    {"messages run while the form is created", FormLoading},
    {"FreezeEvents(FALSE) (form created)", Thaw},
    {"connected, data, Send", ConnectedReceivesAndSends},
    {"IPersistStreamInit::Save", SaveStreamClean},
    {"Unadvise events", UnadviseEvents},
    {"SetClientSite(NULL)", SiteNull},
    {"Release", ReleaseLast},
};

// [axhost] slow path (SlowActivate): the site before DepersistControl when the control asks.
const CStep kAxHostSlow[] = {
    {"CoCreateInstance", Create},
    {"GetMiscStatus", ReadMiscStatus},
    {"SetClientSite (OLEMISC_SETCLIENTSITEFIRST)", SiteIfSiteFirst},
    {"FreezeEvents(TRUE)", Freeze},
    {"IPersistStreamInit::Load", LoadStreamPreferred},
    {"SetClientSite (if not yet)", SiteIfNotYet},
    {"Advise on the default source", AdviseDefaultSource},
    {"messages run while the form is created", FormLoading},
    {"FreezeEvents(FALSE) (form created)", Thaw},
    {"connected, data, Send", ConnectedReceivesAndSends},
    {"IPersistStreamInit::Save", SaveStreamClean},
    {"Unadvise events", UnadviseEvents},
    {"SetClientSite(NULL)", SiteNull},
    {"Release", ReleaseLast},
};

// A VB6-style form: licensing factory asked, quick activation with the event and view sinks
// ([quick]), events frozen while the form loads its properties from the form's text and
// until Form_Load has run ([freeze]). Teardown: Close, no site, release; the sinks handed to
// QuickActivate are never unadvised, so the control must let go of them itself.
const CStep kVbForm[] = {
    {"CoGetClassObject, CreateInstance", CreateThroughClassObject},
    {"QuickActivate (site, view and event sinks)", QuickActivateWithSinks},
    {"FreezeEvents(TRUE)", Freeze},
    {"IPersistPropertyBag::Load (form text)", LoadBag},
    {"designer interfaces asked", AskDesignerInterfaces},
    {"messages run while Form_Load runs", FormLoading},
    {"FreezeEvents(FALSE) (after Form_Load)", Thaw},
    {"connected, data, Send", ConnectedReceivesAndSends},
    {"IPersistPropertyBag::Save", SaveBag},
    {"Close(OLECLOSE_NOSAVE)", CloseNoSave},
    {"SetClientSite(NULL)", SiteNull},
    {"Release", ReleaseLast},
};

// An HTML page's <object> ([safety]): marked safe, sited, loaded from <param> text, script
// handlers bound through the class information. Teardown: Close, Unadvise, no site, release.
const CStep kHtmlPage[] = {
    {"CoGetClassObject, CreateInstance", CreateThroughClassObject},
    {"IObjectSafety", MarkSafe},
    {"GetMiscStatus", ReadMiscStatus},
    {"SetClientSite (OLEMISC_SETCLIENTSITEFIRST)", SiteIfSiteFirst},
    {"IPersistPropertyBag::Load (<param>)", LoadParams},
    {"SetClientSite (if not yet)", SiteIfNotYet},
    {"Advise by class information", AdviseByClassInfo},
    {"connected, data, Send", ConnectedReceivesAndSends},
    {"Close(OLECLOSE_NOSAVE)", CloseNoSave},
    {"Unadvise events", UnadviseEvents},
    {"SetClientSite(NULL)", SiteNull},
    {"Release", ReleaseLast},
};

// ---- running a table ------------------------------------------------------------------

class ContainerReplay : public AcceptanceTest {
protected:
    void SetUp() override
    {
        AcceptanceTest::SetUp();
        static const DWORD registered = RegisterModuleWithRegsvr32();
        ASSERT_EQ(registered, 0u) << "regsvr32 Tarvel.ocx";
        ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
    }

    // A stream saved by an earlier session: TEXT data mode, the pair's port, connected.
    CComRef<IStream> SavedStream()
    {
        CReplay designer(pair.PortA(), pair.PortB());
        CComRef<IStream> stream;
        CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
        EXPECT_EQ(Create(designer), S_OK);
        auto init = designer.Ask<IPersistStreamInit>(IID_IPersistStreamInit, "IPersistStreamInit");
        auto automation = designer.Ask<IDispatch>(IID_IDispatch, "IDispatch");
        EXPECT_EQ(init->InitNew(), S_OK);
        PutByName(automation.Get(), L"DataMode", CVariant(1L));
        PutByName(automation.Get(), L"Port", CVariant(long(pair.PortA())));
        PutByName(automation.Get(), L"Connected", CVariant(true));
        EXPECT_EQ(init->Save(stream.Get(), TRUE), S_OK);
        return stream;
    }

    // Text as a page's <param> tags or a form's file give it.
    void SavedText(CTestPropertyBag* bag)
    {
        bag->SetText(L"_Version", L"65610");
        bag->SetText(L"Port", std::to_wstring(pair.PortA()).c_str());
        bag->SetText(L"DataMode", L"1");
        bag->SetText(L"Connected", L"-1");
    }

    void Replay(const char* host, const CStep* steps, size_t count, bool fromBag)
    {
        std::vector<std::string> refused;
        {
            CReplay r(pair.PortA(), pair.PortB());
            if (fromBag)
                SavedText(r.bag);
            else
                r.stream = SavedStream();
            for (size_t i = 0; i < count; ++i) {
                SCOPED_TRACE(steps[i].what);
                ASSERT_TRUE(SUCCEEDED(steps[i].run(r))) << host << ": step " << i + 1 << ", " << steps[i].what;
            }
            EXPECT_EQ(r.Count(EVT_CONNECT), 1);
            EXPECT_EQ(r.Count(EVT_DISCONNECT), 0) << "no disconnect notification outlives the control";
            EXPECT_EQ(r.site->Refs(), 1u) << "client site (and its ambient dispatch) released";
            EXPECT_EQ(r.events->Refs(), 1u) << "event sink released";
            EXPECT_EQ(r.adviseSink->Refs(), 1u) << "object advise sink released";
            EXPECT_EQ(r.viewSink->Refs(), 1u) << "view advise sink released";
            EXPECT_EQ(r.bag->Refs(), 1u) << "property bag released";
            refused = r.refused;
        }
        CFarEnd reopened(pair.PortA());
        EXPECT_TRUE(reopened.IsOpen()) << "the control closed its port";
        using CanUnloadFn = HRESULT(WINAPI*)();
        HMODULE module = GetModuleHandleW(L"Tarvel.ocx");
        ASSERT_NE(module, nullptr);
        auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        EXPECT_EQ(canUnload(), S_OK) << "an object or lock of the module outlived the teardown";

        std::string list;
        for (const std::string& name : refused)
            if (list.find(name) == std::string::npos) list += (list.empty() ? "" : ", ") + name;
        std::printf("[replay] %s: refused %s\n", host, list.empty() ? "nothing" : list.c_str());
        RecordProperty("refused", list);
    }

    CNullModemPair pair;
};

#define REPLAY(table, fromBag) Replay(#table, table, sizeof table / sizeof table[0], fromBag)

TEST_F(ContainerReplay, AtlHostWindow) { REPLAY(kAtlHost, false); }
TEST_F(ContainerReplay, DotNetFormsHostQuickActivation) { REPLAY(kAxHostQuick, false); }
TEST_F(ContainerReplay, DotNetFormsHostSlowActivation) { REPLAY(kAxHostSlow, false); }
TEST_F(ContainerReplay, VisualBasicForm) { REPLAY(kVbForm, true); }
TEST_F(ContainerReplay, HtmlPage) { REPLAY(kHtmlPage, true); }

// COM asks applications to free unused libraries now and then (CoFreeUnusedLibraries), and
// hosts do it while idle; the next form that places the control loads the module again. A
// module that used a port must load again in the same process and work as the first time.
TEST_F(ContainerReplay, HostUnloadsTheModuleAndLoadsItAgainAfterConnections)
{
    const CChildResult r = RunChild(L"\"" + WindowsPath(TARVEL_PROGID_HOST_PATH) + L"\" " +
                                        std::to_wstring(pair.PortA()) + L" /rounds 3",
                                    60000);
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(r.finished) << r.output;
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    size_t connects = 0;
    for (size_t at = r.output.find("EVT_CONNECT on COM"); at != std::string::npos;
         at = r.output.find("EVT_CONNECT on COM", at + 1))
        ++connects;
    EXPECT_EQ(connects, 3u) << r.output;
}

}  // namespace
