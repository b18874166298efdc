// The control base as a container sees it: extent, drawing, client site,
// in-place activation with its own window, and the small query interfaces.
#include "fw_test_env.h"

namespace {

// A 32-bit top-down DIB section with a memory DC selected into it.
class CDib {
public:
    CDib(int w, int h) : w_(w), h_(h) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        dc_ = CreateCompatibleDC(nullptr);
        bmp_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, bmp_);
        for (int i = 0; i < w * h; ++i) bits_[i] = 0x00FFFFFF;
    }
    ~CDib() {
        SelectObject(dc_, old_);
        DeleteObject(bmp_);
        DeleteDC(dc_);
    }
    HDC Dc() const { return dc_; }
    COLORREF At(int x, int y) const {
        GdiFlush();
        uint32_t p = bits_[y * w_ + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }

private:
    int w_, h_;
    HDC dc_;
    HBITMAP bmp_;
    HGDIOBJ old_;
    uint32_t* bits_ = nullptr;
};

using CViewSink = CTestAdviseSink;

}  // namespace

TEST(ControlView, DrawFillsTheBoundsInABitmap) {
    CSampleHolder h;
    auto view = h.As<IViewObject2>(IID_IViewObject2);
    CDib dib(96, 48);
    RECTL bounds = {8, 4, 88, 44};
    ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dib.Dc(), &bounds, nullptr,
                               nullptr, 0));
    EXPECT_EQ(kSampleFill, dib.At(8, 4));
    EXPECT_EQ(kSampleFill, dib.At(87, 43));
    EXPECT_EQ(RGB(255, 255, 255), dib.At(7, 4));
    EXPECT_EQ(RGB(255, 255, 255), dib.At(88, 20));
    EXPECT_FALSE(h.ctrl->drewMetafile);

    EXPECT_EQ(DV_E_DVASPECT, view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, dib.Dc(), &bounds, nullptr,
                                        nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dib.Dc(), nullptr, nullptr,
                                       nullptr, 0));
}

TEST(ControlView, DrawIntoAnEnhancedMetafileReplaysTheSameDrawing) {
    CSampleHolder h;
    auto view = h.As<IViewObject>(IID_IViewObject);
    HDC meta = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, meta);
    RECTL bounds = {0, 0, 40, 20};
    ASSERT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, meta, &bounds, nullptr, nullptr, 0));
    HENHMETAFILE emf = CloseEnhMetaFile(meta);
    ASSERT_NE(nullptr, emf);
    EXPECT_TRUE(h.ctrl->drewMetafile);

    CDib dib(80, 40);
    RECT target = {0, 0, 80, 40};
    ASSERT_TRUE(PlayEnhMetaFile(dib.Dc(), emf, &target));
    DeleteEnhMetaFile(emf);
    EXPECT_EQ(kSampleFill, dib.At(40, 20));
}

TEST(ControlView, ExtentIsStoredRefusedOrReportedPerAspect) {
    CSampleHolder h;
    auto ole = h.As<IOleObject>(IID_IOleObject);
    auto* sink = new CViewSink;
    CComRef<IAdviseSink> sinkRef = CComRef<IAdviseSink>::Adopt(sink);
    auto view = h.As<IViewObject2>(IID_IViewObject2);
    ASSERT_EQ(S_OK, view->SetAdvise(DVASPECT_CONTENT, 0, sink));

    SIZEL size = {5292, 794};  // 200 x 30 pixels at 96 dpi
    EXPECT_EQ(S_OK, ole->SetExtent(DVASPECT_CONTENT, &size));
    EXPECT_EQ(1, sink->viewChanges);
    SIZEL got = {};
    EXPECT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &got));
    EXPECT_EQ(5292, got.cx);
    EXPECT_EQ(794, got.cy);
    SIZEL viewExtent = {};
    EXPECT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &viewExtent));
    EXPECT_EQ(5292, viewExtent.cx);
    EXPECT_EQ(S_OK, h.As<IPersistStreamInit>(IID_IPersistStreamInit)->IsDirty());

    SIZEL huge = {kSampleMaxExtent + 1, 10};
    EXPECT_EQ(E_FAIL, ole->SetExtent(DVASPECT_CONTENT, &huge));
    EXPECT_EQ(DV_E_DVASPECT, ole->SetExtent(DVASPECT_ICON, &size));
    EXPECT_EQ(DV_E_DVASPECT, ole->GetExtent(DVASPECT_ICON, &got));
    EXPECT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &got));
    EXPECT_EQ(5292, got.cx);

    auto quick = h.As<IQuickActivate>(IID_IQuickActivate);
    SIZEL content = {100, 200};
    EXPECT_EQ(S_OK, quick->SetContentExtent(&content));
    EXPECT_EQ(S_OK, quick->GetContentExtent(&got));
    EXPECT_EQ(200, got.cy);

    DWORD aspects = 0, flags = 1;
    CComRef<IAdviseSink> back;
    EXPECT_EQ(S_OK, view->GetAdvise(&aspects, &flags, back.Put()));
    EXPECT_EQ(DWORD(DVASPECT_CONTENT), aspects);
    EXPECT_EQ(sink, back.Get());
    view->SetAdvise(DVASPECT_CONTENT, 0, nullptr);
}

