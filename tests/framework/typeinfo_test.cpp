// Type information once a type library exists: IDispatch::GetTypeInfo and
// IProvideClassInfo come from the library the control names, by its IIDs.
#include "fw_test_env.h"

namespace {

const GUID LIBID_Sample = {0x6C1F3F10, 0x5B2E, 0x4D6A, {0x9E, 0x51, 0x0A, 0x7B, 0x7C, 0x1D, 0x2E, 0x05}};

// Builds in memory: dispinterface _DSample (Speed, DISPID 1), dispinterface
// _DSampleEvents and coclass Sample with both as default and default source.
CComRef<ITypeLib> BuildSampleLibrary() {
    CComRef<ICreateTypeLib2> lib;
    if (FAILED(CreateTypeLib2(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, L"fwsample.tlb", lib.Put()))) return {};
    lib->SetGuid(LIBID_Sample);
    lib->SetVersion(1, 0);
    lib->SetName(const_cast<LPOLESTR>(L"FwSampleLib"));

    CComRef<ITypeLib> stdole;
    if (FAILED(LoadTypeLib(L"stdole2.tlb", stdole.Put()))) return {};
    CComRef<ITypeInfo> idispatch;
    if (FAILED(stdole->GetTypeInfoOfGuid(IID_IDispatch, idispatch.Put()))) return {};

    auto makeDispinterface = [&](const wchar_t* name, const GUID& iid, bool withSpeed) -> CComRef<ITypeInfo> {
        CComRef<ICreateTypeInfo> ti;
        if (FAILED(lib->CreateTypeInfo(const_cast<LPOLESTR>(name), TKIND_DISPATCH, ti.Put()))) return {};
        ti->SetGuid(iid);
        HREFTYPE base;
        ti->AddRefTypeInfo(idispatch.Get(), &base);
        ti->AddImplType(0, base);
        if (withSpeed) {
            FUNCDESC fd = {};
            fd.memid = DISPID_SAMPLE_SPEED;
            fd.funckind = FUNC_DISPATCH;
            fd.invkind = INVOKE_PROPERTYGET;
            fd.callconv = CC_STDCALL;
            fd.elemdescFunc.tdesc.vt = VT_I4;
            ti->AddFuncDesc(0, &fd);
            LPOLESTR names[] = {const_cast<LPOLESTR>(L"Speed")};
            ti->SetFuncAndParamNames(0, names, 1);
        }
        ti->LayOut();
        CComRef<ITypeInfo> out;
        ti.QueryTo(IID_ITypeInfo, out);
        return out;
    };
    CComRef<ITypeInfo> disp = makeDispinterface(L"_DSample", DIID_SampleDispatch, true);
    CComRef<ITypeInfo> events = makeDispinterface(L"_DSampleEvents", DIID_SampleEvents, false);
    if (!disp || !events) return {};

    CComRef<ICreateTypeInfo> co;
    if (FAILED(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"Sample"), TKIND_COCLASS, co.Put()))) return {};
    co->SetGuid(CLSID_SampleCtrl);
    HREFTYPE hDisp, hEvents;
    co->AddRefTypeInfo(disp.Get(), &hDisp);
    co->AddRefTypeInfo(events.Get(), &hEvents);
    co->AddImplType(0, hDisp);
    co->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT);
    co->AddImplType(1, hEvents);
    co->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    co->LayOut();

    CComRef<ITypeLib> result;
    lib.QueryTo(IID_ITypeLib, result);
    return result;
}

GUID GuidOf(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    GUID g = {};
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
        g = attr->guid;
        info->ReleaseTypeAttr(attr);
    }
    return g;
}

}  // namespace

TEST(TypeInfo, DispatchAndClassInfoComeFromTheControlsLibrary) {
    CComRef<ITypeLib> lib = BuildSampleLibrary();
    if (!lib) GTEST_SKIP() << "in-memory type library not available";
    CSampleCtrl::typeLibrary = lib.Get();
    {
        CSampleHolder h;
        auto disp = h.As<IDispatch>(IID_IDispatch);
        CComRef<ITypeInfo> info;
        ASSERT_EQ(S_OK, disp->GetTypeInfo(0, 0x0409, info.Put()));
        EXPECT_TRUE(IsEqualGUID(DIID_SampleDispatch, GuidOf(info.Get())));
        CBstr name;
        EXPECT_EQ(S_OK, info->GetDocumentation(DISPID_SAMPLE_SPEED, name.Put(), nullptr, nullptr, nullptr));
        EXPECT_STREQ(L"Speed", name.CStr());

        CComRef<ITypeInfo> classInfo;
        ASSERT_EQ(S_OK, h.As<IProvideClassInfo>(IID_IProvideClassInfo)->GetClassInfo(classInfo.Put()));
        EXPECT_TRUE(IsEqualGUID(CLSID_SampleCtrl, GuidOf(classInfo.Get())));

        // Members the library does not describe are still reached through the map.
        CVariant v;
        ASSERT_EQ(S_OK, GetProperty(disp.Get(), DISPID_SAMPLE_LABEL, v));
        EXPECT_EQ(VT_BSTR, v.vt);
    }
    CSampleCtrl::typeLibrary = nullptr;
}
