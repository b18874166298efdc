#include "event_sink.h"

#include "script_host.h"

const wchar_t* CEventSink::EventName(DISPID id)
{
    // The Tarvel control has one event: CommEvent(Evt, data), DISPID 1.
    return id == 1 ? L"CommEvent" : nullptr;
}

STDMETHODIMP CEventSink::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == eventsIid) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEventSink::Release()
{
    const LONG left = InterlockedDecrement(&refs);
    if (left == 0) delete this;
    return ULONG(left);
}

STDMETHODIMP CEventSink::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP CEventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info)
{
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                UINT*)
{
    if (result) VariantInit(result);
    const wchar_t* event = EventName(id);
    if (!event || !params) return S_OK;  // events the script cannot handle are dropped
    // The control sees success whatever the handler did: a script error ends the script
    // through the host, not through the control.
    host.CallHandler(itemName + L"_" + event, params);
    return S_OK;
}
