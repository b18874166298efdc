#include "fw_propexchange.h"

#include "fw_dispatch.h"

namespace {

const wchar_t kVersionName[] = L"_Version";

std::u16string ToU16(const wchar_t* s) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

template <class T>
bool ExchangeScalar(CPropExchange* px, const wchar_t* name, T& value, T defaultValue) {
    if (!px || !name) return false;
    switch (px->GetMode()) {
    case CPropExchange::Mode::Reset:
        value = defaultValue;
        return true;
    case CPropExchange::Mode::Save: {
        CVariant v;
        fwdisp::Store(value, &v);
        HRESULT hr = px->WriteValue(name, v);
        if (FAILED(hr)) px->Fail(hr);
        return SUCCEEDED(hr);
    }
    case CPropExchange::Mode::Validate:
    case CPropExchange::Mode::Load: {
        CVariant v;
        HRESULT hr = px->ReadStored(name, fwdisp::VtOf<T>::vt, v);
        if (FAILED(hr)) return false;
        if (px->IsLoading()) value = hr == S_OK ? fwdisp::Extract<T>(v) : defaultValue;
        return true;
    }
    }
    return false;
}

}  // namespace

HRESULT CPropValues::Remember(const wchar_t* name, const VARIANT* value) {
    Stored entry{name, value != nullptr, CVariant()};
    if (value) {
        HRESULT hr = VariantCopy(&entry.value, const_cast<VARIANT*>(value));
        if (FAILED(hr)) return hr;
    }
    for (Stored& seen : values_) {
        if (seen.name == name) {
            seen = std::move(entry);
            return S_OK;
        }
    }
    values_.push_back(std::move(entry));
    return S_OK;
}

const VARIANT* CPropValues::Find(const wchar_t* name) const {
    for (const Stored& seen : values_)
        if (seen.name == name) return seen.present ? &seen.value : nullptr;
    return nullptr;
}

HRESULT CPropExchange::ReadStored(const wchar_t* name, VARTYPE vt, CVariant& out) {
    HRESULT hr = ReadValue(name, vt, out);
    if (FAILED(hr)) {
        Fail(hr);
        return hr;
    }
    if (mode_ == Mode::Validate) {
        HRESULT kept = validated_.Remember(name, hr == S_OK ? &out : nullptr);
        if (FAILED(kept)) {
            Fail(kept);
            return kept;
        }
    }
    return hr;
}

bool CPropExchange::ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) {
    unsigned long v = version;
    bool ok = true;
    switch (mode_) {
    case Mode::Reset:
        v = defaultVersion;
        break;
    case Mode::Save:
        v = convert ? defaultVersion : version;
        ok = PX_ULong(this, kVersionName, v, defaultVersion);
        break;
    case Mode::Load:
        ok = PX_ULong(this, kVersionName, v, defaultVersion);
        break;
    case Mode::Validate: {
        // The validating run needs the version too: what DoPropExchange asks for depends on it.
        CVariant stored;
        HRESULT hr = ReadStored(kVersionName, VT_UI4, stored);
        ok = SUCCEEDED(hr);
        if (ok) v = hr == S_OK ? stored.ulVal : defaultVersion;
        break;
    }
    }
    if (ok) {
        version = v;
        version_ = v;
    }
    return ok;
}

bool PX_Long(CPropExchange* px, const wchar_t* name, long& value, long defaultValue) {
    return ExchangeScalar<long>(px, name, value, defaultValue);
}

bool PX_Long(CPropExchange* px, const wchar_t* name, int& value, int defaultValue) {
    long v = value;
    bool ok = ExchangeScalar<long>(px, name, v, defaultValue);
    value = int(v);
    return ok;
}

bool PX_ULong(CPropExchange* px, const wchar_t* name, unsigned long& value, unsigned long defaultValue) {
    return ExchangeScalar<unsigned long>(px, name, value, defaultValue);
}

bool PX_Short(CPropExchange* px, const wchar_t* name, short& value, short defaultValue) {
    return ExchangeScalar<short>(px, name, value, defaultValue);
}

bool PX_Bool(CPropExchange* px, const wchar_t* name, bool& value, bool defaultValue) {
    return ExchangeScalar<bool>(px, name, value, defaultValue);
}

bool PX_Bool(CPropExchange* px, const wchar_t* name, BOOL& value, BOOL defaultValue) {
    bool v = value != FALSE;
    bool ok = ExchangeScalar<bool>(px, name, v, defaultValue != FALSE);
    value = v ? TRUE : FALSE;
    return ok;
}

