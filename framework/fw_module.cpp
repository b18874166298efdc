#include "fw_module.h"

namespace {
// The guard stack is per thread: apartment-model objects make each call on the
// thread that created them, and a callback into another module on the same
// thread must not see this module's state.
thread_local CModuleState* currentModule = nullptr;
}  // namespace

CModuleState& FrameworkModuleState() {
    static CModuleState state;
    return state;
}

CModuleState& CurrentModuleState() { return currentModule ? *currentModule : FrameworkModuleState(); }

CModuleStateGuard::CModuleStateGuard(CModuleState& state) : previous_(currentModule) { currentModule = &state; }

CModuleStateGuard::~CModuleStateGuard() { currentModule = previous_; }

void CModuleState::AddFactory(CClassFactoryBase* factory) {
    factory->next_ = factories_;
    factories_ = factory;
}

void CModuleState::RemoveFactory(CClassFactoryBase* factory) {
    for (CClassFactoryBase** link = &factories_; *link; link = &(*link)->next_) {
        if (*link == factory) {
            *link = factory->next_;
            factory->next_ = nullptr;
            return;
        }
    }
}

CClassFactoryBase* CModuleState::FindFactory(REFCLSID clsid) const {
    for (CClassFactoryBase* f = factories_; f; f = f->Next())
        if (IsEqualCLSID(f->ClassID(), clsid)) return f;
    return nullptr;
}

CClassFactoryBase::CClassFactoryBase(REFCLSID clsid, CModuleState& module) : clsid_(clsid), module_(module) {
    module_.AddFactory(this);
}

CClassFactoryBase::~CClassFactoryBase() { module_.RemoveFactory(this); }

STDMETHODIMP CClassFactoryBase::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// The factory is a static object: its count only tells the module whether a
// client still holds the class object.
STDMETHODIMP_(ULONG) CClassFactoryBase::AddRef() {
    module_.AddLock();
    return ULONG(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) CClassFactoryBase::Release() {
    module_.RemoveLock();
    return ULONG(InterlockedDecrement(&refs_));
}

STDMETHODIMP CClassFactoryBase::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregating outer object must ask for the inner IUnknown (the COM aggregation rules).
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    CModuleStateGuard guard(module_);
    try {
        if (outer) return CreateAggregatedObject(outer, reinterpret_cast<IUnknown**>(ppv));
        return CreateObject(riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CClassFactoryBase::LockServer(BOOL lock) {
    if (lock)
        module_.AddLock();
    else
        module_.RemoveLock();
    return S_OK;
}

HRESULT FrameworkDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv, CModuleState& module) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CModuleStateGuard guard(module);
    CClassFactoryBase* factory = module.FindFactory(clsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
}

HRESULT FrameworkDllCanUnloadNow(CModuleState& module) {
    CModuleStateGuard guard(module);
    return module.CanUnload() ? S_OK : S_FALSE;
}

HRESULT FrameworkUpdateRegistry(bool registering, CModuleState& module) {
    CModuleStateGuard guard(module);
    HRESULT first = S_OK;
    for (CClassFactoryBase* f = module.FirstFactory(); f; f = f->Next()) {
        HRESULT hr = f->UpdateRegistry(registering);
        if (FAILED(hr)) {
            if (registering) return hr;
            if (SUCCEEDED(first)) first = hr;
        }
    }
    return first;
}

void FrameworkModuleInit(HINSTANCE instance, CModuleState& module) { module.SetInstance(instance); }

void FrameworkModuleTerm(CModuleState& module) {
    if (module.WindowClass()) {
        UnregisterClassW(reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(module.WindowClass())), module.Instance());
        module.SetWindowClass(0);
    }
}
