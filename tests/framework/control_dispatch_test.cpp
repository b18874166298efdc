// IDispatch of the control base over the sample's dispatch map, and the event
// connection point.
#include <stdexcept>

#include "fw_test_env.h"

namespace {

class DispatchTest : public ::testing::Test {
protected:
    CSampleHolder sample;
    CComRef<IDispatch> disp = sample.As<IDispatch>(IID_IDispatch);
};

DISPID IdOf(IDispatch* d, const wchar_t* name) {
    DISPID id = 12345;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    EXPECT_EQ(S_OK, d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id)) << name;
    return id;
}

}  // namespace

TEST_F(DispatchTest, PropertiesByDispidReadBackWhatWasWritten) {
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, CVariant(19200L)));
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_ENABLED, CVariant(true)));
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SMALL, CVariant(short(-7))));
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_LABEL, CVariant(L"abc")));

    CVariant v;
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_SPEED, v));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(19200, v.lVal);
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_ENABLED, v));
    EXPECT_EQ(VT_BOOL, v.vt);
    EXPECT_EQ(VARIANT_TRUE, v.boolVal);
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_SMALL, v));
    EXPECT_EQ(VT_I2, v.vt);
    EXPECT_EQ(-7, v.iVal);
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_LABEL, v));
    ASSERT_EQ(VT_BSTR, v.vt);
    EXPECT_STREQ(L"abc", v.bstrVal);
}

TEST_F(DispatchTest, GettersAnswerPropertyGetMethodAndBoth) {
    for (WORD flags : {WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD), WORD(DISPATCH_PROPERTYGET | DISPATCH_METHOD)}) {
        CVariant v;
        EXPECT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_SECRET, v, flags)) << flags;
        EXPECT_EQ(42, v.lVal) << flags;
    }
}

TEST_F(DispatchTest, NamesAreFoundWithoutRegardToCase) {
    EXPECT_EQ(DISPID_SAMPLE_SPEED, IdOf(disp.Get(), L"Speed"));
    EXPECT_EQ(DISPID_SAMPLE_SPEED, IdOf(disp.Get(), L"SPEED"));
    EXPECT_EQ(DISPID_SAMPLE_PING, IdOf(disp.Get(), L"ping"));

    LPOLESTR names[2] = {const_cast<LPOLESTR>(L"nosuch"), const_cast<LPOLESTR>(L"x")};
    DISPID ids[2] = {1, 1};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, disp->GetIDsOfNames(IID_NULL, names, 1, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[0]);
    names[0] = const_cast<LPOLESTR>(L"Add");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, disp->GetIDsOfNames(IID_NULL, names, 2, 0, ids)) << "argument names are unknown";
    EXPECT_EQ(DISPID_SAMPLE_ADD, ids[0]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);

    // A write by name, as a script does it.
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), IdOf(disp.Get(), L"label"), CVariant(L"by name")));
    EXPECT_STREQ(L"by name", sample.ctrl->GetLabel().CStr());
}

TEST_F(DispatchTest, WrittenValuesAreCoercedAndByRefDereferenced) {
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, CVariant(L"4800")));
    EXPECT_EQ(4800, sample.ctrl->GetSpeed());
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, CVariant(2400.4)));
    EXPECT_EQ(2400, sample.ctrl->GetSpeed());

    // VBScript passes variables by reference.
    long byRefValue = 57600;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &byRefValue;
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, ref));
    EXPECT_EQ(57600, sample.ctrl->GetSpeed());

    CVariant inner(L"9600");
    VARIANT refVar;
    refVar.vt = VT_BYREF | VT_VARIANT;
    refVar.pvarVal = &inner;
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, refVar));
    EXPECT_EQ(9600, sample.ctrl->GetSpeed());

    // A VARIANT property keeps the value, not the reference.
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_ANY, ref));
    byRefValue = 1;
    CVariant any;
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_ANY, any));
    EXPECT_EQ(VT_I4, any.vt);
    EXPECT_EQ(57600, any.lVal);
}

TEST_F(DispatchTest, PutWithoutTheNamedArgumentIsAccepted) {
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, CVariant(300L), false));
    EXPECT_EQ(300, sample.ctrl->GetSpeed());
}

TEST_F(DispatchTest, BadWritesFailWithoutChangingAnything) {
    UINT argErr = 99;
    VARIANT arg;
    arg.vt = VT_BSTR;
    arg.bstrVal = SysAllocString(L"not a number");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS p = {&arg, &named, 1, 1};
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              disp->Invoke(DISPID_SAMPLE_SPEED, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(1, sample.ctrl->GetSpeed());
    SysFreeString(arg.bstrVal);

    EXPECT_EQ(DISP_E_OVERFLOW, PutProperty(disp.Get(), DISPID_SAMPLE_SMALL, CVariant(70000L)));
    EXPECT_EQ(0, sample.ctrl->GetSmall());

    // The control's own range check: silently ignored, as its setter decides.
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_SPEED, CVariant(0L)));
    EXPECT_EQ(1, sample.ctrl->GetSpeed());
    EXPECT_FALSE(sample.ctrl->IsModified());

    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, PutProperty(disp.Get(), 999, CVariant(1L)));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, PutProperty(disp.Get(), DISPID_SAMPLE_PING, CVariant(1L)));
}

