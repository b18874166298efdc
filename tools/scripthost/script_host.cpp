#include "script_host.h"

#include <cstdio>

#include "common/tarvel_ids.h"
#include "event_sink.h"
#include "host_object.h"

namespace {

const wchar_t kHostItem[] = L"Host";

void PrintLine(FILE* stream, const std::wstring& line)
{
    const std::string bytes = ToUtf8(line);
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fputc('\n', stream);
    fflush(stream);
}

std::wstring HexCode(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// Fills the deferred part of an exception record, then its text.
std::wstring DescribeException(EXCEPINFO& ei, HRESULT fallback)
{
    if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
    const HRESULT code = ei.scode ? ei.scode : ei.wCode ? MAKE_HRESULT(1, FACILITY_ITF, ei.wCode) : fallback;
    std::wstring text;
    if (ei.bstrSource) text += std::wstring(ei.bstrSource) + L": ";
    text += ei.bstrDescription && *ei.bstrDescription ? ei.bstrDescription : L"(no description)";
    text += L" [" + HexCode(code) + L"]";
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    ei = EXCEPINFO{};
    return text;
}

}  // namespace

CScriptHost::CScriptHost(std::vector<std::wstring> args) : arguments(std::move(args)), host(new CHostObject(*this)) {}

CScriptHost::~CScriptHost()
{
    // Events off first, then the engine lets go of the named items, then the controls go.
    DisconnectItems();
    if (engine) engine->Close();
    engine.Reset();
    items.clear();
    host->Release();
}

int CScriptHost::Run(ScriptLanguage language, const std::wstring& code)
{
    CComRef<IActiveScriptParse> parse;
    HRESULT hr = StartEngine(language, parse);
    if (FAILED(hr)) {
        PrintLine(stderr, std::wstring(L"cannot start the ") + EngineProgId(language) + L" engine " + HexCode(hr));
        return 1;
    }
    EXCEPINFO ei{};
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, &ei);
    if (FAILED(hr) && !stopping) Fail(L"script failed: " + DescribeException(ei, hr));
    DisconnectItems();
    engine->SetScriptState(SCRIPTSTATE_DISCONNECTED);
    return stopping ? exitCode : 0;
}

HRESULT CScriptHost::StartEngine(ScriptLanguage language, CComRef<IActiveScriptParse>& parse)
{
    CLSID engineClass;
    HRESULT hr = CLSIDFromProgID(EngineProgId(language), &engineClass);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(engineClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IActiveScript), engine.PutVoid());
    if (SUCCEEDED(hr)) hr = engine.QueryTo(__uuidof(IActiveScriptParse), parse);
    if (SUCCEEDED(hr)) hr = engine->SetScriptSite(this);
    if (SUCCEEDED(hr)) hr = parse->InitNew();
    if (SUCCEEDED(hr)) hr = engine->AddNamedItem(kHostItem, SCRIPTITEM_ISVISIBLE | SCRIPTITEM_NOCODE);
    // Connected from the start: code runs as it is parsed, and events may reach handlers.
    if (SUCCEEDED(hr)) hr = engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    return hr;
}

void CScriptHost::Echo(const std::wstring& line)
{
    PrintLine(stdout, line);
}

HRESULT CScriptHost::Sleep(DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (!stopping && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (stopping) return E_ABORT;
        const DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds) return S_OK;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - spent, QS_ALLINPUT);
    }
}

HRESULT CScriptHost::Quit(int code)
{
    if (!stopping) {
        stopping = true;
        exitCode = code;
    }
    // Failing the call unwinds the script; OnScriptError then stays quiet.
    return E_ABORT;
}

