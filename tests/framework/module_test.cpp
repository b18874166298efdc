// Module state, object and lock counting, class factories and the DLL entry helpers.
#include "fw_test_env.h"

namespace {

const CLSID CLSID_Other = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x99}};

class CRecordingFactory : public CClassFactory<CSampleCtrl> {
public:
    CRecordingFactory(REFCLSID clsid, CModuleState& module, HRESULT registerResult = S_OK)
        : CClassFactory<CSampleCtrl>(clsid, module), registerResult_(registerResult) {}
    HRESULT UpdateRegistry(bool registering) override {
        (registering ? registered : unregistered)++;
        currentDuringCall = &CurrentModuleState();
        return registerResult_;
    }
    int registered = 0, unregistered = 0;
    CModuleState* currentDuringCall = nullptr;

private:
    HRESULT registerResult_;
};

}  // namespace

TEST(ModuleState, GuardsNestAndRestoreThePreviousState) {
    CModuleState a, b;
    CModuleState* outer = &CurrentModuleState();
    EXPECT_EQ(&FrameworkModuleState(), outer);
    {
        CModuleStateGuard ga(a);
        EXPECT_EQ(&a, &CurrentModuleState());
        {
            CModuleStateGuard gb(b);
            EXPECT_EQ(&b, &CurrentModuleState());
        }
        EXPECT_EQ(&a, &CurrentModuleState());
    }
    EXPECT_EQ(outer, &CurrentModuleState());
}

TEST(ModuleState, ObjectsCountInTheModuleCurrentAtTheirCreation) {
    CModuleState m;
    LONG before = FrameworkModuleState().ObjectCount();
    CSampleCtrl* c;
    {
        CModuleStateGuard g(m);
        c = new CSampleCtrl;
    }
    EXPECT_EQ(1, m.ObjectCount());
    EXPECT_EQ(before, FrameworkModuleState().ObjectCount());
    EXPECT_EQ(&m, &c->Module());
    c->Release();
    EXPECT_EQ(0, m.ObjectCount());
}

TEST(ClassFactory, CanUnloadNowFollowsObjectsClassObjectsAndLocks) {
    CModuleState m;
    CRecordingFactory factory(CLSID_SampleCtrl, m);
    EXPECT_EQ(S_OK, FrameworkDllCanUnloadNow(m));

    CComRef<IClassFactory> cf;
    ASSERT_EQ(S_OK, FrameworkDllGetClassObject(CLSID_SampleCtrl, IID_IClassFactory, cf.PutVoid(), m));
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "a class object is referenced";

    CComRef<IOleObject> object;
    ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IOleObject, object.PutVoid()));
    EXPECT_EQ(1, m.ObjectCount());
    cf.Reset();
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "an object lives";
    object.Reset();
    EXPECT_EQ(0, m.ObjectCount());
    EXPECT_EQ(S_OK, FrameworkDllCanUnloadNow(m));

    ASSERT_EQ(S_OK, FrameworkDllGetClassObject(CLSID_SampleCtrl, IID_IClassFactory, cf.PutVoid(), m));
    EXPECT_EQ(S_OK, cf->LockServer(TRUE));
    cf.Reset();
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "LockServer holds the module";
    ASSERT_EQ(S_OK, FrameworkDllGetClassObject(CLSID_SampleCtrl, IID_IClassFactory, cf.PutVoid(), m));
    EXPECT_EQ(S_OK, cf->LockServer(FALSE));
    cf.Reset();
    EXPECT_EQ(S_OK, FrameworkDllCanUnloadNow(m));
}

