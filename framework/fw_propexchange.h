// Property exchange: one DoPropExchange body serves loading, saving and
// resetting a control's persisted properties, whatever the medium.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <string>
#include <utility>
#include <vector>

#include "../common/com_raii.h"
#include "prop_blob.h"

// The values a validating exchange read, by name, for the load that applies them.
class CPropValues {
public:
    // value null: the property is absent from the stored data. Fails only when the value
    // cannot be copied (memory).
    HRESULT Remember(const wchar_t* name, const VARIANT* value);
    // Null when the property was not read or is absent.
    const VARIANT* Find(const wchar_t* name) const;

private:
    struct Stored {
        std::wstring name;
        bool present;
        CVariant value;
    };
    std::vector<Stored> values_;
};

// A control's DoPropExchange runs with one of these. Loading from stored data takes two
// runs: a validating one (Mode::Validate) that reads and checks every property the control
// asks for and stores nothing, then, only if all of them were usable, a loading one that
// stores the values read the first time. DoPropExchange must therefore ask for the same
// properties in both runs (it may depend on GetVersion()), and act on loaded values (open
// something, fire an event, count something) only when IsLoading(): a load that fails
// then leaves the control exactly as it was.
class CPropExchange {
public:
    enum class Mode { Load, Save, Reset, Validate };

    explicit CPropExchange(Mode mode) : mode_(mode) {}
    virtual ~CPropExchange() = default;
    CPropExchange(const CPropExchange&) = delete;
    CPropExchange& operator=(const CPropExchange&) = delete;

    Mode GetMode() const { return mode_; }
    // Resetting counts as loading: the properties receive values (their defaults).
    // Validating does not: nothing receives a value.
    bool IsLoading() const { return mode_ == Mode::Load || mode_ == Mode::Reset; }
    bool IsResetting() const { return mode_ == Mode::Reset; }
    bool IsValidating() const { return mode_ == Mode::Validate; }
    // The version of the data being exchanged, as set by ExchangeVersion (0 before).
    DWORD GetVersion() const { return version_; }

    // Loading and validating: version receives the stored "_Version" (defaultVersion
    // when absent). Saving: writes defaultVersion when convert is true, else the version
    // passed in. Resetting: version receives defaultVersion. GetVersion() answers the result.
    bool ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert);

    // The first failure of this exchange (S_OK while all went well).
    HRESULT Result() const { return result_; }
    void Fail(HRESULT hr) { if (SUCCEEDED(result_)) result_ = hr; }

    // ReadValue on behalf of the exchange functions: a failure becomes the exchange's
    // Result(); a validating exchange keeps what it read for Validated().
    HRESULT ReadStored(const wchar_t* name, VARTYPE vt, CVariant& out);
    const CPropValues& Validated() const { return validated_; }

    // Medium primitives. ReadValue: S_OK with the value coerced to vt, S_FALSE
    // when the property is absent, a failure when stored data is unusable.
    virtual HRESULT ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) = 0;
    virtual HRESULT WriteValue(const wchar_t* name, const VARIANT& value) = 0;

private:
    Mode mode_;
    DWORD version_ = 0;
    HRESULT result_ = S_OK;
    CPropValues validated_;
};

// Exchange functions. Loading a property that is absent gives it its default;
// resetting always does. They return false when the exchange failed (the value
// is then unchanged and the exchange's Result() holds the failure).
bool PX_Long(CPropExchange* px, const wchar_t* name, long& value, long defaultValue);
bool PX_Long(CPropExchange* px, const wchar_t* name, int& value, int defaultValue);
bool PX_ULong(CPropExchange* px, const wchar_t* name, unsigned long& value, unsigned long defaultValue);
bool PX_Short(CPropExchange* px, const wchar_t* name, short& value, short defaultValue);
bool PX_Bool(CPropExchange* px, const wchar_t* name, bool& value, bool defaultValue);
bool PX_Bool(CPropExchange* px, const wchar_t* name, BOOL& value, BOOL defaultValue);
bool PX_String(CPropExchange* px, const wchar_t* name, std::wstring& value, const wchar_t* defaultValue);

// Resetting: every property takes its default; nothing is read or written.
class CResetPropExchange : public CPropExchange {
public:
    CResetPropExchange() : CPropExchange(Mode::Reset) {}
    HRESULT ReadValue(const wchar_t*, VARTYPE, CVariant&) override { return S_FALSE; }
    HRESULT WriteValue(const wchar_t*, const VARIANT&) override { return E_UNEXPECTED; }
};

// Loading what a validating exchange read (CPropExchange::Validated()): properties it did
// not read count as absent. Nothing here can fail but memory for a copied string.
class CValidatedPropExchange : public CPropExchange {
public:
    explicit CValidatedPropExchange(const CPropValues& values) : CPropExchange(Mode::Load), values_(values) {}
    HRESULT ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) override;
    HRESULT WriteValue(const wchar_t*, const VARIANT&) override { return E_UNEXPECTED; }

private:
    const CPropValues& values_;
};

// Loading from or saving into the binary property set of prop_blob.h, the
// content of the stream and storage forms. A stored value that cannot be
// coerced to the requested type fails the load (DISP_E_TYPEMISMATCH or
// DISP_E_OVERFLOW).
class CBlobPropExchange : public CPropExchange {
public:
    CBlobPropExchange(Mode mode, fwpersist::CPropertyBlob& blob) : CPropExchange(mode), blob_(blob) {}
    HRESULT ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) override;
    HRESULT WriteValue(const wchar_t* name, const VARIANT& value) override;

private:
    fwpersist::CPropertyBlob& blob_;
};

// Loading from or saving into a container's property bag (HTML <param> tags,
// form files). Bags hand out text as often as numbers: values are coerced in
// the invariant locale. A value that does not convert is reported to the
// error log, if any, and the property takes its default: one bad <param>
// must not stop a page from loading the control.
class CBagPropExchange : public CPropExchange {
public:
    CBagPropExchange(Mode mode, IPropertyBag* bag, IErrorLog* log) : CPropExchange(mode), bag_(bag), log_(log) {}
    HRESULT ReadValue(const wchar_t* name, VARTYPE vt, CVariant& out) override;
    HRESULT WriteValue(const wchar_t* name, const VARIANT& value) override;

private:
    IPropertyBag* bag_;
    IErrorLog* log_;
};

// Maps a parse status of the binary form to the result a Load returns.
HRESULT PropBlobStatusToHResult(fwpersist::ParseStatus status);
