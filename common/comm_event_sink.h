// The host's side of the control's event connection: a sink that receives CommEvent(kind, data)
// and the advise it holds. For the programs that host the control (the demo, the benchmarks, the
// soak and the acceptance tests); the module itself never includes this.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include "com_raii.h"
#include "tarvel_ids.h"

// IDispatch for the event interface; Invoke hands each well-formed CommEvent (DISPID 1, two
// arguments, a kind that converts to a long) to OnCommEvent, anything else to OnBadCall.
// Created with one reference, owned by whoever created it.
class CCommEventSink : public IDispatch {
public:
    CCommEventSink() = default;
    CCommEventSink(const CCommEventSink&) = delete;
    CCommEventSink& operator=(const CCommEventSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__DTarvelEvents) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = InterlockedDecrement(&refs_);
        if (!left) delete this;
        return ULONG(left);
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (result) VariantInit(result);
        if (id != 1 || !params || params->cArgs != 2) return OnBadCall(DISP_E_MEMBERNOTFOUND);
        CVariant kind;
        if (FAILED(kind.CopyAs(params->rgvarg[1], VT_I4))) return OnBadCall(DISP_E_TYPEMISMATCH);
        return OnCommEvent(V_I4(&kind), params->rgvarg[0]);
    }

protected:
    virtual ~CCommEventSink() = default;
    // Arguments arrive in reverse order: data is rgvarg[0], possibly by reference.
    virtual HRESULT OnCommEvent(long kind, const VARIANT& data) = 0;
    virtual HRESULT OnBadCall(HRESULT result) { return result; }

private:
    LONG refs_ = 1;
};

// A sink advised on a control's CommEvent connection point for this object's lifetime.
class CCommEventLink {
public:
    CCommEventLink(IUnknown* control, IDispatch* sink)
    {
        CComRef<IConnectionPointContainer> container;
        if (SUCCEEDED(control->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) &&
            SUCCEEDED(container->FindConnectionPoint(DIID__DTarvelEvents, point_.Put())) &&
            FAILED(point_->Advise(sink, &cookie_)))
            cookie_ = 0;
    }
    ~CCommEventLink()
    {
        if (cookie_) point_->Unadvise(cookie_);
    }
    CCommEventLink(const CCommEventLink&) = delete;
    CCommEventLink& operator=(const CCommEventLink&) = delete;
    bool Connected() const { return cookie_ != 0; }

private:
    CComRef<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};