TEST(ControlSite, ClientSiteIsStoredAndHookCalledBothWays) {
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ASSERT_EQ(S_OK, ole->SetClientSite(site));
    EXPECT_EQ(1, h.ctrl->clientSiteChanges);
    CComRef<IOleClientSite> got;
    EXPECT_EQ(S_OK, ole->GetClientSite(got.Put()));
    EXPECT_EQ(site, got.Get());

    EXPECT_TRUE(h.ctrl->AmbientUserMode());
    site->userMode = false;
    EXPECT_FALSE(h.ctrl->AmbientUserMode());
    auto control = h.As<IOleControl>(IID_IOleControl);
    EXPECT_EQ(S_OK, control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
    EXPECT_EQ(1, h.ctrl->ambientChanges);

    EXPECT_EQ(S_OK, ole->SetClientSite(nullptr));
    EXPECT_EQ(2, h.ctrl->clientSiteChanges);
    EXPECT_EQ(nullptr, h.ctrl->GetClientSite());
    EXPECT_TRUE(h.ctrl->AmbientUserMode()) << "no site: run mode";
}

TEST(ControlSite, InPlaceActivationCreatesTheControlsOwnWindow) {
    CTestParentWindow parent;
    ASSERT_NE(nullptr, parent.Get());
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ASSERT_EQ(S_OK, ole->SetClientSite(site));

    RECT pos = {5, 6, 55, 46};
    ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, parent.Get(), &pos));
    EXPECT_TRUE(h.ctrl->IsInPlaceActive());
    EXPECT_FALSE(h.ctrl->IsUIActive());
    EXPECT_EQ(1, site->inPlaceActivations);
    HWND hwnd = nullptr;
    auto ipo = h.As<IOleInPlaceObject>(IID_IOleInPlaceObject);
    ASSERT_EQ(S_OK, ipo->GetWindow(&hwnd));
    EXPECT_EQ(parent.Get(), GetParent(hwnd));
    EXPECT_EQ(static_cast<CWnd*>(h.ctrl), CWnd::FromHandle(hwnd));
    RECT rc;
    GetWindowRect(hwnd, &rc);
    MapWindowPoints(nullptr, parent.Get(), reinterpret_cast<POINT*>(&rc), 2);
    EXPECT_EQ(5, rc.left);
    EXPECT_EQ(50, rc.right - rc.left);

    RECT moved = {20, 30, 60, 50};
    EXPECT_EQ(S_OK, ipo->SetObjectRects(&moved, &moved));
    GetWindowRect(hwnd, &rc);
    EXPECT_EQ(40, rc.right - rc.left);
    EXPECT_EQ(20, rc.bottom - rc.top);

    // Messages of the own window reach the derived control.
    SendMessageW(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(1, h.ctrl->doubleClicks);
    UINT style = GetClassLongW(hwnd, GCL_STYLE);
    EXPECT_TRUE(style & CS_DBLCLKS);

    ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site, 0, parent.Get(), &moved));
    EXPECT_TRUE(h.ctrl->IsUIActive());
    EXPECT_EQ(1, site->uiActivations);

    ASSERT_EQ(S_OK, ipo->InPlaceDeactivate());
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(nullptr, h.ctrl->Hwnd());
    EXPECT_EQ(1, site->uiDeactivations);
    EXPECT_EQ(1, site->inPlaceDeactivations);
    EXPECT_EQ(E_FAIL, ipo->GetWindow(&hwnd));
}

TEST(ControlSite, CloseSavesADirtyControlAndDeactivates) {
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ole->SetClientSite(site);
    auto* sink = new CViewSink;
    CComRef<IAdviseSink> sinkRef = CComRef<IAdviseSink>::Adopt(sink);
    DWORD conn = 0;
    ASSERT_EQ(S_OK, ole->Advise(sink, &conn));
    ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_SHOW, nullptr, site, 0, parent.Get(), nullptr));

    h.ctrl->SetSpeed(1200);
    EXPECT_EQ(S_OK, ole->Close(OLECLOSE_SAVEIFDIRTY));
    EXPECT_EQ(1, site->saveObjectCalls);
    EXPECT_EQ(1, sink->closes);
    EXPECT_FALSE(h.ctrl->IsInPlaceActive());
    EXPECT_EQ(S_OK, ole->Unadvise(conn));
    EXPECT_EQ(S_OK, ole->Close(OLECLOSE_NOSAVE));
    EXPECT_EQ(1, site->saveObjectCalls);
    ole->SetClientSite(nullptr);
}