bool PX_String(CPropExchange* px, const wchar_t* name, std::wstring& value, const wchar_t* defaultValue) {
    if (!px || !name) return false;
    const wchar_t* def = defaultValue ? defaultValue : L"";
    switch (px->GetMode()) {
    case CPropExchange::Mode::Reset:
        value = def;
        return true;
    case CPropExchange::Mode::Save: {
        CVariant v(CBstr(value.c_str(), UINT(value.size())));
        HRESULT hr = px->WriteValue(name, v);
        if (FAILED(hr)) px->Fail(hr);
        return SUCCEEDED(hr);
    }
    case CPropExchange::Mode::Validate:
    case CPropExchange::Mode::Load: {
        CVariant v;
        HRESULT hr = px->ReadStored(name, VT_BSTR, v);
        if (FAILED(hr)) return false;
        if (!px->IsLoading()) return true;
        if (hr == S_OK)
            value.assign(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
        else
            value = def;
        return true;
    }
    }
    return false;
}

HRESULT CValidatedPropExchange::ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) {
    const VARIANT* value = values_.Find(name);
    if (!value) return S_FALSE;
    return out.CopyAs(*value, vt, LOCALE_INVARIANT);
}

HRESULT CBlobPropExchange::ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) {
    using fwpersist::ValueType;
    const fwpersist::Value* stored = blob_.Find(ToU16(name));
    if (!stored) return S_FALSE;
    CVariant raw;
    switch (stored->type) {
    case ValueType::Int16: raw = CVariant(short(stored->number)); break;
    case ValueType::Int32: raw = CVariant(long(stored->number)); break;
    case ValueType::UInt32: raw.vt = VT_UI4; raw.ulVal = static_cast<ULONG>(stored->number); break;
    case ValueType::Bool: raw = CVariant(stored->number != 0); break;
    case ValueType::String:
        raw = CVariant(CBstr(reinterpret_cast<const wchar_t*>(stored->text.data()), UINT(stored->text.size())));
        if (!raw.bstrVal) return E_OUTOFMEMORY;
        break;
    }
    return out.CopyAs(raw, vt, LOCALE_INVARIANT);
}

HRESULT CBlobPropExchange::WriteValue(const wchar_t* name, const VARIANT& value) {
    using fwpersist::Value;
    Value v;
    switch (value.vt) {
    case VT_I2: v = Value::Int16(value.iVal); break;
    case VT_I4: v = Value::Int32(value.lVal); break;
    case VT_UI4: v = Value::UInt32(value.ulVal); break;
    case VT_BOOL: v = Value::Bool(value.boolVal != VARIANT_FALSE); break;
    case VT_BSTR:
        v = Value::String(std::u16string(reinterpret_cast<const char16_t*>(value.bstrVal ? value.bstrVal : L""),
                                         value.bstrVal ? SysStringLen(value.bstrVal) : 0));
        break;
    default: return DISP_E_BADVARTYPE;
    }
    return blob_.Set(ToU16(name), std::move(v)) ? S_OK : E_INVALIDARG;
}

HRESULT CBagPropExchange::ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) {
    if (!bag_) return E_POINTER;
    CVariant raw;  // VT_EMPTY: the bag returns the value in whatever type it holds
    if (FAILED(bag_->Read(name, &raw, log_))) return S_FALSE;
    if (vt == VT_UI4 && raw.vt == VT_I4) {  // written as the signed value with the same bits
        out.Clear();
        out.vt = VT_UI4;
        out.ulVal = static_cast<ULONG>(raw.lVal);
        return S_OK;
    }
    HRESULT hr = out.CopyAs(raw, vt, LOCALE_INVARIANT);
    if (SUCCEEDED(hr)) return S_OK;
    if (log_) {
        EXCEPINFO info = {};
        info.scode = hr;
        info.bstrSource = SysAllocString(name);
        info.bstrDescription = SysAllocString(L"property value has the wrong type; default used");
        log_->AddError(name, &info);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
    }
    return S_FALSE;
}

// Hosts' bags have no unsigned types (a form's text, a page's <param>): an unsigned 32-bit
// value ("_Version") is written as the signed one with the same bits.
HRESULT CBagPropExchange::WriteValue(const wchar_t* name, const VARIANT& value) {
    if (!bag_) return E_POINTER;
    if (value.vt == VT_UI4) {
        VARIANT asSigned = {};
        asSigned.vt = VT_I4;
        asSigned.lVal = static_cast<LONG>(value.ulVal);
        return bag_->Write(name, &asSigned);
    }
    return bag_->Write(name, const_cast<VARIANT*>(&value));
}

HRESULT PropBlobStatusToHResult(fwpersist::ParseStatus status) {
    using fwpersist::ParseStatus;
    switch (status) {
    case ParseStatus::Ok: return S_OK;
    case ParseStatus::Truncated: return STG_E_READFAULT;
    case ParseStatus::BadMagic: return STG_E_INVALIDHEADER;
    case ParseStatus::BadVersion: return STG_E_OLDFORMAT;
    case ParseStatus::TooLarge: return STG_E_DOCFILECORRUPT;
    case ParseStatus::Malformed: return STG_E_DOCFILECORRUPT;
    }
    return E_FAIL;
}
