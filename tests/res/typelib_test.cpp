// The type library embedded in this test program (TYPELIB 1, from the resource object),
// read back through ITypeLib / ITypeInfo and compared with the published interface.
// Built with TARVEL_TYPELIB_MODULE (a path) and TARVEL_TYPELIB_SYSKIND, the same checks read
// another module's library instead: the x64 build checks the x86 module's library this way, so
// that it is checked on machines that cannot run 32-bit programs.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <vector>
#include "com_raii.h"
#include "tarvel_ids.h"

namespace {

// ---- What the library must contain, written from the interface description ----

struct ExpectedType {
    VARTYPE vt;
    const wchar_t* refName;  // VT_USERDEFINED: name of the referenced type info
};
const ExpectedType I2{VT_I2, nullptr}, I4{VT_I4, nullptr}, BOOL_{VT_BOOL, nullptr}, BSTR_{VT_BSTR, nullptr},
    VARIANT_{VT_VARIANT, nullptr}, VOID_{VT_VOID, nullptr};
ExpectedType Ref(const wchar_t* name) { return {VT_USERDEFINED, name}; }

struct ExpectedEnumValue {
    const wchar_t* name;
    LONG value;
    const wchar_t* help;
};

struct ExpectedProperty {
    DISPID id;
    const wchar_t* name;
    ExpectedType type;
};

struct ExpectedParam {
    const wchar_t* name;
    ExpectedType type;
};

struct ExpectedMethod {
    DISPID id;
    const wchar_t* name;
    ExpectedType result;
    std::vector<ExpectedParam> params;
};

struct ExpectedInfo {
    const wchar_t* name;
    TYPEKIND kind;
    GUID guid;
    WORD flags;
    const wchar_t* help;  // nullptr: none
};

const std::vector<ExpectedInfo> kInfos = {
    {L"PARITY", TKIND_ENUM, GUID_NULL, 0, nullptr},
    {L"STOPBITS", TKIND_ENUM, GUID_NULL, 0, nullptr},
    {L"DataMode", TKIND_ENUM, GUID_NULL, 0, nullptr},
    {L"SerialEvent", TKIND_ENUM, GUID_NULL, 0, nullptr},
    {L"Event", TKIND_ENUM, GUID_NULL, 0, nullptr},
    {L"_DTarvel", TKIND_DISPATCH, DIID__DTarvel, TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE,
     L"Dispatch interface for Tarvel Control"},
    {L"_DTarvelEvents", TKIND_DISPATCH, DIID__DTarvelEvents, TYPEFLAG_FDISPATCHABLE,
     L"Event interface for Tarvel Control"},
    {L"Tarvel", TKIND_COCLASS, CLSID_Tarvel, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, L"Tarvel Control"},
};

const std::vector<std::pair<const wchar_t*, std::vector<ExpectedEnumValue>>> kEnums = {
    {L"PARITY",
     {{L"NOPARITY", 0, L"NOPARITY"},
      {L"ODDPARITY", 1, L"ODDPARITY"},
      {L"EVENPARITY", 2, L"EVENPARITY"},
      {L"MARKPARITY", 3, L"MARKPARITY"},
      {L"SPACEPARITY", 4, L"SPACEPARITY"}}},
    {L"STOPBITS",
     {{L"ONESTOPBIT", 0, L"1 Stop Bit"}, {L"ONE5STOPBITS", 1, L"1.5 Stop Bits"}, {L"TWOSTOPBITS", 2, L"2 Stop Bits"}}},
    {L"DataMode",
     {{L"BINARY", 0, L"Binary mode"}, {L"TEXT", 1, L"Text mode"}, {L"BINARYJS", 2, L"Javascript binary mode"}}},
    {L"SerialEvent",  // alphabetical order of the names
     {{L"EV_BREAK", 0x40, L"A break was detected on input"},
      {L"EV_CTS", 0x08, L"The CTS signal changed state"},
      {L"EV_DSR", 0x10, L"The DSR signal changed state"},
      {L"EV_ERR", 0x80, L"A line-status error occurred (framing, overrun or parity)"},
      {L"EV_RING", 0x100, L"A ring indicator was detected"},
      {L"EV_RLSD", 0x20, L"The RLSD signal changed state"},
      {L"EV_RXCHAR", 0x01, L"A character was received and placed in the input buffer"},
      {L"EV_RXFLAG", 0x02, L"The event character was received and placed in the input buffer"},
      {L"EV_TXEMPTY", 0x04, L"The last character in the output buffer was sent"}}},
    {L"Event",
     {{L"EVT_DISCONNECT", 0, L"Serial port disconnected"},
      {L"EVT_DATA", 1, L"Incoming data"},
      {L"EVT_SERIALEVENT", 2, L"Serial port event"},
      {L"EVT_CONNECT", 3, L"Serial port connected"}}},
};

// "Parity" and "StopBits" read in the spelling of the enumerations declared before them:
// a type library keeps one spelling per case-insensitive name.
const std::vector<ExpectedProperty> kProperties = {
    {1, L"Port", I4},
    {2, L"BaudRate", I4},
    {3, L"DataBits", I4},
    {4, L"PARITY", Ref(L"PARITY")},
    {5, L"STOPBITS", Ref(L"STOPBITS")},
    {6, L"Error", I4},
    {7, L"ErrorDescription", BSTR_},
    {8, L"Connected", BOOL_},
    {9, L"PortsAvailable", BSTR_},
    {10, L"DataMode", Ref(L"DataMode")},
    {11, L"NullSubst", I2},
    {12, L"RecvIntervalTimeout", I2},
    {13, L"DTR", BOOL_},
    {14, L"RTS", BOOL_},
    {15, L"DSR", BOOL_},
    {16, L"CTS", BOOL_},
    {17, L"RI", BOOL_},
    {18, L"RecvSizeThreshold", I4},
    {19, L"Version", BSTR_},
};

const std::vector<ExpectedMethod> kMethods = {
    {40, L"Send", I4, {{L"data", VARIANT_}}},
    {41, L"GetPortFriendlyName", BSTR_, {{L"Port", I4}}},
    {-552, L"AboutBox", VOID_, {}},
};

const std::vector<ExpectedMethod> kEvents = {
    {1, L"CommEvent", VOID_, {{L"Evt", Ref(L"Event")}, {L"data", VARIANT_}}},
};

// ---- Access helpers ----

std::wstring ModulePath() {
#ifdef TARVEL_TYPELIB_MODULE
    return L"Z:" TARVEL_TYPELIB_MODULE;
#endif
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

class CTypeAttr {
public:
    explicit CTypeAttr(ITypeInfo* ti) : ti_(ti) { if (FAILED(ti->GetTypeAttr(&attr_))) attr_ = nullptr; }
    CTypeAttr(const CTypeAttr&) = delete;
    CTypeAttr& operator=(const CTypeAttr&) = delete;
    ~CTypeAttr() { if (attr_) ti_->ReleaseTypeAttr(attr_); }
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo* ti_;
    TYPEATTR* attr_ = nullptr;
};

class CVarDesc {
public:
    CVarDesc(ITypeInfo* ti, UINT index) : ti_(ti) { if (FAILED(ti->GetVarDesc(index, &vd_))) vd_ = nullptr; }
    CVarDesc(const CVarDesc&) = delete;
    CVarDesc& operator=(const CVarDesc&) = delete;
    ~CVarDesc() { if (vd_) ti_->ReleaseVarDesc(vd_); }
    const VARDESC* operator->() const { return vd_; }
    explicit operator bool() const { return vd_ != nullptr; }

private:
    ITypeInfo* ti_;
    VARDESC* vd_ = nullptr;
};

class CFuncDesc {
public:
    CFuncDesc(ITypeInfo* ti, UINT index) : ti_(ti) { if (FAILED(ti->GetFuncDesc(index, &fd_))) fd_ = nullptr; }
    CFuncDesc(const CFuncDesc&) = delete;
    CFuncDesc& operator=(const CFuncDesc&) = delete;
    ~CFuncDesc() { if (fd_) ti_->ReleaseFuncDesc(fd_); }
    const FUNCDESC* operator->() const { return fd_; }
    explicit operator bool() const { return fd_ != nullptr; }

private:
    ITypeInfo* ti_;
    FUNCDESC* fd_ = nullptr;
};

struct Doc {
    std::wstring name, help;
};

Doc MemberDoc(ITypeInfo* ti, MEMBERID id) {
    CBstr name, help;
    if (FAILED(ti->GetDocumentation(id, name.Put(), help.Put(), nullptr, nullptr))) return {L"<error>", L"<error>"};
    return {name.CStr(), help.CStr()};
}

// Checks a type description against the expectation, following a user-defined reference.
void ExpectType(ITypeInfo* owner, const TYPEDESC& td, const ExpectedType& want, const std::wstring& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(want.vt, td.vt);
    if (!want.refName) return;
    CComRef<ITypeInfo> ref;
    ASSERT_EQ(S_OK, owner->GetRefTypeInfo(td.hreftype, ref.Put()));
    EXPECT_EQ(want.refName, MemberDoc(ref.Get(), MEMBERID_NIL).name);
    CTypeAttr attr(ref.Get());
    ASSERT_TRUE(attr);
    EXPECT_EQ(TKIND_ENUM, attr->typekind);
}

class TypeLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib_.Put()));
    }

    CComRef<ITypeInfo> Info(const wchar_t* name) {
        for (UINT i = 0; i < lib_->GetTypeInfoCount(); ++i) {
            CBstr n;
            if (SUCCEEDED(lib_->GetDocumentation(i, n.Put(), nullptr, nullptr, nullptr)) &&
                std::wstring(n.CStr()) == name) {
                CComRef<ITypeInfo> ti;
                if (SUCCEEDED(lib_->GetTypeInfo(i, ti.Put()))) return ti;
            }
        }
        ADD_FAILURE() << "no type info " << testing::PrintToString(std::wstring(name));
        return {};
    }

    void ExpectMethods(const wchar_t* infoName, const std::vector<ExpectedMethod>& methods) {
        auto ti = Info(infoName);
        ASSERT_TRUE(ti);
        CTypeAttr attr(ti.Get());
        ASSERT_TRUE(attr);
        ASSERT_EQ(methods.size(), attr->cFuncs);
        for (UINT i = 0; i < methods.size(); ++i) {
            const auto& m = methods[i];
            SCOPED_TRACE(testing::PrintToString(std::wstring(m.name)));
            CFuncDesc fd(ti.Get(), i);
            ASSERT_TRUE(fd);
            EXPECT_EQ(m.id, fd->memid);
            EXPECT_EQ(FUNC_DISPATCH, fd->funckind);
            EXPECT_EQ(INVOKE_FUNC, fd->invkind);
            EXPECT_EQ(0, fd->cParamsOpt);
            EXPECT_EQ(0, fd->wFuncFlags);
            ExpectType(ti.Get(), fd->elemdescFunc.tdesc, m.result, L"result");
            ASSERT_EQ(m.params.size(), static_cast<size_t>(fd->cParams));
            std::vector<BSTR> names(m.params.size() + 1, nullptr);
            UINT got = 0;
            ASSERT_EQ(S_OK, ti->GetNames(fd->memid, names.data(), UINT(names.size()), &got));
            std::vector<CBstr> owned;
            for (UINT k = 0; k < got; ++k) owned.push_back(CBstr::Attach(names[k]));
            ASSERT_EQ(names.size(), got);
            EXPECT_EQ(m.name, std::wstring(owned[0].CStr()));
            for (size_t p = 0; p < m.params.size(); ++p) {
                EXPECT_EQ(m.params[p].name, std::wstring(owned[p + 1].CStr()));
                ExpectType(ti.Get(), fd->lprgelemdescParam[p].tdesc, m.params[p].type,
                           std::wstring(L"parameter ") + m.params[p].name);
            }
        }
    }

    CComRef<ITypeLib> lib_;
};