TEST(ControlSite, ActivationIsRefusedWhenTheSiteSaysSo) {
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    site->allowInPlace = false;
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ole->SetClientSite(site);
    EXPECT_EQ(E_FAIL, ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, parent.Get(), nullptr));
    EXPECT_EQ(nullptr, h.ctrl->Hwnd());
    EXPECT_EQ(E_NOTIMPL, ole->DoVerb(-100, nullptr, site, 0, parent.Get(), nullptr));
    ole->SetClientSite(nullptr);
}

TEST(ControlSite, PropertiesVerbAsksTheContainerFirst) {
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ole->SetClientSite(site);
    EXPECT_EQ(S_OK, ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, site, 0, parent.Get(), nullptr));
    EXPECT_EQ(1, site->propertyFrameRequests);

    // A container builds its verb menu from EnumVerbs; the control class has no Verb keys in
    // the registry, so the list is the control's own, and each verb in it is one DoVerb runs.
    CComRef<IEnumOLEVERB> verbs;
    ASSERT_EQ(S_OK, ole->EnumVerbs(verbs.Put()));
    std::vector<LONG> listed;
    OLEVERB verb = {};
    while (verbs->Next(1, &verb, nullptr) == S_OK) {
        listed.push_back(verb.lVerb);
        EXPECT_TRUE(verb.lpszVerbName && *verb.lpszVerbName);
        EXPECT_TRUE(verb.grfAttribs & OLEVERBATTRIB_ONCONTAINERMENU);
        CoTaskMemFree(verb.lpszVerbName);
        EXPECT_EQ(S_OK, ole->DoVerb(verb.lVerb, nullptr, site, 0, parent.Get(), nullptr));
    }
    EXPECT_EQ((std::vector<LONG>{OLEIVERB_PRIMARY, OLEIVERB_PROPERTIES}), listed);
    EXPECT_EQ(2, site->propertyFrameRequests);
    ole->SetClientSite(nullptr);
}

TEST(ControlFacts, UserTypeMiscStatusPagesAndControlInfo) {
    CSampleHolder h;
    auto ole = h.As<IOleObject>(IID_IOleObject);
    LPOLESTR type = nullptr;
    ASSERT_EQ(S_OK, ole->GetUserType(USERCLASSTYPE_FULL, &type));
    EXPECT_STREQ(L"Sample Framework Control", type);
    CoTaskMemFree(type);
    CLSID clsid = {};
    EXPECT_EQ(S_OK, ole->GetUserClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_SampleCtrl, clsid));
    DWORD misc = 0;
    EXPECT_EQ(S_OK, ole->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_TRUE(misc & OLEMISC_SETCLIENTSITEFIRST);
    EXPECT_TRUE(misc & OLEMISC_ACTIVATEWHENVISIBLE);

    CAUUID pages = {};
    ASSERT_EQ(S_OK, h.As<ISpecifyPropertyPages>(IID_ISpecifyPropertyPages)->GetPages(&pages));
    ASSERT_EQ(1u, pages.cElems);
    EXPECT_TRUE(IsEqualCLSID(CLSID_SamplePage, pages.pElems[0]));
    CoTaskMemFree(pages.pElems);

    CONTROLINFO info = {};
    info.cb = sizeof info;
    EXPECT_EQ(S_OK, h.As<IOleControl>(IID_IOleControl)->GetControlInfo(&info));
    EXPECT_EQ(0, info.cAccel);
}

TEST(ControlFacts, ObjectSafetyIsConsistentForScriptingAndInitialisation) {
    CSampleHolder h;
    auto safety = h.As<IObjectSafety>(IID_IObjectSafety);
    const DWORD both = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    for (const IID* iid : {&IID_IDispatch, &DIID_SampleDispatch, &IID_IPersistStreamInit, &IID_IPersistStorage,
                           &IID_IPersistPropertyBag}) {
        DWORD supported = 0, enabled = 99;
        EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled));
        EXPECT_EQ(both, supported);
        EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(*iid, both, both));
        EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled));
        EXPECT_EQ(both, enabled);
    }
    DWORD supported = 0, enabled = 0;
    EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled));
    EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x100, 0x100));
}

