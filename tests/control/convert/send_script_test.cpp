// Send's conversion fed by real script engines (Wine's jscript.dll and vbscript.dll): a
// small host exposes a named item "ctl" whose Send method hands its argument to SendVariant.
#include <gtest/gtest.h>

#include <initguid.h>  // defines the IActiveScript* interface identifiers below
#include <activscp.h>

#include <string>

#include "control/send_convert.h"
#include "convert_test_util.h"

namespace {

constexpr DISPID kDispidSend = 40;

// The named item: Send(value) converts value and records its result and raw type.
class CSendItem : public IDispatch {
public:
    CSendItem(TxQueue& queue, HANDLE ready) : queue_(queue), ready_(ready) {}

    std::vector<int32_t> results;
    std::vector<VARTYPE> argTypes;  // the types the engine passed, before any dereference

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // owned by the test
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        if (count != 1 || lstrcmpiW(names[0], L"Send") != 0) {
            for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = kDispidSend;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* args, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (id != kDispidSend) return DISP_E_MEMBERNOTFOUND;
        if (!args || args->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        argTypes.push_back(V_VT(&args->rgvarg[0]));
        const int32_t r = SendVariant(args->rgvarg[0], queue_, ready_);
        results.push_back(r);
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_I4;
            V_I4(result) = r;
        }
        return S_OK;
    }

private:
    TxQueue& queue_;
    HANDLE ready_;
};

class CScriptSite : public IActiveScriptSite {
public:
    explicit CScriptSite(IDispatch* item) : item_(item) {}
    std::wstring lastError;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IActiveScriptSite) {
            *out = static_cast<IActiveScriptSite*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        if (lstrcmpiW(name, L"ctl") != 0) return TYPE_E_ELEMENTNOTFOUND;
        if (mask & SCRIPTINFO_ITYPEINFO) return E_NOTIMPL;
        if (!unknown) return E_POINTER;
        item_->AddRef();
        *unknown = item_;
        return S_OK;
    }
    STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError* error) override
    {
        EXCEPINFO info = {};
        if (SUCCEEDED(error->GetExceptionInfo(&info))) {
            if (info.bstrDescription) lastError = info.bstrDescription;
            SysFreeString(info.bstrDescription);
            SysFreeString(info.bstrSource);
            SysFreeString(info.bstrHelpFile);
        }
        if (lastError.empty()) lastError = L"(script error)";
        return S_OK;
    }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

private:
    IDispatch* item_;
};

class ScriptSendTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override
    {
        if (script) {
            script->Close();
            script.Reset();
        }
        CoUninitialize();
    }

    // Starts an engine by its ProgID with "ctl" as a visible named item.
    void StartEngine(const wchar_t* progId)
    {
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << "no " << std::string(progId, progId + wcslen(progId));
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, script.PutVoid()), S_OK);
        ASSERT_EQ(script.QueryTo(IID_IActiveScriptParse, parse), S_OK);
        ASSERT_EQ(script->SetScriptSite(&site), S_OK);
        ASSERT_EQ(parse->InitNew(), S_OK);
        ASSERT_EQ(script->AddNamedItem(L"ctl", SCRIPTITEM_ISVISIBLE), S_OK);
        ASSERT_EQ(script->SetScriptState(SCRIPTSTATE_STARTED), S_OK);
    }

    // Runs statements; fails the test on a script error.
    void Run(const wchar_t* code)
    {
        EXCEPINFO info = {};
        const HRESULT hr = parse->ParseScriptText(code, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, &info);
        EXPECT_EQ(hr, S_OK) << std::string(site.lastError.begin(), site.lastError.end());
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrHelpFile);
    }

    // One Send call from script: its result, and the records it queued.
    int32_t SendFromScript(const wchar_t* code, Records* records)
    {
        const size_t before = item.results.size();
        Run(code);
        *records = TakeRecords(queue);
        if (item.results.size() != before + 1) {
            ADD_FAILURE() << "Send was called " << item.results.size() - before << " times";
            return -1;
        }
        return item.results.back();
    }

    TxQueue queue;
    CUniqueHandle ready{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    CSendItem item{queue, ready.Get()};
    CScriptSite site{&item};
    CComRef<IActiveScript> script;
    CComRef<IActiveScriptParse> parse;
};