HRESULT CScriptHost::CreateControl(const std::wstring& progId, const std::wstring& itemName, VARIANT* result)
{
    if (itemName.empty() || FindItem(itemName.c_str())) return E_INVALIDARG;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr)) return hr;
    CNamedItem item;
    item.name = itemName;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, item.object.PutVoid());
    if (FAILED(hr)) return hr;
    // Initialised as new, as a container does before it uses a control.
    CComRef<IPersistStreamInit> persist;
    if (SUCCEEDED(item.object.QueryTo(IID_IPersistStreamInit, persist)) && FAILED(hr = persist->InitNew())) return hr;
    CComRef<IDispatch> dispatch;
    if (FAILED(hr = item.object.QueryTo(IID_IDispatch, dispatch))) return hr;

    // Events: a control without the Tarvel event interface is still usable, without events.
    CComRef<IConnectionPointContainer> container;
    CComRef<IConnectionPoint> point;
    if (SUCCEEDED(item.object.QueryTo(IID_IConnectionPointContainer, container)) &&
        SUCCEEDED(container->FindConnectionPoint(DIID__DTarvelEvents, point.Put()))) {
        CComRef<IDispatch> sink = CComRef<IDispatch>::Adopt(new CEventSink(*this, DIID__DTarvelEvents, itemName));
        if (FAILED(hr = point->Advise(sink.Get(), &item.cookie))) return hr;
        item.events = point;
    }
    items.push_back(item);
    hr = engine->AddNamedItem(itemName.c_str(), SCRIPTITEM_ISVISIBLE);
    if (FAILED(hr)) {
        if (items.back().events) items.back().events->Unadvise(items.back().cookie);
        items.pop_back();
        return hr;
    }
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = dispatch.Detach();
    return S_OK;
}

HRESULT CScriptHost::CallHandler(const std::wstring& procedure, DISPPARAMS* params)
{
    if (stopping || !engine) return S_OK;
    CComRef<IDispatch> global;
    HRESULT hr = engine->GetScriptDispatch(nullptr, global.Put());
    if (FAILED(hr)) return hr;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(procedure.c_str());
    if (FAILED(global->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) return S_OK;  // no handler
    CVariant ignored;
    EXCEPINFO ei{};
    UINT argError = 0;
    hr = global->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &ignored, &ei, &argError);
    if (FAILED(hr) && !stopping) Fail(L"error in " + procedure + L": " + DescribeException(ei, hr));
    return hr;
}

STDMETHODIMP CScriptHost::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == __uuidof(IActiveScriptSite)) {
        *ppv = static_cast<IActiveScriptSite*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CScriptHost::GetLCID(LCID* lcid)
{
    if (!lcid) return E_POINTER;
    *lcid = GetUserDefaultLCID();
    return S_OK;
}

STDMETHODIMP CScriptHost::GetItemInfo(LPCOLESTR name, DWORD returnMask, IUnknown** item, ITypeInfo** typeInfo)
{
    if (returnMask & SCRIPTINFO_IUNKNOWN) {
        if (!item) return E_POINTER;
        *item = nullptr;
    }
    if (returnMask & SCRIPTINFO_ITYPEINFO) {
        if (!typeInfo) return E_POINTER;
        *typeInfo = nullptr;
    }
    IUnknown* object = nullptr;
    if (name && lstrcmpiW(name, kHostItem) == 0) {
        object = host;
    } else if (const CNamedItem* found = FindItem(name)) {
        object = found->object.Get();
    } else {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    if (returnMask & SCRIPTINFO_ITYPEINFO) {
        // A control describes itself through its class information; Host has none.
        CComRef<IProvideClassInfo> classInfo;
        if (object == host || FAILED(object->QueryInterface(IID_IProvideClassInfo, classInfo.PutVoid())) ||
            FAILED(classInfo->GetClassInfo(typeInfo)))
            *typeInfo = nullptr;
    }
    if (returnMask & SCRIPTINFO_IUNKNOWN) {
        *item = object;
        object->AddRef();
    }
    return S_OK;
}

STDMETHODIMP CScriptHost::GetDocVersionString(BSTR* version)
{
    if (version) *version = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CScriptHost::OnScriptError(IActiveScriptError* error)
{
    if (stopping || !error) return S_OK;  // the unwinding after Host.Quit, or a second report
    EXCEPINFO ei{};
    error->GetExceptionInfo(&ei);
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    std::wstring where;
    if (SUCCEEDED(error->GetSourcePosition(&context, &line, &column)))
        where = L" (line " + std::to_wstring(line + 1) + L", column " + std::to_wstring(column + 1) + L")";
    Fail(L"script error" + where + L": " + DescribeException(ei, E_FAIL));
    return S_OK;
}

const CScriptHost::CNamedItem* CScriptHost::FindItem(const wchar_t* name) const
{
    if (!name) return nullptr;
    for (const CNamedItem& item : items)
        if (lstrcmpiW(item.name.c_str(), name) == 0) return &item;
    return nullptr;
}

void CScriptHost::Fail(const std::wstring& message)
{
    if (stopping) return;
    stopping = true;
    exitCode = 1;
    PrintLine(stderr, message);
}

void CScriptHost::DisconnectItems()
{
    for (CNamedItem& item : items) {
        if (item.events) item.events->Unadvise(item.cookie);
        item.events.Reset();
    }
}
