// The event connection point of a control: one outgoing dispinterface, any
// number of sinks, events fired synchronously on the caller's thread.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "../common/com_raii.h"
#include "fw_module.h"

// Lives inside its owner (the control): AddRef and Release go to the owner,
// so the point never outlives it. Constructed with the owner, so it belongs to the
// module current then; the connection enumerators it hands out count there.
class CEventConnectionPoint : public IConnectionPoint {
public:
    CEventConnectionPoint(IUnknown& owner, IConnectionPointContainer& container)
        : owner_(owner), container_(container) {}
    CEventConnectionPoint(const CEventConnectionPoint&) = delete;
    CEventConnectionPoint& operator=(const CEventConnectionPoint&) = delete;

    // The outgoing interface; until set, every Advise fails.
    void SetEventsIID(const IID* iid) { eventsIID_ = iid; }
    const IID* EventsIID() const { return eventsIID_; }
    size_t SinkCount() const { return sinks_.size(); }
    void DisconnectAll() { sinks_.clear(); }

    // Calls IDispatch::Invoke(dispid, DISPATCH_METHOD) on every sink connected
    // when the call starts. args in call order (first argument first). A sink may
    // Unadvise (itself or others) inside its handler: the list is copied first
    // and each sink is kept alive until its call returns. Returns the number of
    // sinks whose Invoke succeeded.
    UINT Fire(DISPID dispid, const VARIANT* args, UINT count);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

private:
    struct Sink {
        DWORD cookie;
        CComRef<IDispatch> dispatch;
    };
    IUnknown& owner_;
    IConnectionPointContainer& container_;
    CModuleState& module_ = CurrentModuleState();
    const IID* eventsIID_ = nullptr;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
};

// IEnumConnectionPoints over a single connection point; the enumerator counts as a
// live object of `module` until its last release.
HRESULT CreateSingleConnectionPointEnum(IConnectionPoint* point, IEnumConnectionPoints** out,
                                        CModuleState& module = CurrentModuleState());
