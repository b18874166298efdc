// Helpers of the conversion tests: the records a queue holds, byte vectors, and script-array
// stand-ins (an IDispatchEx object enumerating its members in order, and a plain IDispatch).
#pragma once
#include <windows.h>
#include <dispex.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "common/com_raii.h"
#include "engine/tx_queue.h"

using Bytes = std::vector<BYTE>;
using Records = std::vector<Bytes>;

// Takes every record off the queue, oldest first.
inline Records TakeRecords(TxQueue& queue)
{
    Records records;
    while (auto record = queue.TakeHead())
        records.emplace_back(record->data.get(), record->data.get() + record->length);
    return records;
}

inline Bytes Concat(const Records& records)
{
    Bytes all;
    for (const auto& r : records) all.insert(all.end(), r.begin(), r.end());
    return all;
}

inline bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// A script array: members "0", "1", ... with identifiers that are not their indexes,
// enumerated in index order by GetNextDispID; one member can be made to fail its fetch.
class CTestArray : public IDispatchEx {
public:
    static CComRef<CTestArray> Create() { return CComRef<CTestArray>::Adopt(new CTestArray); }

    void Add(const VARIANT& v) { members_.emplace_back(v); }
    void AddInt(long v) { members_.emplace_back(v); }
    void AddObject(IDispatch* object)
    {
        CVariant v;
        V_VT(&v) = VT_DISPATCH;
        V_DISPATCH(&v) = object;
        object->AddRef();
        members_.push_back(std::move(v));
    }
    void FailFetchOf(size_t index) { failIndex_ = index; }
    // Drops the members (and with them any reference this array holds to itself).
    void Clear() { members_.clear(); }
    int fetches = 0;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDispatchEx) {
            *out = static_cast<IDispatchEx*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    // IDispatch: not used by the walk.
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    // IDispatchEx
    STDMETHODIMP GetDispID(BSTR, DWORD, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS* args, VARIANT* result, EXCEPINFO*,
                          IServiceProvider*) override
    {
        ++fetches;
        const long index = IndexOf(id);
        if (index < 0 || !(flags & DISPATCH_PROPERTYGET) || !args || args->cArgs != 0 || !result)
            return DISP_E_MEMBERNOTFOUND;
        if (static_cast<size_t>(index) == failIndex_) return E_FAIL;
        return VariantCopy(result, &members_[index]);
    }
    STDMETHODIMP DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    STDMETHODIMP GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetNextDispID(DWORD, DISPID id, DISPID* next) override
    {
        const long index = id == DISPID_STARTENUM ? 0 : IndexOf(id) + 1;
        if (id != DISPID_STARTENUM && index == 0) return E_INVALIDARG;
        if (static_cast<size_t>(index) >= members_.size()) return S_FALSE;
        *next = kFirstId + 7 * index;
        return S_OK;
    }
    STDMETHODIMP GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }

private:
    CTestArray() = default;
    virtual ~CTestArray() = default;
    static constexpr DISPID kFirstId = 5000;
    long IndexOf(DISPID id) const
    {
        const long offset = id - kFirstId;
        if (offset < 0 || offset % 7 != 0 || static_cast<size_t>(offset / 7) >= members_.size()) return -1;
        return offset / 7;
    }

    ULONG refs_ = 1;
    std::vector<CVariant> members_;
    size_t failIndex_ = static_cast<size_t>(-1);
};

// An automation object without IDispatchEx.
class CPlainDispatch : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

inline CVariant DispatchVariant(IDispatch* object)
{
    CVariant v;
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = object;
    if (object) object->AddRef();
    return v;
}