// ---- Tests ----

TEST_F(TypeLibTest, LibraryIdentity) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
    EXPECT_EQ(LIBID_TarvelLib, attr->guid);
    EXPECT_EQ(0x0409u, attr->lcid);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(74, attr->wMinorVerNum);
#if defined(TARVEL_TYPELIB_SYSKIND)
    EXPECT_EQ(TARVEL_TYPELIB_SYSKIND, attr->syskind);
#elif defined(_WIN64)
    EXPECT_EQ(SYS_WIN64, attr->syskind);
#else
    EXPECT_EQ(SYS_WIN32, attr->syskind);
#endif
    // Neither restricted, control nor hidden (the loader adds LIBFLAG_FHASDISKIMAGE itself).
    EXPECT_EQ(0, attr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN));
    lib_->ReleaseTLibAttr(attr);

    CBstr name, help;
    ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, name.Put(), help.Put(), nullptr, nullptr));
    EXPECT_STREQ(L"TarvelLib", name.CStr());
    EXPECT_STREQ(L"Tarvel ActiveX Control module", help.CStr());
}

TEST_F(TypeLibTest, TypeInfosInOrderWithKindGuidFlagsAndHelp) {
    ASSERT_EQ(kInfos.size(), lib_->GetTypeInfoCount());
    for (UINT i = 0; i < kInfos.size(); ++i) {
        const auto& want = kInfos[i];
        SCOPED_TRACE(testing::PrintToString(std::wstring(want.name)));
        CBstr name, help;
        ASSERT_EQ(S_OK, lib_->GetDocumentation(i, name.Put(), help.Put(), nullptr, nullptr));
        EXPECT_STREQ(want.name, name.CStr());
        EXPECT_STREQ(want.help ? want.help : L"", help.CStr());
        CComRef<ITypeInfo> ti;
        ASSERT_EQ(S_OK, lib_->GetTypeInfo(i, ti.Put()));
        CTypeAttr attr(ti.Get());
        ASSERT_TRUE(attr);
        EXPECT_EQ(want.kind, attr->typekind);
        EXPECT_EQ(want.guid, attr->guid);
        EXPECT_EQ(want.flags, attr->wTypeFlags);
        // Found by its identifier as well, where it has one.
        if (want.guid != GUID_NULL) {
            CComRef<ITypeInfo> byGuid;
            EXPECT_EQ(S_OK, lib_->GetTypeInfoOfGuid(want.guid, byGuid.Put()));
        }
    }
}

