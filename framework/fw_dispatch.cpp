#include "fw_dispatch.h"

#include <new>

namespace {

const VARIANT& EmptyVariant() {
    static VARIANT empty = {};
    return empty;
}

// Argument i in call order; DISPPARAMS keeps them last-first.
const VARIANT& ArgInCallOrder(const DISPPARAMS& params, UINT i) {
    return params.rgvarg[params.cArgs - 1 - i];
}

bool IsProperty(const DispatchEntry& e) { return e.method == nullptr; }

HRESULT InvokePut(const DispatchEntry& e, COleControl* self, LCID lcid, const DISPPARAMS& params, UINT* argErr) {
    if (!IsProperty(e)) return DISP_E_MEMBERNOTFOUND;
    if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    // The value is named DISPID_PROPERTYPUT by the contract; a caller that
    // names nothing still means the value.
    if (params.cNamedArgs > 1 ||
        (params.cNamedArgs == 1 && params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
        return DISP_E_PARAMNOTFOUND;
    if (!e.set) return e.readOnlyWrites == ReadOnlyWrites::Ignore ? S_OK : DISP_E_MEMBERNOTFOUND;
    HRESULT hr = e.set(self, params.rgvarg[0], lcid);
    if (FAILED(hr) && argErr) *argErr = 0;
    return hr;
}

HRESULT InvokeGetOrCall(const DispatchEntry& e, COleControl* self, LCID lcid, DISPPARAMS& params,
                        VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
    if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    CVariant value;
    HRESULT hr;
    if (IsProperty(e)) {
        if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
        if (!e.get) return DISP_E_MEMBERNOTFOUND;
        hr = e.get(self, &value);
    } else {
        if (params.cArgs < e.minArgs || params.cArgs > e.maxArgs) return DISP_E_BADPARAMCOUNT;
        // Handlers always get a result slot; it is dropped when the caller wants none.
        CDispCall call(&params, &value, excepInfo, argErr, lcid);
        hr = e.method(self, call);
    }
    if (SUCCEEDED(hr) && result) value.Detach(result);
    return hr;
}

}  // namespace

const VARIANT& CDispCall::RawArg(UINT i) const {
    if (!params_ || i >= params_->cArgs) return EmptyVariant();
    const VARIANT& v = ArgInCallOrder(*params_, i);
    if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) return *v.pvarVal;
    return v;
}

HRESULT CDispCall::Arg(UINT i, VARTYPE vt, CVariant& out) {
    out.Clear();
    if (!params_ || i >= params_->cArgs) return DISP_E_PARAMNOTFOUND;
    VARIANT* src = const_cast<VARIANT*>(&ArgInCallOrder(*params_, i));
    HRESULT hr = vt == VT_VARIANT ? VariantCopyInd(&out, src) : VariantChangeTypeEx(&out, src, lcid_, 0, vt);
    if (FAILED(hr) && argErr_) *argErr_ = params_->cArgs - 1 - i;
    return hr;
}

HRESULT CDispCall::RaiseException(SCODE code, const wchar_t* description) {
    if (excepInfo_) {
        *excepInfo_ = EXCEPINFO{};
        excepInfo_->scode = code;
        excepInfo_->bstrDescription = SysAllocString(description ? description : L"");
    }
    return DISP_E_EXCEPTION;
}

const DispatchEntry* FindDispatchEntry(const DispatchEntry* map, DISPID dispid) {
    for (const DispatchEntry* e = map; e && e->name; ++e)
        if (e->dispid == dispid) return e;
    return nullptr;
}

HRESULT InvokeDispatchMap(const DispatchEntry* map, COleControl* self, DISPID dispid, LCID lcid, WORD flags,
                          DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
    const DispatchEntry* e = FindDispatchEntry(map, dispid);
    if (!e) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    DISPPARAMS& p = params ? *params : none;
    if (p.cArgs && !p.rgvarg) return E_INVALIDARG;
    if (p.cNamedArgs && (!p.rgdispidNamedArgs || p.cNamedArgs > p.cArgs)) return E_INVALIDARG;
    try {
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return InvokePut(*e, self, lcid, p, argErr);
        // Script engines ask for a getter with PROPERTYGET, METHOD or both.
        if (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))
            return InvokeGetOrCall(*e, self, lcid, p, result, excepInfo, argErr);
        return DISP_E_MEMBERNOTFOUND;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT GetIDsFromDispatchMap(const DispatchEntry* map, LPOLESTR* names, UINT count, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    if (count == 0) return S_OK;
    HRESULT hr = S_OK;
    ids[0] = DISPID_UNKNOWN;
    for (const DispatchEntry* e = map; e && e->name; ++e) {
        if (names[0] && CompareStringOrdinal(names[0], -1, e->name, -1, TRUE) == CSTR_EQUAL) {
            ids[0] = e->dispid;
            break;
        }
    }
    if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}
