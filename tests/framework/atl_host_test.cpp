// The sample control hosted by Wine's ATL container (atl.dll, loaded at run
// time), attached as a ready-made object: the container sites, initialises and
// activates it through the real OLE interfaces.
#include "fw_test_env.h"

namespace {

using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxAttachControlFn = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);
using AtlAxCreateControlExFn = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**, IUnknown**, REFIID,
                                                IUnknown*);

class AtlHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        atl_ = LoadLibraryW(L"atl.dll");
        if (!atl_) GTEST_SKIP() << "atl.dll not available";
        auto init = reinterpret_cast<AtlAxWinInitFn>(reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxWinInit")));
        attach_ = reinterpret_cast<AtlAxAttachControlFn>(
            reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxAttachControl")));
        createEx_ = reinterpret_cast<AtlAxCreateControlExFn>(
            reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxCreateControlEx")));
        ASSERT_NE(nullptr, createEx_);
        ASSERT_NE(nullptr, init);
        ASSERT_NE(nullptr, attach_);
        // Wine answers FALSE once its window class exists: the window creation below is the check.
        init();
        host_ = CreateWindowExW(0, L"AtlAxWin", L"", WS_CHILD | WS_VISIBLE, 0, 0, 120, 80, parent_.Get(), nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, host_);
    }
    void TearDown() override {
        if (host_ && IsWindow(host_)) DestroyWindow(host_);
        PumpMessages();
        // atl.dll stays loaded: its window class and objects may outlive this test.
    }

    CTestParentWindow parent_;
    HMODULE atl_ = nullptr;
    AtlAxAttachControlFn attach_ = nullptr;
    AtlAxCreateControlExFn createEx_ = nullptr;
    HWND host_ = nullptr;
};

}  // namespace

TEST_F(AtlHostTest, AttachedControlIsSitedActivatedScriptedAndReleased) {
    LONG before = FrameworkModuleState().ObjectCount();
    {
        CSampleHolder h;
        // An attached object comes initialised: the container does not call InitNew.
        ASSERT_EQ(S_OK, h.As<IPersistStreamInit>(IID_IPersistStreamInit)->InitNew());
        CComRef<IUnknown> container;
        ASSERT_EQ(S_OK, attach_(h.unknown.Get(), host_, container.Put()));
        PumpMessages();

        EXPECT_NE(nullptr, h.ctrl->GetClientSite());
        EXPECT_GE(h.ctrl->clientSiteChanges, 1);
        ASSERT_TRUE(h.ctrl->IsInPlaceActive());
        ASSERT_NE(nullptr, h.ctrl->Hwnd());
        EXPECT_EQ(host_, GetParent(h.ctrl->Hwnd()));

        // Scripted through the container's hold on it, events to our own sink.
        auto* sink = new CTestEventSink(DIID_SampleEvents);
        CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
        auto cpc = h.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        CComRef<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_SampleEvents, cp.Put()));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, cp->Advise(sink, &cookie));
        CVariant r;
        ASSERT_EQ(S_OK, CallMethod(h.As<IDispatch>(IID_IDispatch).Get(), DISPID_SAMPLE_PING, {CVariant(5L)}, r));
        EXPECT_EQ(1, r.lVal);
        ASSERT_EQ(1u, sink->calls.size());
        cp->Unadvise(cookie);

        // Paint through the control's own window.
        UpdateWindow(h.ctrl->Hwnd());
        SendMessageW(h.ctrl->Hwnd(), WM_LBUTTONDBLCLK, MK_LBUTTON, 0);
        EXPECT_EQ(1, h.ctrl->doubleClicks);

        HWND own = h.ctrl->Hwnd();
        DestroyWindow(host_);
        host_ = nullptr;
        PumpMessages();
        EXPECT_FALSE(IsWindow(own));
        container.Reset();
    }
    PumpMessages();
    EXPECT_EQ(before, FrameworkModuleState().ObjectCount()) << "the container released the control";
}

// Created by class identifier: the container goes through CoCreateInstance to
// the framework's class factory (registered for this process only), then
// InitNew, SetClientSite, SetExtent and in-place activation.
TEST_F(AtlHostTest, ControlCreatedByClassIdThroughTheFactoryIsInitialisedAndActivated) {
    CModuleState module;
    module.SetInstance(GetModuleHandleW(nullptr));
    CClassFactory<CSampleCtrl> factory(CLSID_SampleCtrl, module);
    DWORD registration = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_SampleCtrl, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &registration));
    wchar_t clsid[64];
    StringFromGUID2(CLSID_SampleCtrl, clsid, 64);
    {
        CComRef<IUnknown> container, control;
        HRESULT hr = createEx_(clsid, host_, nullptr, container.Put(), control.Put(), IID_NULL, nullptr);
        ASSERT_EQ(S_OK, hr);
        ASSERT_TRUE(control);
        PumpMessages();
        EXPECT_EQ(1, module.ObjectCount()) << "created by the factory, counted in its module";

        CComRef<IDispatch> disp;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IDispatch, disp.PutVoid()));
        CVariant speed;
        ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_SPEED, speed));
        EXPECT_EQ(9600, speed.lVal) << "the container ran InitNew";
        CComRef<IOleInPlaceObject> ipo;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IOleInPlaceObject, ipo.PutVoid()));
        HWND own = nullptr;
        ASSERT_EQ(S_OK, ipo->GetWindow(&own));
        EXPECT_EQ(host_, GetParent(own));
        CComRef<IOleObject> ole;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IOleObject, ole.PutVoid()));
        CComRef<IOleClientSite> site;
        EXPECT_EQ(S_OK, ole->GetClientSite(site.Put()));
        EXPECT_TRUE(site);
        site.Reset();

        DestroyWindow(host_);
        host_ = nullptr;
        PumpMessages();
        EXPECT_FALSE(IsWindow(own));
    }
    PumpMessages();
    EXPECT_EQ(S_OK, CoRevokeClassObject(registration));
    EXPECT_EQ(0, module.ObjectCount());
    EXPECT_EQ(S_OK, FrameworkDllCanUnloadNow(module));
    FrameworkModuleTerm(module);
}