TEST_F(DispatchTest, ReadOnlyPropertiesIgnoreOrRejectWritesAsDeclared) {
    EXPECT_EQ(S_OK, PutProperty(disp.Get(), DISPID_SAMPLE_NAME, CVariant(L"other")));
    CVariant v;
    ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_NAME, v));
    EXPECT_STREQ(L"sample", v.bstrVal);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, PutProperty(disp.Get(), DISPID_SAMPLE_SECRET, CVariant(1L)));
}

TEST_F(DispatchTest, MethodsTakeArgumentsInCallOrderAndCheckTheirCount) {
    CVariant r;
    ASSERT_EQ(S_OK, CallMethod(disp.Get(), DISPID_SAMPLE_ADD, {CVariant(2L), CVariant(L"40")}, r));
    EXPECT_EQ(VT_I4, r.vt);
    EXPECT_EQ(42, r.lVal);
    ASSERT_EQ(S_OK, CallMethod(disp.Get(), DISPID_SAMPLE_ADD, {CVariant(1L), CVariant(2L), CVariant(3L)}, r));
    EXPECT_EQ(6, r.lVal);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallMethod(disp.Get(), DISPID_SAMPLE_ADD, {CVariant(1L)}, r));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallMethod(disp.Get(), DISPID_SAMPLE_SECRET, {CVariant(1L)}, r));

    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              CallMethod(disp.Get(), DISPID_SAMPLE_ADD, {CVariant(1L), CVariant(L"x"), CVariant(3L)}, r, nullptr,
                         &argErr));
    EXPECT_EQ(1u, argErr) << "second of three arguments sits at index 1 of rgvarg";

    // No result slot: the method still runs.
    VARIANT args[2] = {CVariant(1L), CVariant(1L)};
    DISPPARAMS p = {args, nullptr, 2, 0};
    EXPECT_EQ(S_OK, disp->Invoke(DISPID_SAMPLE_ADD, IID_NULL, 0, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr));

    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              disp->Invoke(DISPID_SAMPLE_ADD, IID_IDispatch, 0, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr));
}

TEST_F(DispatchTest, OnlyAnExplicitRaiseBecomesAnAutomationException) {
    CVariant r;
    EXCEPINFO info = {};
    EXPECT_EQ(DISP_E_EXCEPTION, CallMethod(disp.Get(), DISPID_SAMPLE_FAIL, {}, r, &info));
    EXPECT_EQ(E_ACCESSDENIED, info.scode);
    EXPECT_STREQ(L"refused on purpose", info.bstrDescription);
    SysFreeString(info.bstrDescription);

    info = EXCEPINFO{};
    EXPECT_EQ(E_UNEXPECTED, CallMethod(disp.Get(), DISPID_SAMPLE_THROW, {}, r, &info));
    EXPECT_EQ(nullptr, info.bstrDescription);
}

TEST_F(DispatchTest, TypeInfoFailsCleanlyWithoutATypeLibrary) {
    UINT count = 0;
    EXPECT_EQ(S_OK, disp->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, disp->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
    EXPECT_EQ(DISP_E_BADINDEX, disp->GetTypeInfo(1, 0, &info));

    auto classInfo = sample.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, classInfo->GetClassInfo(&info));
    GUID events = {};
    EXPECT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events));
    EXPECT_TRUE(IsEqualGUID(DIID_SampleEvents, events));

    // The dispatch interface's own IID reaches the same IDispatch.
    CComRef<IDispatch> viaDiid = sample.As<IDispatch>(DIID_SampleDispatch);
    EXPECT_EQ(disp.Get(), viaDiid.Get());
}

// ---- Events ----------------------------------------------------------------

namespace {

class EventTest : public DispatchTest {
protected:
    CComRef<IConnectionPoint> Point() {
        auto cpc = sample.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        CComRef<IConnectionPoint> cp;
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(DIID_SampleEvents, cp.Put()));
        return cp;
    }
    long Ping(const VARIANT& data) {
        CVariant r;
        EXPECT_EQ(S_OK, CallMethod(disp.Get(), DISPID_SAMPLE_PING, {CVariant(data)}, r));
        return r.lVal;
    }
};

}  // namespace

