#include "fw_connpoint.h"

#include <new>

#include "fw_enum.h"

namespace {

void AddRefItem(CONNECTDATA& d) { if (d.pUnk) d.pUnk->AddRef(); }
void ReleaseItem(CONNECTDATA& d) { if (d.pUnk) d.pUnk->Release(); }
void AddRefItem(IConnectionPoint* p) { if (p) p->AddRef(); }
void ReleaseItem(IConnectionPoint* p) { if (p) p->Release(); }

// A standard enumerator over a snapshot taken at creation. Each item holds a
// reference for the enumerator's lifetime; Next hands out new references. The sinks it
// holds do not keep the control alive.
template <class IEnum, class Item>
class CSnapshotEnum final : public CEnumBase<IEnum> {
public:
    CSnapshotEnum(CModuleState& module, const IID& iid, std::vector<Item> items)
        : CEnumBase<IEnum>(module, iid), items_(std::move(items)) {
        for (Item& i : items_) AddRefItem(i);
    }
    ~CSnapshotEnum() override {
        for (Item& i : items_) ReleaseItem(i);
    }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && this->position_ < items_.size()) {
            out[n] = items_[this->position_++];
            AddRefItem(out[n]);
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Clone(IEnum** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return CallAtBorder([&] {
            auto* copy = new CSnapshotEnum(this->Module(), this->Iid(), items_);
            copy->position_ = this->position_;
            *out = copy;
            return S_OK;
        });
    }

private:
    size_t ItemCount() const override { return items_.size(); }
    std::vector<Item> items_;
};

}  // namespace

UINT CEventConnectionPoint::Fire(DISPID dispid, const VARIANT* args, UINT count) {
    if (sinks_.empty()) return 0;
    std::vector<CComRef<IDispatch>> targets;
    targets.reserve(sinks_.size());
    for (const Sink& s : sinks_) targets.push_back(s.dispatch);

    // DISPPARAMS keeps arguments last-first. Each sink gets a fresh shallow copy
    // of the VARIANT structs, so a sink that rewrites one cannot disturb the next.
    std::vector<VARIANT> reversed(count);
    UINT delivered = 0;
    for (const CComRef<IDispatch>& sink : targets) {
        for (UINT i = 0; i < count; ++i) reversed[count - 1 - i] = args[i];
        DISPPARAMS params = {count ? reversed.data() : nullptr, nullptr, count, 0};
        CVariant result;
        EXCEPINFO info = {};
        UINT argErr = 0;
        HRESULT hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                  &info, &argErr);
        if (hr == DISP_E_EXCEPTION) {
            SysFreeString(info.bstrSource);
            SysFreeString(info.bstrDescription);
            SysFreeString(info.bstrHelpFile);
        }
        if (SUCCEEDED(hr)) ++delivered;
    }
    return delivered;
}

STDMETHODIMP CEventConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CEventConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    if (!eventsIID_) return E_UNEXPECTED;
    *iid = *eventsIID_;
    return S_OK;
}

STDMETHODIMP CEventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    *container = &container_;
    container_.AddRef();
    return S_OK;
}

STDMETHODIMP CEventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    if (!eventsIID_) return CONNECT_E_CANNOTCONNECT;
    CComRef<IDispatch> dispatch;
    // The contract asks the sink for the outgoing interface; script hosts often
    // answer only IDispatch, whose Invoke is all events need.
    if (FAILED(sink->QueryInterface(*eventsIID_, dispatch.PutVoid())) &&
        FAILED(sink->QueryInterface(IID_IDispatch, dispatch.PutVoid())))
        return CONNECT_E_CANNOTCONNECT;
    return CallAtBorder([&] {
        sinks_.push_back(Sink{nextCookie_, dispatch});
        *cookie = nextCookie_++;
        if (nextCookie_ == 0) nextCookie_ = 1;
        return S_OK;
    });
}

STDMETHODIMP CEventConnectionPoint::Unadvise(DWORD cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            // Release after the list no longer holds the entry: the sink's
            // Release may re-enter this point.
            CComRef<IDispatch> keep = std::move(it->dispatch);
            sinks_.erase(it);
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP CEventConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (!connections) return E_POINTER;
    *connections = nullptr;
    return CallAtBorder([&] {
        std::vector<CONNECTDATA> items;
        for (const Sink& s : sinks_) items.push_back(CONNECTDATA{s.dispatch.Get(), s.cookie});
        *connections = new CSnapshotEnum<IEnumConnections, CONNECTDATA>(module_, IID_IEnumConnections, items);
        return S_OK;
    });
}

HRESULT CreateSingleConnectionPointEnum(IConnectionPoint* point, IEnumConnectionPoints** out, CModuleState& module) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return CallAtBorder([&] {
        std::vector<IConnectionPoint*> items;
        if (point) items.push_back(point);
        *out = new CSnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>(module, IID_IEnumConnectionPoints, items);
        return S_OK;
    });
}
