// The host's sink on a control's event connection point: each event it receives becomes a
// call of the script procedure "<item>_<Event>" with the event's arguments unchanged.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

class CScriptHost;

class CEventSink final : public IDispatch {
public:
    // eventsIid: the dispinterface the connection point calls; itemName: the control's name
    // in the script.
    CEventSink(CScriptHost& host, const IID& eventsIid, std::wstring itemName)
        : host(host), eventsIid(eventsIid), itemName(std::move(itemName)) {}
    CEventSink(const CEventSink&) = delete;
    CEventSink& operator=(const CEventSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override;

    // The event a DISPID of the control's event interface stands for; null when unknown.
    static const wchar_t* EventName(DISPID id);

private:
    ~CEventSink() = default;

    CScriptHost& host;
    IID eventsIid;
    std::wstring itemName;
    LONG refs = 1;
};
