// The script's named item "Host":
//   Host.Echo text[, more...]     prints one line (the values separated by spaces)
//   Host.Sleep ms                 waits, pumping window messages (events arrive meanwhile)
//   Host.Quit [code]              ends the script with this exit code (default 0)
//   Host.Arg(i)                   command-line argument i after the script path ("" beyond)
//   Host.ArgCount                 how many there are
//   Host.CreateControl(progId, name)
//                                 creates a control, adds it as named item `name`, connects
//                                 its events to the script's name_Event procedures, and
//                                 returns it
#pragma once
#include <windows.h>
#include <oleauto.h>

class CScriptHost;

class CHostObject final : public IDispatch {
public:
    explicit CHostObject(CScriptHost& host) : host(host) {}
    CHostObject(const CHostObject&) = delete;
    CHostObject& operator=(const CHostObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argError) override;

private:
    ~CHostObject() = default;

    HRESULT DoEcho(const DISPPARAMS& params);
    HRESULT DoCreateControl(const DISPPARAMS& params, VARIANT* result, UINT* argError);

    CScriptHost& host;
    LONG refs = 1;
};