TEST(ControlFacts, QuickActivateSitesAndConnectsTheEventSink) {
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    auto* sink = new CTestEventSink(DIID_SampleEvents);
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);

    QACONTAINER qc = {};
    qc.cbSize = sizeof qc;
    qc.pClientSite = site;
    qc.pUnkEventSink = sink;
    QACONTROL qctl = {};
    qctl.cbSize = sizeof qctl;
    ASSERT_EQ(S_OK, h.As<IQuickActivate>(IID_IQuickActivate)->QuickActivate(&qc, &qctl));
    EXPECT_NE(0u, qctl.dwEventCookie);
    EXPECT_TRUE(qctl.dwMiscStatus & OLEMISC_SETCLIENTSITEFIRST);
    EXPECT_EQ(site, h.ctrl->GetClientSite());
    CVariant arg(1L);
    EXPECT_EQ(1u, h.ctrl->FireEvent(DISPID_SAMPLE_EVENT_PINGED, &arg, 1));
    EXPECT_EQ(1u, sink->calls.size());
    h.As<IOleObject>(IID_IOleObject)->SetClientSite(nullptr);
}

TEST(ControlFacts, EveryInterfaceAnswersTheSameIdentity) {
    CSampleHolder h;
    const IID* iids[] = {&IID_IDispatch, &IID_IOleObject, &IID_IOleInPlaceObject, &IID_IOleInPlaceActiveObject,
                         &IID_IOleControl, &IID_IViewObject2, &IID_IPersistStreamInit, &IID_IPersistStream,
                         &IID_IPersistStorage, &IID_IPersistPropertyBag, &IID_IConnectionPointContainer,
                         &IID_IProvideClassInfo2, &IID_ISpecifyPropertyPages, &IID_IQuickActivate,
                         &IID_IObjectSafety, &IID_IOleWindow, &IID_IPersist, &IID_IViewObject};
    for (const IID* iid : iids) {
        CComRef<IUnknown> itf;
        ASSERT_EQ(S_OK, h.unknown->QueryInterface(*iid, itf.PutVoid()));
        CComRef<IUnknown> identity;
        ASSERT_EQ(S_OK, itf->QueryInterface(IID_IUnknown, identity.PutVoid()));
        EXPECT_EQ(h.unknown.Get(), identity.Get());
    }
    CComRef<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, h.unknown->QueryInterface(IID_IDataObject, none.PutVoid()));
}

namespace {
// An outer object as a container builds its extended control by aggregation: its own
// count, every interface it lacks asked of the inner unknown.
class CTestOuter final : public IUnknown, public CTestRefCounted<CTestOuter> {
public:
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    IUnknown* inner = nullptr;
};
}  // namespace

TEST(ControlFacts, AggregatedEveryInterfaceIsTheOuterObjects) {
    CModuleState module;
    CClassFactory<CSampleCtrl> factory(CLSID_SampleCtrl, module);
    auto* outer = new CTestOuter;
    ASSERT_EQ(S_OK, factory.CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&outer->inner)));
    EXPECT_EQ(1u, outer->Refs()) << "the inner object holds no reference on its outer one";
    const IID* iids[] = {&IID_IDispatch, &IID_IOleObject, &IID_IOleInPlaceObject, &IID_IOleControl,
                         &IID_IViewObject2, &IID_IPersistStreamInit, &IID_IPersistStorage,
                         &IID_IPersistPropertyBag, &IID_IConnectionPointContainer, &IID_IProvideClassInfo2,
                         &IID_IQuickActivate, &IID_IObjectSafety};
    for (const IID* iid : iids) {
        CComRef<IUnknown> itf;
        ASSERT_EQ(S_OK, outer->QueryInterface(*iid, itf.PutVoid()));
        EXPECT_EQ(2u, outer->Refs()) << "an interface's reference is the outer object's";
        CComRef<IUnknown> identity;
        ASSERT_EQ(S_OK, itf->QueryInterface(IID_IUnknown, identity.PutVoid()));
        EXPECT_EQ(static_cast<IUnknown*>(outer), identity.Get());
    }
    {
        CComRef<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, outer->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
        CComRef<IConnectionPoint> point;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_SampleEvents, point.Put()));
        EXPECT_EQ(3u, outer->Refs()) << "so is the connection point's";
    }
    EXPECT_EQ(1u, outer->Refs());
    CComRef<IUnknown> innerIdentity;
    ASSERT_EQ(S_OK, outer->inner->QueryInterface(IID_IUnknown, innerIdentity.PutVoid()));
    EXPECT_EQ(outer->inner, innerIdentity.Get()) << "the inner unknown does not delegate";
    innerIdentity.Reset();
    EXPECT_EQ(1, module.ObjectCount());
    EXPECT_EQ(0u, outer->inner->Release());
    outer->inner = nullptr;
    EXPECT_EQ(0, module.ObjectCount());
    outer->Release();
}