TEST_F(TypeLibTest, EnumerationMembersValuesAndHelpStrings) {
    for (const auto& [enumName, values] : kEnums) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(enumName)));
        auto ti = Info(enumName);
        ASSERT_TRUE(ti);
        CTypeAttr attr(ti.Get());
        ASSERT_TRUE(attr);
        EXPECT_EQ(4u, attr->cbSizeInstance);
        ASSERT_EQ(values.size(), attr->cVars);
        for (UINT i = 0; i < values.size(); ++i) {
            const auto& want = values[i];
            SCOPED_TRACE(testing::PrintToString(std::wstring(want.name)));
            CVarDesc vd(ti.Get(), i);
            ASSERT_TRUE(vd);
            EXPECT_EQ(VAR_CONST, vd->varkind);
            ASSERT_NE(nullptr, vd->lpvarValue);
            CVariant value(*vd->lpvarValue);
            ASSERT_EQ(S_OK, value.ChangeType(VT_I4));
            EXPECT_EQ(want.value, value.lVal);
            const Doc doc = MemberDoc(ti.Get(), vd->memid);
            EXPECT_EQ(want.name, doc.name);
            EXPECT_EQ(want.help, doc.help);
        }
    }
}

TEST_F(TypeLibTest, DispatchInterfacePropertiesByDispid) {
    auto ti = Info(L"_DTarvel");
    ASSERT_TRUE(ti);
    CTypeAttr attr(ti.Get());
    ASSERT_TRUE(attr);
    ASSERT_EQ(kProperties.size(), attr->cVars);
    for (UINT i = 0; i < kProperties.size(); ++i) {
        const auto& want = kProperties[i];
        SCOPED_TRACE(testing::PrintToString(std::wstring(want.name)));
        CVarDesc vd(ti.Get(), i);
        ASSERT_TRUE(vd);
        EXPECT_EQ(want.id, vd->memid);
        EXPECT_EQ(VAR_DISPATCH, vd->varkind);
        // Not read-only in the library: writes to the read-only properties must reach
        // the control, which accepts and ignores them.
        EXPECT_EQ(0, vd->wVarFlags);
        EXPECT_EQ(want.name, MemberDoc(ti.Get(), vd->memid).name);
        ExpectType(ti.Get(), vd->elemdescVar.tdesc, want.type, L"property type");
    }
}