TEST_F(EventTest, AnAdvisedSinkReceivesTheEventWithItsArguments) {
    auto* sink = new CTestEventSink(DIID_SampleEvents);
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    CComRef<IConnectionPoint> cp = Point();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(sink, &cookie));
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(1u, sample.ctrl->EventSinkCount());

    EXPECT_EQ(1, Ping(CVariant(L"payload")));
    ASSERT_EQ(1u, sink->calls.size());
    const auto& call = sink->calls[0];
    EXPECT_EQ(DISPID_SAMPLE_EVENT_PINGED, call.dispid);
    EXPECT_EQ(DISPATCH_METHOD, call.flags);
    ASSERT_EQ(2u, call.args.size());
    EXPECT_EQ(VT_I2, call.args[0].vt);
    EXPECT_EQ(7, call.args[0].iVal);
    EXPECT_EQ(VT_BSTR, call.args[1].vt);
    EXPECT_STREQ(L"payload", call.args[1].bstrVal);

    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
    EXPECT_EQ(0, Ping(CVariant(1L)));
    EXPECT_EQ(1u, sink->calls.size());
    EXPECT_EQ(1u, sink->Refs()) << "the point released the sink";
}

TEST_F(EventTest, ASinkThatOnlyAnswersIDispatchIsAccepted) {
    auto* sink = new CTestEventSink(DIID_SampleEvents, false);
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, Point()->Advise(sink, &cookie));
    EXPECT_EQ(1, Ping(CVariant(1L)));
    EXPECT_EQ(1u, sink->calls.size());
}

TEST_F(EventTest, ASinkMayUnadviseItselfAndOthersInsideItsHandler) {
    CComRef<IConnectionPoint> cp = Point();
    auto* first = new CTestEventSink(DIID_SampleEvents);
    auto* second = new CTestEventSink(DIID_SampleEvents);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, cp->Advise(first, &c1));
    ASSERT_EQ(S_OK, cp->Advise(second, &c2));
    // The point now holds the only references besides these two, which go away
    // inside the handler: the sinks must stay alive until their calls return.
    first->onInvoke = [&] {
        cp->Unadvise(c1);
        cp->Unadvise(c2);
    };
    first->Release();
    second->onInvoke = [] {};
    CComRef<IDispatch> keepSecond(second);
    second->Release();

    EXPECT_EQ(2, Ping(CVariant(1L))) << "the list was copied before the first call";
    EXPECT_EQ(1u, second->calls.size());
    EXPECT_EQ(0u, sample.ctrl->EventSinkCount());
    EXPECT_EQ(0, Ping(CVariant(1L)));
}

TEST_F(EventTest, ContainerListsOnePointAndRefusesOtherInterfaces) {
    auto cpc = sample.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    CComRef<IConnectionPoint> cp;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IPropertyNotifySink, cp.Put()));

    CComRef<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, cpc->EnumConnectionPoints(points.Put()));
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, got, &fetched));
    ASSERT_EQ(1u, fetched);
    IID iid = {};
    EXPECT_EQ(S_OK, got[0]->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(DIID_SampleEvents, iid));
    CComRef<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, got[0]->GetConnectionPointContainer(back.Put()));
    EXPECT_EQ(cpc.Get(), back.Get());
    got[0]->Release();

    auto* sink = new CTestEventSink(DIID_SampleEvents);
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    DWORD c1, c2;
    cp = Point();
    cp->Advise(sink, &c1);
    cp->Advise(sink, &c2);
    EXPECT_NE(c1, c2);
    CComRef<IEnumConnections> conns;
    ASSERT_EQ(S_OK, cp->EnumConnections(conns.Put()));
    CONNECTDATA data[3] = {};
    EXPECT_EQ(S_FALSE, conns->Next(3, data, &fetched));
    EXPECT_EQ(2u, fetched);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

    CComRef<IUnknown> notASink(static_cast<IUnknown*>(static_cast<IErrorLog*>(new CTestErrorLog)));
    notASink->Release();
    DWORD c3 = 5;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, cp->Advise(notASink.Get(), &c3));
    EXPECT_EQ(0u, c3);
}

TEST(EventLifetime, ASinkThatReleasesTheLastReferenceInsideItsHandlerIsSafe) {
    LONG before = FrameworkModuleState().ObjectCount();
    auto* holder = new CSampleHolder;
    CSampleCtrl* ctrl = holder->ctrl;
    auto* sink = new CTestEventSink(DIID_SampleEvents);
    CComRef<IDispatch> sinkRef = CComRef<IDispatch>::Adopt(sink);
    {
        auto cpc = holder->As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        CComRef<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_SampleEvents, cp.Put()));
        DWORD cookie;
        ASSERT_EQ(S_OK, cp->Advise(sink, &cookie));
    }
    // The host drops the control while handling its event.
    LONG insideHandler = -1;
    sink->onInvoke = [&] {
        delete holder;
        holder = nullptr;
        insideHandler = FrameworkModuleState().ObjectCount();
    };
    EXPECT_EQ(1u, ctrl->FireEventWith(DISPID_SAMPLE_EVENT_PINGED, short(0), 1L));
    EXPECT_EQ(nullptr, holder);
    EXPECT_EQ(before + 1, insideHandler) << "FireEvent keeps the control alive while sinks run";
    EXPECT_EQ(before, FrameworkModuleState().ObjectCount()) << "destroyed once the event returned";
    EXPECT_EQ(1u, sink->Refs()) << "the destroyed control released its sinks";
}
