// Owners for COM and OLE Automation resources: automation strings, VARIANTs,
// SAFEARRAYs (and their data locks), CoTaskMem strings and interface pointers.
// Header-only and layer-neutral: every layer that talks COM uses these.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <utility>

// An automation string (BSTR) owned by this object; SysFreeString on destruction.
class CBstr {
public:
    CBstr() = default;
    explicit CBstr(const wchar_t* text) : s_(text ? SysAllocString(text) : nullptr) {}
    CBstr(const wchar_t* text, UINT length) : s_(SysAllocStringLen(text, length)) {}
    CBstr(const CBstr& o) : s_(o.s_ ? SysAllocStringLen(o.s_, SysStringLen(o.s_)) : nullptr) {}
    CBstr(CBstr&& o) noexcept : s_(o.Detach()) {}
    CBstr& operator=(CBstr o) noexcept { std::swap(s_, o.s_); return *this; }
    ~CBstr() { Reset(); }

    // Takes ownership of an existing BSTR.
    static CBstr Attach(BSTR s) { CBstr b; b.s_ = s; return b; }
    BSTR Detach() { return std::exchange(s_, nullptr); }
    void Reset() { if (s_) SysFreeString(s_); s_ = nullptr; }
    // Out-parameter slot: frees the current string first.
    BSTR* Put() { Reset(); return &s_; }

    BSTR Get() const { return s_; }
    // A null BSTR is the empty string by convention.
    const wchar_t* CStr() const { return s_ ? s_ : L""; }
    UINT Length() const { return s_ ? SysStringLen(s_) : 0; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    BSTR s_ = nullptr;
};

// A VARIANT owned by this object; VariantClear on destruction.
// Derives from VARIANT so that it can be passed where a VARIANT* is expected.
class CVariant : public VARIANT {
public:
    CVariant() { VariantInit(this); }
    CVariant(const CVariant& o) { VariantInit(this); VariantCopy(this, const_cast<CVariant*>(&o)); }
    explicit CVariant(const VARIANT& o) { VariantInit(this); VariantCopy(this, const_cast<VARIANT*>(&o)); }
    CVariant(CVariant&& o) noexcept { *static_cast<VARIANT*>(this) = o; VariantInit(&o); }
    CVariant& operator=(const CVariant& o) {
        if (this != &o) { Clear(); VariantCopy(this, const_cast<CVariant*>(&o)); }
        return *this;
    }
    CVariant& operator=(CVariant&& o) noexcept {
        if (this != &o) { Clear(); *static_cast<VARIANT*>(this) = o; VariantInit(&o); }
        return *this;
    }
    ~CVariant() { VariantClear(this); }

    explicit CVariant(long v) { VariantInit(this); vt = VT_I4; lVal = v; }
    explicit CVariant(int v) { VariantInit(this); vt = VT_I4; lVal = v; }
    explicit CVariant(short v) { VariantInit(this); vt = VT_I2; iVal = v; }
    explicit CVariant(bool v) { VariantInit(this); vt = VT_BOOL; boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; }
    explicit CVariant(double v) { VariantInit(this); vt = VT_R8; dblVal = v; }
    explicit CVariant(const wchar_t* s) {
        VariantInit(this);
        vt = VT_BSTR;
        bstrVal = SysAllocString(s ? s : L"");
        if (!bstrVal) vt = VT_ERROR, scode = E_OUTOFMEMORY;
    }
    // Takes ownership of the string.
    explicit CVariant(CBstr&& s) { VariantInit(this); vt = VT_BSTR; bstrVal = s.Detach(); }

    void Clear() { VariantClear(this); }
    // Out-parameter slot: clears the current value first.
    VARIANT* Put() { Clear(); return this; }
    VARIANT* Ptr() { return this; }
    const VARIANT* Ptr() const { return this; }
    // Moves the value into a caller-owned VARIANT (which must not hold anything to free).
    void Detach(VARIANT* out) { *out = *static_cast<VARIANT*>(this); VariantInit(this); }
    // Takes ownership of a VARIANT's value; the source becomes VT_EMPTY.
    void Attach(VARIANT* src) { Clear(); *static_cast<VARIANT*>(this) = *src; VariantInit(src); }