TEST_F(ScriptSendTest, JScriptArraysStringsAndNumbers)
{
    StartEngine(L"JScript");
    Records r;
    EXPECT_EQ(SendFromScript(L"ctl.Send([65, \"BC\", 66]);", &r), SEND_OK);
    EXPECT_EQ(item.argTypes.back(), VT_DISPATCH);
    EXPECT_EQ(r, (Records{{0x41}, {0x42, 0x43}, {0x42}}));

    EXPECT_EQ(SendFromScript(L"ctl.Send([1, 2.5, 3]);", &r), SEND_REJECTED);
    EXPECT_EQ(Concat(r), (Bytes{0x01, 0x03}));

    EXPECT_EQ(SendFromScript(L"ctl.Send([[1, 2], [3]]);", &r), SEND_OK);
    EXPECT_EQ(Concat(r), (Bytes{0x01, 0x02, 0x03}));

    EXPECT_EQ(SendFromScript(L"ctl.Send([]);", &r), SEND_OK);
    EXPECT_TRUE(r.empty());

    EXPECT_EQ(SendFromScript(L"ctl.Send(\"AB\");", &r), SEND_OK);
    EXPECT_EQ(r, (Records{{0x41, 0x42}}));

    EXPECT_EQ(SendFromScript(L"ctl.Send(-1);", &r), SEND_OK);
    EXPECT_EQ(r, (Records{{0xFF}}));

    for (const wchar_t* rejected :
         {L"ctl.Send(1.5);", L"ctl.Send(true);", L"ctl.Send(undefined);", L"ctl.Send(null);"}) {
        EXPECT_EQ(SendFromScript(rejected, &r), SEND_REJECTED) << std::string(rejected, rejected + wcslen(rejected));
        EXPECT_TRUE(r.empty());
    }
    // An object without members walks like an empty array.
    EXPECT_EQ(SendFromScript(L"ctl.Send({});", &r), SEND_OK);
    EXPECT_TRUE(r.empty());
}

TEST_F(ScriptSendTest, JScriptLongAndSparseArrays)
{
    StartEngine(L"JScript");
    Records r;
    EXPECT_EQ(SendFromScript(L"var a = []; for (var i = 0; i < 2500; i++) a.push(i & 255); ctl.Send(a);", &r),
              SEND_OK);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].size(), 1000u);
    EXPECT_EQ(r[1].size(), 1000u);
    EXPECT_EQ(r[2].size(), 500u);
    const Bytes all = Concat(r);
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(all[i], static_cast<BYTE>(i)) << "element " << i;

    // Only the indexes that are set are members.
    EXPECT_EQ(SendFromScript(L"var s = [1]; s[2] = 3; ctl.Send(s);", &r), SEND_OK);
    EXPECT_EQ(Concat(r), (Bytes{0x01, 0x03}));
}

TEST_F(ScriptSendTest, JScriptSelfContainingArrayStopsWith2)
{
    StartEngine(L"JScript");
    Records r;
    EXPECT_EQ(SendFromScript(L"var a = [1]; a.push(a); ctl.Send(a);", &r), SEND_REJECTED);
    EXPECT_EQ(Concat(r), Bytes(kSendMaxDepth + 1, 0x01));
    EXPECT_EQ(SendFromScript(L"var b = []; b.push(b, b, 7); ctl.Send(b);", &r), SEND_REJECTED);
    EXPECT_TRUE(r.empty());
}

TEST_F(ScriptSendTest, VBScriptArraysAndScalars)
{
    StartEngine(L"VBScript");
    Records r;
    // A variable arrives by reference to a VARIANT holding the array of VARIANT.
    EXPECT_EQ(SendFromScript(L"Dim a : a = Array(65, \"BC\", 66) : ctl.Send a\n", &r), SEND_OK);
    EXPECT_EQ(item.argTypes.back(), VT_BYREF | VT_VARIANT);
    EXPECT_EQ(r, (Records{{0x41}, {0x42, 0x43}, {0x42}}));

    EXPECT_EQ(SendFromScript(L"ctl.Send Array(65, \"BC\", 66)\n", &r), SEND_OK);
    EXPECT_EQ(r, (Records{{0x41}, {0x42, 0x43}, {0x42}}));

    EXPECT_EQ(SendFromScript(L"ctl.Send Array(1, 2.5, Array(3, 4))\n", &r), SEND_REJECTED);
    EXPECT_EQ(r, (Records{{0x01}, {0x03, 0x04}}));

    EXPECT_EQ(SendFromScript(L"ctl.Send Array()\n", &r), SEND_OK);
    EXPECT_TRUE(r.empty());

    EXPECT_EQ(SendFromScript(L"Dim m(1, 1) : m(0, 0) = 1 : ctl.Send m\n", &r), SEND_MULTIDIM);
    EXPECT_TRUE(r.empty());

    EXPECT_EQ(SendFromScript(L"ctl.Send \"AB\"\n", &r), SEND_OK);
    EXPECT_EQ(r, (Records{{0x41, 0x42}}));
    EXPECT_EQ(SendFromScript(L"ctl.Send 300\n", &r), SEND_OK);
    EXPECT_EQ(r, (Records{{0x2C}}));
    EXPECT_EQ(SendFromScript(L"ctl.Send 1.5\n", &r), SEND_REJECTED);
    EXPECT_EQ(SendFromScript(L"ctl.Send True\n", &r), SEND_REJECTED);
    EXPECT_TRUE(r.empty());
}

}  // namespace
