// The part every standard enumerator (IEnumXxx) shares.
#pragma once

#include <windows.h>

#include "fw_module.h"

// One reference count, IUnknown and the enumerator's own interface, a position with Skip and
// Reset, and a count in the module that made it: its code lives in the module, and a client may
// keep it (or a clone) after releasing the object that handed it out, so until it is released
// the module must not be unloaded. Derived classes give Next, Clone and the number of items.
template <class IEnum>
class CEnumBase : public IEnum {
public:
    CEnumBase(CModuleState& module, const IID& iid) : counter_(module), iid_(iid) {}
    virtual ~CEnumBase() = default;
    CEnumBase(const CEnumBase&) = delete;
    CEnumBase& operator=(const CEnumBase&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *ppv = static_cast<IEnum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return ULONG(n);
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = ItemCount() - position_;
        if (count > left) {
            position_ = ItemCount();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }

protected:
    virtual size_t ItemCount() const = 0;
    CModuleState& Module() const { return counter_.State(); }
    const IID& Iid() const { return iid_; }
    size_t position_ = 0;

private:
    CModuleObjectCounter counter_;
    const IID& iid_;
    volatile LONG refs_ = 1;
};
