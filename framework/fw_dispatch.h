// Dispatch maps: the table through which COleControl's IDispatch reaches a
// derived control's properties and methods.
//
//   const DispatchEntry* CMyCtrl::GetDispatchMap() const {
//       static const DispatchEntry map[] = {
//           DispProperty<&CMyCtrl::GetSpeed, &CMyCtrl::SetSpeed>(1, L"Speed"),
//           DispReadOnly<&CMyCtrl::GetName>(2, L"Name", ReadOnlyWrites::Ignore),
//           DispMethod<&CMyCtrl::Ping>(40, L"Ping", 1, 1),
//           DispEnd()};
//       return map;
//   }
//
// Getters: `R Get() [const]` with R one of long, int, short, bool, double,
// unsigned long, CBstr, CVariant. Setters: `void Set(A)` with A one of those
// scalar types, BSTR / const wchar_t* (the string is the caller's; copy it to
// keep it), or const VARIANT& (VT_BYREF dereferenced). The framework coerces
// the written value to A with VariantChangeTypeEx in the caller's locale.
// Methods: `HRESULT Method(CDispCall& call)`; arguments come from the call object.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <type_traits>

#include "../common/com_raii.h"

class COleControl;

// One IDispatch::Invoke of a method, as its handler sees it.
class CDispCall {
public:
    CDispCall(DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr, LCID lcid)
        : params_(params), result_(result), excepInfo_(excepInfo), argErr_(argErr), lcid_(lcid) {}

    UINT ArgCount() const { return params_ ? params_->cArgs : 0; }
    // Argument i in call order (0 is the first the caller wrote), with a
    // VT_BYREF|VT_VARIANT layer removed; no copy, no coercion.
    const VARIANT& RawArg(UINT i) const;
    // Argument i coerced to vt (VT_VARIANT: dereferenced copy). On failure the
    // argument's index goes to the caller's puArgErr and the failure is returned.
    HRESULT Arg(UINT i, VARTYPE vt, CVariant& out);
    // The caller's result slot, or null when the caller wants no result.
    VARIANT* Result() const { return result_; }
    // The only way a handler raises an automation exception: fills the caller's
    // EXCEPINFO and returns DISP_E_EXCEPTION for the handler to return.
    HRESULT RaiseException(SCODE code, const wchar_t* description);
    LCID Locale() const { return lcid_; }

private:
    DISPPARAMS* params_;
    VARIANT* result_;
    EXCEPINFO* excepInfo_;
    UINT* argErr_;
    LCID lcid_;
};

using DispGetThunk = HRESULT (*)(COleControl* self, VARIANT* result);
using DispSetThunk = HRESULT (*)(COleControl* self, const VARIANT& value, LCID lcid);
using DispMethodThunk = HRESULT (*)(COleControl* self, CDispCall& call);

// What a write to a property without setter does.
enum class ReadOnlyWrites {
    Reject,  // DISP_E_MEMBERNOTFOUND, as a type-library-driven Invoke would answer
    Ignore,  // S_OK and nothing changes
};

struct DispatchEntry {
    DISPID dispid;
    const wchar_t* name;  // null ends the map
    DispGetThunk get;
    DispSetThunk set;
    DispMethodThunk method;
    ReadOnlyWrites readOnlyWrites;
    UINT minArgs;
    UINT maxArgs;
};