TEST_F(TypeLibTest, DispatchInterfaceMethods) { ExpectMethods(L"_DTarvel", kMethods); }

TEST_F(TypeLibTest, EventInterfaceCommEvent) { ExpectMethods(L"_DTarvelEvents", kEvents); }

TEST_F(TypeLibTest, DispinterfacesDeriveFromIDispatch) {
    for (const wchar_t* name : {L"_DTarvel", L"_DTarvelEvents"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        auto ti = Info(name);
        ASSERT_TRUE(ti);
        CTypeAttr attr(ti.Get());
        ASSERT_TRUE(attr);
        ASSERT_EQ(1, attr->cImplTypes);
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, ti->GetRefTypeOfImplType(0, &ref));
        CComRef<ITypeInfo> base;
        ASSERT_EQ(S_OK, ti->GetRefTypeInfo(ref, base.Put()));
        CTypeAttr baseAttr(base.Get());
        ASSERT_TRUE(baseAttr);
        EXPECT_EQ(IID_IDispatch, baseAttr->guid);
        EXPECT_EQ(L"IDispatch", MemberDoc(base.Get(), MEMBERID_NIL).name);
    }
}

TEST_F(TypeLibTest, CoclassDefaultInterfaceAndDefaultSource) {
    auto ti = Info(L"Tarvel");
    ASSERT_TRUE(ti);
    CTypeAttr attr(ti.Get());
    ASSERT_TRUE(attr);
    ASSERT_EQ(2, attr->cImplTypes);
    const struct {
        GUID iid;
        INT flags;
    } want[] = {{DIID__DTarvel, IMPLTYPEFLAG_FDEFAULT},
                {DIID__DTarvelEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
    for (UINT i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        INT flags = -1;
        ASSERT_EQ(S_OK, ti->GetImplTypeFlags(i, &flags));
        EXPECT_EQ(want[i].flags, flags);
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, ti->GetRefTypeOfImplType(i, &ref));
        CComRef<ITypeInfo> impl;
        ASSERT_EQ(S_OK, ti->GetRefTypeInfo(ref, impl.Put()));
        CTypeAttr implAttr(impl.Get());
        ASSERT_TRUE(implAttr);
        EXPECT_EQ(want[i].iid, implAttr->guid);
    }
}

// Hosts bind by name without regard to case.
TEST_F(TypeLibTest, NamesResolveWithoutCase) {
    auto ti = Info(L"_DTarvel");
    ASSERT_TRUE(ti);
    const struct {
        const wchar_t* name;
        MEMBERID id;
    } cases[] = {{L"Parity", 4}, {L"stopbits", 5}, {L"RECVSIZETHRESHOLD", 18}, {L"send", 40},
                 {L"GetPortFriendlyName", 41}, {L"aboutbox", -552}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        std::wstring name(c.name);
        LPOLESTR names[] = {&name[0]};
        MEMBERID id = 0;
        ASSERT_EQ(S_OK, ti->GetIDsOfNames(names, 1, &id));
        EXPECT_EQ(c.id, id);
    }
    std::wstring unknown(L"NoSuchMember");
    LPOLESTR names[] = {&unknown[0]};
    MEMBERID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, ti->GetIDsOfNames(names, 1, &id));
}

}  // namespace
