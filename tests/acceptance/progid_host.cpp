// A minimal host of the registered control, built for each architecture: creates it by its
// ProgID, asks for its type information, finds the event interface through its class
// information (as hosts that bind events that way do), connects a sink there, opens the
// COM port given on the command line and waits for CommEvent(EVT_CONNECT).
//
//   tarvel_progid_host.exe PORT [/clsid] [/rounds N]
//
// /clsid: first creates the control and its property page by their class identifiers as well
// (hosts that embed it by CLSID, such as a program using it without registration through its
// manifest).
// /rounds N: does all of that N times, and between rounds lets COM unload whatever module is
// unused (CoFreeUnusedLibrariesEx with no delay), as hosts do when idle, so that each round may
// load the module anew.
//
// Exit code 0 when all of that worked, otherwise the number of the step that failed; a line
// on standard output says what happened.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/com_raii.h"
#include "common/tarvel_ids.h"

namespace {

enum Step { kDone = 0, kArguments = 1, kCreate = 2, kTypeInfo = 3, kClassInfo = 4, kAdvise = 5, kOpen = 6, kEvent = 7 };
constexpr long kEvtConnect = 3;

class CConnectSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, eventsIID)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on main's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (!params || params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        CVariant kind;
        // Arguments arrive last first: rgvarg[1] is the event's kind.
        if (SUCCEEDED(VariantChangeType(kind.Put(), &params->rgvarg[1], 0, VT_I4)) && kind.lVal == kEvtConnect)
            ++connects;
        return S_OK;
    }
    IID eventsIID = IID_NULL;
    int connects = 0;
};

int Fail(Step step, const char* what, HRESULT hr)
{
    printf("step %d failed: %s (0x%08lX)\n", step, what, static_cast<unsigned long>(hr));
    return step;
}

HRESULT PutByName(IDispatch* object, const wchar_t* name, VARIANT value)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value, &named, 1, 1};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

// The default source interface of the control's coclass, from its class information.
HRESULT FindEventsIID(IUnknown* control, IID& iid)
{
    CComRef<IProvideClassInfo> provide;
    HRESULT hr = control->QueryInterface(IID_IProvideClassInfo, provide.PutVoid());
    if (FAILED(hr)) return hr;
    CComRef<ITypeInfo> coclass;
    if (FAILED(hr = provide->GetClassInfo(coclass.Put()))) return hr;
    TYPEATTR* attr = nullptr;
    if (FAILED(hr = coclass->GetTypeAttr(&attr))) return hr;
    const WORD count = attr->cImplTypes;
    coclass->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        CComRef<ITypeInfo> events;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
                                                                 (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
            continue;
        if (FAILED(hr = coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(hr = coclass->GetRefTypeInfo(ref, events.Put())))
            return hr;
        if (FAILED(hr = events->GetTypeAttr(&attr))) return hr;
        iid = attr->guid;
        events->ReleaseTypeAttr(attr);
        return S_OK;
    }
    return E_NOINTERFACE;
}

int RunHost(int port, bool byClsid)
{
    CLSID clsid;
    HRESULT hr = S_OK;
    if (byClsid) {
        CComRef<IDispatch> direct;
        if (FAILED(hr = CoCreateInstance(CLSID_Tarvel, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, direct.PutVoid())))
            return Fail(kCreate, "CoCreateInstance by class identifier", hr);
        // Its property page too, which a design-time host creates by the class identifier
        // the control names.
        CComRef<IUnknown> page;
        if (FAILED(hr = CoCreateInstance(CLSID_TarvelPropPage, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         page.PutVoid())))
            return Fail(kCreate, "CoCreateInstance of the property page", hr);
    }
    hr = CLSIDFromProgID(L"" TARVEL_PROGID_CTRL, &clsid);
    if (FAILED(hr)) return Fail(kCreate, "no class for the ProgID", hr);
    CComRef<IDispatch> control;
    if (FAILED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PutVoid())))
        return Fail(kCreate, "CoCreateInstance", hr);
    CComRef<IPersistStreamInit> persist;
    if (SUCCEEDED(control->QueryInterface(IID_IPersistStreamInit, persist.PutVoid()))) persist->InitNew();

    CComRef<ITypeInfo> info;
    if (FAILED(hr = control->GetTypeInfo(0, 0x0409, info.Put()))) return Fail(kTypeInfo, "GetTypeInfo", hr);

    CConnectSink sink;
    if (FAILED(hr = FindEventsIID(control.Get(), sink.eventsIID))) return Fail(kClassInfo, "class information", hr);
    CComRef<IConnectionPointContainer> container;
    CComRef<IConnectionPoint> point;
    DWORD cookie = 0;
    if (FAILED(hr = control->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) ||
        FAILED(hr = container->FindConnectionPoint(sink.eventsIID, point.Put())) ||
        FAILED(hr = point->Advise(&sink, &cookie)))
        return Fail(kAdvise, "connecting the sink", hr);

    VARIANT value;
    value.vt = VT_I4;
    value.lVal = port;
    if (FAILED(hr = PutByName(control.Get(), L"Port", value))) return Fail(kOpen, "Port", hr);
    value.vt = VT_BOOL;
    value.boolVal = VARIANT_TRUE;
    if (FAILED(hr = PutByName(control.Get(), L"Connected", value))) return Fail(kOpen, "Connected", hr);

    const DWORD start = GetTickCount();
    while (sink.connects == 0 && GetTickCount() - start < 10000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    value.boolVal = VARIANT_FALSE;
    PutByName(control.Get(), L"Connected", value);
    point->Unadvise(cookie);
    if (sink.connects == 0) return Fail(kEvent, "no CommEvent(EVT_CONNECT)", S_OK);
    printf("created by %sProgID, type information, events through class information, EVT_CONNECT on COM%d\n",
           byClsid ? "class identifier and by " : "", port);
    return kDone;
}

}  // namespace

int main(int argc, char** argv)
{
    int port = argc >= 2 ? atoi(argv[1]) : 0;
    bool byClsid = false;
    int rounds = 1;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "/clsid") == 0)
            byClsid = true;
        else if (strcmp(argv[i], "/rounds") == 0 && i + 1 < argc)
            rounds = atoi(argv[++i]);
        else
            port = 0;
    }
    if (port <= 0 || rounds <= 0) {
        printf("usage: tarvel_progid_host PORT [/clsid] [/rounds N]\n");
        return kArguments;
    }
    CoInitialize(nullptr);
    int code = kDone;
    for (int round = 1; round <= rounds && code == kDone; ++round) {
        code = RunHost(port, byClsid);
        if (rounds == 1) break;
        CoFreeUnusedLibrariesEx(0, 0);
        printf("round %d: module %s\n", round, GetModuleHandleW(L"Tarvel.ocx") ? "still loaded" : "unloaded");
        fflush(stdout);
    }
    CoUninitialize();
    return code;
}