namespace fwdisp {

template <class T> struct VtOf;
template <> struct VtOf<long> { static constexpr VARTYPE vt = VT_I4; };
template <> struct VtOf<int> { static constexpr VARTYPE vt = VT_I4; };
template <> struct VtOf<unsigned long> { static constexpr VARTYPE vt = VT_UI4; };
template <> struct VtOf<short> { static constexpr VARTYPE vt = VT_I2; };
template <> struct VtOf<bool> { static constexpr VARTYPE vt = VT_BOOL; };
template <> struct VtOf<double> { static constexpr VARTYPE vt = VT_R8; };
template <> struct VtOf<BSTR> { static constexpr VARTYPE vt = VT_BSTR; };
template <> struct VtOf<const wchar_t*> { static constexpr VARTYPE vt = VT_BSTR; };
template <> struct VtOf<VARIANT> { static constexpr VARTYPE vt = VT_VARIANT; };

inline HRESULT Store(long v, VARIANT* out) { out->vt = VT_I4; out->lVal = v; return S_OK; }
inline HRESULT Store(int v, VARIANT* out) { out->vt = VT_I4; out->lVal = v; return S_OK; }
inline HRESULT Store(unsigned long v, VARIANT* out) { out->vt = VT_UI4; out->ulVal = v; return S_OK; }
inline HRESULT Store(short v, VARIANT* out) { out->vt = VT_I2; out->iVal = v; return S_OK; }
inline HRESULT Store(bool v, VARIANT* out) { out->vt = VT_BOOL; out->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; return S_OK; }
inline HRESULT Store(double v, VARIANT* out) { out->vt = VT_R8; out->dblVal = v; return S_OK; }
// A property string is never a null BSTR: some script engines treat null apart.
inline HRESULT Store(CBstr v, VARIANT* out) {
    out->vt = VT_BSTR;
    out->bstrVal = v ? v.Detach() : SysAllocString(L"");
    if (!out->bstrVal) { out->vt = VT_EMPTY; return E_OUTOFMEMORY; }
    return S_OK;
}
inline HRESULT Store(CVariant v, VARIANT* out) { v.Detach(out); return S_OK; }

// Reads a value already coerced to VtOf<T>::vt.
template <class T> T Extract(const VARIANT& v);
template <> inline long Extract<long>(const VARIANT& v) { return v.lVal; }
template <> inline int Extract<int>(const VARIANT& v) { return v.lVal; }
template <> inline unsigned long Extract<unsigned long>(const VARIANT& v) { return v.ulVal; }
template <> inline short Extract<short>(const VARIANT& v) { return v.iVal; }
template <> inline bool Extract<bool>(const VARIANT& v) { return v.boolVal != VARIANT_FALSE; }
template <> inline double Extract<double>(const VARIANT& v) { return v.dblVal; }
template <> inline BSTR Extract<BSTR>(const VARIANT& v) { return v.bstrVal; }
template <> inline const wchar_t* Extract<const wchar_t*>(const VARIANT& v) { return v.bstrVal ? v.bstrVal : L""; }

template <class F> struct GetterTraits;
template <class C, class R> struct GetterTraits<R (C::*)()> { using Class = C; using Value = R; };
template <class C, class R> struct GetterTraits<R (C::*)() const> { using Class = C; using Value = R; };
template <class F> struct SetterTraits;
template <class C, class A> struct SetterTraits<void (C::*)(A)> {
    using Class = C;
    using Arg = std::remove_cv_t<std::remove_reference_t<A>>;
};

template <auto Get>
HRESULT GetThunk(COleControl* self, VARIANT* out) {
    using Tr = GetterTraits<decltype(Get)>;
    auto* object = static_cast<typename Tr::Class*>(self);
    return Store((object->*Get)(), out);
}

template <auto Set>
HRESULT SetThunk(COleControl* self, const VARIANT& value, LCID lcid) {
    using Tr = SetterTraits<decltype(Set)>;
    using Arg = typename Tr::Arg;
    auto* object = static_cast<typename Tr::Class*>(self);
    CVariant coerced;
    HRESULT hr;
    if constexpr (VtOf<Arg>::vt == VT_VARIANT)
        hr = VariantCopyInd(&coerced, const_cast<VARIANT*>(&value));
    else
        hr = coerced.CopyAs(value, VtOf<Arg>::vt, lcid);
    if (FAILED(hr)) return hr;
    if constexpr (VtOf<Arg>::vt == VT_VARIANT)
        (object->*Set)(coerced);
    else
        (object->*Set)(Extract<Arg>(coerced));
    return S_OK;
}

template <class F> struct MethodTraits;
template <class C> struct MethodTraits<HRESULT (C::*)(CDispCall&)> { using Class = C; };

template <auto Method>
HRESULT MemberMethodThunk(COleControl* self, CDispCall& call) {
    auto* object = static_cast<typename MethodTraits<decltype(Method)>::Class*>(self);
    return (object->*Method)(call);
}

}  // namespace fwdisp

template <auto Get, auto Set>
constexpr DispatchEntry DispProperty(DISPID dispid, const wchar_t* name) {
    return DispatchEntry{dispid, name, &fwdisp::GetThunk<Get>, &fwdisp::SetThunk<Set>, nullptr,
                         ReadOnlyWrites::Reject, 0, 0};
}

template <auto Get>
constexpr DispatchEntry DispReadOnly(DISPID dispid, const wchar_t* name,
                                     ReadOnlyWrites writes = ReadOnlyWrites::Reject) {
    return DispatchEntry{dispid, name, &fwdisp::GetThunk<Get>, nullptr, nullptr, writes, 0, 0};
}

template <auto Method>
constexpr DispatchEntry DispMethod(DISPID dispid, const wchar_t* name, UINT minArgs, UINT maxArgs) {
    return DispatchEntry{dispid, name, nullptr, nullptr, &fwdisp::MemberMethodThunk<Method>,
                         ReadOnlyWrites::Reject, minArgs, maxArgs};
}

constexpr DispatchEntry DispEnd() {
    return DispatchEntry{DISPID_UNKNOWN, nullptr, nullptr, nullptr, nullptr, ReadOnlyWrites::Reject, 0, 0};
}

// The Invoke logic over a map, shared by every object that carries one.
HRESULT InvokeDispatchMap(const DispatchEntry* map, COleControl* self, DISPID dispid, LCID lcid, WORD flags,
                          DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);
// Case-insensitive name lookup; DISPID_UNKNOWN for each name not found (and for
// every name after the first: named arguments are not supported).
HRESULT GetIDsFromDispatchMap(const DispatchEntry* map, LPOLESTR* names, UINT count, DISPID* ids);
const DispatchEntry* FindDispatchEntry(const DispatchEntry* map, DISPID dispid);