    // In-place coercion (VT_BYREF values are dereferenced by VariantChangeType).
    HRESULT ChangeType(VARTYPE to, LCID lcid = LOCALE_USER_DEFAULT) {
        return VariantChangeTypeEx(this, this, lcid, 0, to);
    }
    // Copies src coerced to the given type into this object.
    HRESULT CopyAs(const VARIANT& src, VARTYPE to, LCID lcid = LOCALE_USER_DEFAULT) {
        Clear();
        return VariantChangeTypeEx(this, const_cast<VARIANT*>(&src), lcid, 0, to);
    }
};

// A SAFEARRAY owned by this object; SafeArrayDestroy on destruction.
class CSafeArray {
public:
    CSafeArray() = default;
    explicit CSafeArray(SAFEARRAY* sa) : sa_(sa) {}
    CSafeArray(CSafeArray&& o) noexcept : sa_(o.Detach()) {}
    CSafeArray& operator=(CSafeArray&& o) noexcept { Reset(o.Detach()); return *this; }
    CSafeArray(const CSafeArray&) = delete;
    CSafeArray& operator=(const CSafeArray&) = delete;
    ~CSafeArray() { Reset(); }

    // One-dimensional array with lower bound 0.
    static CSafeArray CreateVector(VARTYPE vt, ULONG count) {
        return CSafeArray(SafeArrayCreateVector(vt, 0, count));
    }
    SAFEARRAY* Get() const { return sa_; }
    SAFEARRAY* Detach() { return std::exchange(sa_, nullptr); }
    void Reset(SAFEARRAY* sa = nullptr) {
        if (sa_) SafeArrayDestroy(sa_);
        sa_ = sa;
    }
    explicit operator bool() const { return sa_ != nullptr; }

private:
    SAFEARRAY* sa_ = nullptr;
};

// Access to a SAFEARRAY's data for the lifetime of this object
// (SafeArrayAccessData / SafeArrayUnaccessData). Check Ok() before Data().
class CSafeArrayLock {
public:
    explicit CSafeArrayLock(SAFEARRAY* sa) : sa_(sa) {
        if (sa_ && FAILED(SafeArrayAccessData(sa_, &data_))) {
            sa_ = nullptr;
            data_ = nullptr;
        }
    }
    CSafeArrayLock(const CSafeArrayLock&) = delete;
    CSafeArrayLock& operator=(const CSafeArrayLock&) = delete;
    ~CSafeArrayLock() { if (sa_) SafeArrayUnaccessData(sa_); }

    bool Ok() const { return sa_ != nullptr; }
    void* Data() const { return data_; }
    template <class T> T* As() const { return static_cast<T*>(data_); }

private:
    SAFEARRAY* sa_;
    void* data_ = nullptr;
};

// A string allocated with CoTaskMemAlloc, owned by this object.
class CCoTaskString {
public:
    CCoTaskString() = default;
    CCoTaskString(const CCoTaskString&) = delete;
    CCoTaskString& operator=(const CCoTaskString&) = delete;
    ~CCoTaskString() { Reset(); }
    LPOLESTR Get() const { return s_; }
    LPOLESTR* Put() { Reset(); return &s_; }
    LPOLESTR Detach() { return std::exchange(s_, nullptr); }
    void Reset() { if (s_) CoTaskMemFree(s_); s_ = nullptr; }

    // A CoTaskMem copy of text (null on allocation failure), for [out] string parameters.
    static LPOLESTR Duplicate(const wchar_t* text, size_t length) {
        auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
        if (!p) return nullptr;
        for (size_t i = 0; i < length; ++i) p[i] = text[i];
        p[length] = L'\0';
        return p;
    }

private:
    LPOLESTR s_ = nullptr;
};

// A counted reference to a COM interface. Copies AddRef, destruction Releases.
template <class T>
class CComRef {
public:
    CComRef() = default;
    // Takes a new reference on p (AddRef).
    CComRef(T* p) : p_(p) { if (p_) p_->AddRef(); }
    CComRef(const CComRef& o) : CComRef(o.p_) {}
    CComRef(CComRef&& o) noexcept : p_(o.Detach()) {}
    CComRef& operator=(CComRef o) noexcept { std::swap(p_, o.p_); return *this; }
    ~CComRef() { Reset(); }

    // Adopts a reference the caller already owns (no AddRef).
    static CComRef Adopt(T* p) { CComRef r; r.p_ = p; return r; }
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() { if (p_) std::exchange(p_, nullptr)->Release(); }
    // Out-parameter slot: releases the current reference first.
    T** Put() { Reset(); return &p_; }
    void** PutVoid() { Reset(); return reinterpret_cast<void**>(&p_); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Hands out a new reference (AddRef) through an [out] parameter.
    HRESULT CopyTo(T** out) const {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }
    // QueryInterface into another reference.
    template <class U>
    HRESULT QueryTo(REFIID iid, CComRef<U>& out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(iid, out.PutVoid());
    }

private:
    T* p_ = nullptr;
};
