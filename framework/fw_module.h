// Module machinery: the per-module state record, the per-thread "current module",
// object and lock counting, class factories and the two DLL entry helpers.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <new>
#include <type_traits>
#include <utility>

class CClassFactoryBase;

// What the framework knows about one module (DLL or EXE) built on it.
class CModuleState {
public:
    CModuleState() = default;
    CModuleState(const CModuleState&) = delete;
    CModuleState& operator=(const CModuleState&) = delete;

    // Instance handle of the module; resources come from the resource handle,
    // which defaults to the instance handle.
    void SetInstance(HINSTANCE instance) { instance_ = instance; if (!resources_) resources_ = instance; }
    void SetResourceHandle(HINSTANCE resources) { resources_ = resources; }
    HINSTANCE Instance() const { return instance_; }
    HINSTANCE ResourceHandle() const { return resources_ ? resources_ : instance_; }

    // Live objects (controls, property pages) and server locks
    // (LockServer and references held on class objects).
    void AddObject() { InterlockedIncrement(&objectCount_); }
    void RemoveObject() { InterlockedDecrement(&objectCount_); }
    void AddLock() { InterlockedIncrement(&lockCount_); }
    void RemoveLock() { InterlockedDecrement(&lockCount_); }
    LONG ObjectCount() const { return objectCount_; }
    LONG LockCount() const { return lockCount_; }
    bool CanUnload() const { return objectCount_ == 0 && lockCount_ == 0; }

    // Factories enter themselves here when constructed and leave when destroyed.
    void AddFactory(CClassFactoryBase* factory);
    void RemoveFactory(CClassFactoryBase* factory);
    CClassFactoryBase* FirstFactory() const { return factories_; }
    CClassFactoryBase* FindFactory(REFCLSID clsid) const;

    // The framework's window class for this module (registered on first use by
    // CWnd, unregistered by FrameworkModuleTerm).
    ATOM WindowClass() const { return windowClass_; }
    void SetWindowClass(ATOM atom) { windowClass_ = atom; }

private:
    HINSTANCE instance_ = nullptr;
    HINSTANCE resources_ = nullptr;
    volatile LONG objectCount_ = 0;
    volatile LONG lockCount_ = 0;
    CClassFactoryBase* factories_ = nullptr;
    ATOM windowClass_ = 0;
};

// The state record of the module this framework copy is linked into. The module
// sets its instance handle once (DllMain, or WinMain for an EXE).
CModuleState& FrameworkModuleState();

// Module start and end: records the instance handle; at the end unregisters the
// framework's window class (a DLL's classes outlive its unloading otherwise).
void FrameworkModuleInit(HINSTANCE instance, CModuleState& module = FrameworkModuleState());
void FrameworkModuleTerm(CModuleState& module = FrameworkModuleState());

// The module state current on this thread: the innermost CModuleStateGuard's,
// else FrameworkModuleState().
CModuleState& CurrentModuleState();

// Makes a module state current on this thread for the guard's lifetime and
// restores the previous one on every way out of the scope.
class CModuleStateGuard {
public:
    explicit CModuleStateGuard(CModuleState& state);
    ~CModuleStateGuard();
    CModuleStateGuard(const CModuleStateGuard&) = delete;
    CModuleStateGuard& operator=(const CModuleStateGuard&) = delete;

private:
    CModuleState* previous_;
};

// Counts one live object in the module current at construction; a member of
// every control and property page object.
class CModuleObjectCounter {
public:
    CModuleObjectCounter() : state_(CurrentModuleState()) { state_.AddObject(); }
    // For helper objects (enumerators) created by a call that may run outside the
    // module's guard: they count in the module of the object that made them.
    explicit CModuleObjectCounter(CModuleState& state) : state_(state) { state_.AddObject(); }
    ~CModuleObjectCounter() { state_.RemoveObject(); }
    CModuleObjectCounter(const CModuleObjectCounter&) = delete;
    CModuleObjectCounter& operator=(const CModuleObjectCounter&) = delete;
    CModuleState& State() const { return state_; }

private:
    CModuleState& state_;
};

// Runs the body of an entry point called from outside the module (an export, a COM
// method, a window or dialog procedure): no C++ exception may cross into the caller,
// which has no way to handle one. Running out of memory becomes E_OUTOFMEMORY, anything
// else E_UNEXPECTED.
template <class Body>
HRESULT CallAtBorder(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A class object (IClassFactory) for one creatable class. Instances are static
// objects of the module: construction enters the factory into the module's list.
// References held on it by clients count as server locks.
class CClassFactoryBase : public IClassFactory {
public:
    explicit CClassFactoryBase(REFCLSID clsid, CModuleState& module = FrameworkModuleState());
    virtual ~CClassFactoryBase();
    CClassFactoryBase(const CClassFactoryBase&) = delete;
    CClassFactoryBase& operator=(const CClassFactoryBase&) = delete;

    REFCLSID ClassID() const { return clsid_; }
    CModuleState& Module() const { return module_; }
    CClassFactoryBase* Next() const { return next_; }

    // Creates a new object and queries it for riid. Runs with the module current.
    virtual HRESULT CreateObject(REFIID riid, void** ppv) = 0;
    // Creates a new object aggregated by outer and returns its inner IUnknown; the
    // default refuses (CLASS_E_NOAGGREGATION).
    virtual HRESULT CreateAggregatedObject(IUnknown* outer, IUnknown** inner) {
        (void)outer;
        *inner = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    // Writes (true) or removes (false) this class's registry entries.
    virtual HRESULT UpdateRegistry(bool registering) { (void)registering; return S_OK; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    friend class CModuleState;
    const CLSID clsid_;
    CModuleState& module_;
    CClassFactoryBase* next_ = nullptr;
    volatile LONG refs_ = 0;
};

// A factory for a class T constructible without arguments. T's objects start
// with one reference (the creator's), which CreateObject hands over or drops.
// Classes that can be aggregated offer SetOuterUnknown and InnerUnknown (the control base does).
template <class T, class = void>
struct IsAggregatable : std::false_type {};
template <class T>
struct IsAggregatable<T, std::void_t<decltype(std::declval<T&>().SetOuterUnknown(nullptr)),
                                     decltype(std::declval<T&>().InnerUnknown())>> : std::true_type {};

template <class T>
class CClassFactory : public CClassFactoryBase {
public:
    using CClassFactoryBase::CClassFactoryBase;
    HRESULT CreateObject(REFIID riid, void** ppv) override {
        T* object = new (std::nothrow) T();
        if (!object) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    // The object's first reference becomes the outer object's hold on the inner unknown.
    HRESULT CreateAggregatedObject(IUnknown* outer, IUnknown** inner) override {
        *inner = nullptr;
        if constexpr (IsAggregatable<T>::value) {
            T* object = new (std::nothrow) T();
            if (!object) return E_OUTOFMEMORY;
            object->SetOuterUnknown(outer);
            *inner = object->InnerUnknown();
            return S_OK;
        } else {
            (void)outer;
            return CLASS_E_NOAGGREGATION;
        }
    }
};

// DllGetClassObject / DllCanUnloadNow / registration over a module's factory list.
// Each makes the module current for its duration.
HRESULT FrameworkDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv,
                                   CModuleState& module = FrameworkModuleState());
HRESULT FrameworkDllCanUnloadNow(CModuleState& module = FrameworkModuleState());
// Calls UpdateRegistry on every factory; stops at the first failure when registering,
// visits every factory when unregistering and returns the first failure.
HRESULT FrameworkUpdateRegistry(bool registering, CModuleState& module = FrameworkModuleState());