TEST(ClassFactory, UnknownClassesAggregationAndInterfacesAreRefused) {
    CModuleState m;
    CRecordingFactory factory(CLSID_SampleCtrl, m);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, FrameworkDllGetClassObject(CLSID_Other, IID_IClassFactory, &p, m));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_NOINTERFACE, FrameworkDllGetClassObject(CLSID_SampleCtrl, IID_IDispatch, &p, m));

    CComRef<IClassFactory> cf;
    ASSERT_EQ(S_OK, FrameworkDllGetClassObject(CLSID_SampleCtrl, IID_IUnknown, cf.PutVoid(), m));
    CSampleHolder outer;
    // An outer object may only ask for the inner IUnknown.
    EXPECT_EQ(CLASS_E_NOAGGREGATION, cf->CreateInstance(outer.unknown.Get(), IID_IDispatch, &p));
    EXPECT_EQ(E_NOINTERFACE, cf->CreateInstance(nullptr, IID_IClassFactory, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(0, m.ObjectCount()) << "the refused object was destroyed";
}

TEST(ClassFactory, RegistrationVisitsEveryFactoryWithTheModuleCurrent) {
    CModuleState m;
    CRecordingFactory a(CLSID_SampleCtrl, m);
    CRecordingFactory b(CLSID_SamplePage, m, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, FrameworkUpdateRegistry(true, m));
    EXPECT_EQ(1, b.registered);  // b entered last, so it is visited first
    EXPECT_EQ(0, a.registered) << "registration stops at the first failure";
    EXPECT_EQ(&m, b.currentDuringCall);

    EXPECT_EQ(E_ACCESSDENIED, FrameworkUpdateRegistry(false, m));
    EXPECT_EQ(1, a.unregistered) << "unregistration goes on after a failure";
    EXPECT_EQ(1, b.unregistered);
}

TEST(ClassFactory, ControlsCreatedAndReleasedLeaveNoObjectBehind) {
    LONG before = FrameworkModuleState().ObjectCount();
    {
        CSampleHolder h;
        auto cpc = h.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        CComRef<IEnumConnectionPoints> e;
        cpc->EnumConnectionPoints(e.Put());
        CComRef<IConnectionPoint> cp;
        cpc->FindConnectionPoint(DIID_SampleEvents, cp.Put());
        auto* sink = new CTestEventSink(DIID_SampleEvents);
        DWORD cookie;
        cp->Advise(sink, &cookie);
        sink->Release();  // the point keeps it
        EXPECT_EQ(before + 2, FrameworkModuleState().ObjectCount()) << "the control and the points enumerator";
    }
    EXPECT_EQ(before, FrameworkModuleState().ObjectCount());
}

TEST(ClassFactory, EnumeratorsOutlivingTheControlKeepTheModule) {
    CModuleState m;
    CComRef<IEnumConnections> connections, clone;
    CComRef<IEnumConnectionPoints> points;
    CComRef<IEnumOLEVERB> verbs, verbsClone;
    {
        CSampleCtrl* c;
        {
            CModuleStateGuard g(m);
            c = new CSampleCtrl;
        }
        CComRef<IUnknown> control = CComRef<IUnknown>::Adopt(static_cast<IDispatch*>(c));
        CComRef<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
        CComRef<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_SampleEvents, cp.Put()));
        auto* sink = new CTestEventSink(DIID_SampleEvents);
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, cp->Advise(sink, &cookie));
        sink->Release();
        // Asked for outside any guard, as a container does.
        ASSERT_EQ(S_OK, cp->EnumConnections(connections.Put()));
        ASSERT_EQ(S_OK, connections->Clone(clone.Put()));
        ASSERT_EQ(S_OK, cpc->EnumConnectionPoints(points.Put()));
        points.Reset();
        CComRef<IOleObject> object;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IOleObject, object.PutVoid()));
        ASSERT_EQ(S_OK, object->EnumVerbs(verbs.Put()));
        ASSERT_EQ(S_OK, verbs->Skip(1));
        ASSERT_EQ(S_OK, verbs->Clone(verbsClone.Put()));
        verbs.Reset();
    }
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "the control is gone, its enumerators are not";
    CONNECTDATA data = {};
    ASSERT_EQ(S_OK, connections->Next(1, &data, nullptr));
    ASSERT_NE(nullptr, data.pUnk);
    data.pUnk->Release();
    connections.Reset();
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "the clone still lives";
    clone.Reset();
    EXPECT_EQ(S_FALSE, FrameworkDllCanUnloadNow(m)) << "the clone of the verbs enumerator still lives";
    OLEVERB verb = {};
    ASSERT_EQ(S_OK, verbsClone->Next(1, &verb, nullptr)) << "the clone goes on where the original was";
    EXPECT_EQ(OLEIVERB_PROPERTIES, verb.lVerb);
    CoTaskMemFree(verb.lpszVerbName);
    EXPECT_EQ(S_FALSE, verbsClone->Next(1, &verb, nullptr));
    verbsClone.Reset();
    EXPECT_EQ(S_OK, FrameworkDllCanUnloadNow(m));
}

TEST(ModuleState, CallbacksIntoTheControlRunWithItsModuleCurrent) {
    CModuleState m;
    m.SetInstance(GetModuleHandleW(nullptr));
    CSampleCtrl* c;
    {
        CModuleStateGuard g(m);
        c = new CSampleCtrl;
    }
    // Called from outside any guard, as a container would.
    ASSERT_EQ(&FrameworkModuleState(), &CurrentModuleState());
    c->SetClientSite(nullptr);
    EXPECT_EQ(&m, c->moduleInCallback);
    EXPECT_EQ(&FrameworkModuleState(), &CurrentModuleState()) << "restored on the way out";
    c->Release();
}

namespace {

class CRecordingWnd : public CWnd {
public:
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_APP + 1) {
            moduleSeen = &CurrentModuleState();
            return 77;
        }
        return CWnd::WindowProc(msg, wParam, lParam);
    }
    void OnFinalMessage() override { ++finalMessages; }
    CModuleState* moduleSeen = nullptr;
    int finalMessages = 0;
};

}  // namespace

TEST(WindowBase, MessagesReachTheObjectWithItsModuleCurrent) {
    CModuleState m;
    m.SetInstance(GetModuleHandleW(nullptr));
    CRecordingWnd w;
    RECT rc = {0, 0, 50, 20};
    {
        CModuleStateGuard g(m);
        ASSERT_TRUE(w.CreateWindowFw(0, L"fw", WS_POPUP, rc, nullptr));
    }
    HWND hwnd = w.Hwnd();
    EXPECT_EQ(&w, CWnd::FromHandle(hwnd));
    EXPECT_EQ(77, SendMessageW(hwnd, WM_APP + 1, 0, 0));
    EXPECT_EQ(&m, w.moduleSeen);
    EXPECT_FALSE(w.CreateWindowFw(0, L"again", WS_POPUP, rc, nullptr)) << "one window per object";

    w.DestroyWindowFw();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(nullptr, w.Hwnd());
    EXPECT_EQ(1, w.finalMessages);
    FrameworkModuleTerm(m);
    EXPECT_EQ(0, m.WindowClass());

    CTestParentWindow foreign;
    EXPECT_EQ(nullptr, CWnd::FromHandle(foreign.Get()));
}
