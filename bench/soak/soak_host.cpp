#include "bench/soak/soak_host.h"

#include <tlhelp32.h>
#include <olectl.h>

#include <cstdio>

#include "common/tarvel_ids.h"
#include "common/win_raii.h"

bool CLoadedModule::Load(const std::string& path)
{
    if (!module) module = LoadLibraryA(path.c_str());
    return module != nullptr;
}

namespace {

CComRef<IDispatch> CreateFromModule(CLoadedModule& module, const std::string& path)
{
    CComRef<IDispatch> control;
    if (!module.Load(path)) {
        printf("cannot load %s: error %lu\n", path.c_str(), GetLastError());
        return control;
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module.Get(), "DllGetClassObject")));
    CComRef<IClassFactory> factory;
    HRESULT hr = getClassObject ? getClassObject(CLSID_Tarvel, IID_IClassFactory, factory.PutVoid()) : E_FAIL;
    if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid());
    if (FAILED(hr)) printf("creating the control from %s failed: 0x%08lX\n", path.c_str(), static_cast<unsigned long>(hr));
    return control;
}

CComRef<IDispatch> CreateFromProgId()
{
    CComRef<IDispatch> control;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"" TARVEL_PROGID_CTRL, &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PutVoid());
    if (FAILED(hr))
        printf("creating %s failed: 0x%08lX (is the module registered?)\n", TARVEL_PROGID_CTRL,
               static_cast<unsigned long>(hr));
    return control;
}

}  // namespace

CComRef<IDispatch> CreateControl(CLoadedModule& module, const std::string& modulePath)
{
    CComRef<IDispatch> control = modulePath.empty() ? CreateFromProgId() : CreateFromModule(module, modulePath);
    CComRef<IPersistStreamInit> persist;
    if (control && SUCCEEDED(control.QueryTo(IID_IPersistStreamInit, persist))) persist->InitNew();
    return control;
}

namespace {

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, DISPPARAMS& params, VARIANT* result)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

}  // namespace

HRESULT PutProperty(IDispatch* object, const wchar_t* name, CVariant value)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    return InvokeByName(object, name, DISPATCH_PROPERTYPUT, params, nullptr);
}

CVariant GetProperty(IDispatch* object, const wchar_t* name)
{
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    CVariant result;
    InvokeByName(object, name, DISPATCH_PROPERTYGET, params, result.Put());
    return result;
}

long GetLongProperty(IDispatch* object, const wchar_t* name)
{
    CVariant value = GetProperty(object, name);
    return SUCCEEDED(value.ChangeType(VT_I4)) ? V_I4(&value) : -1;
}

bool GetBoolProperty(IDispatch* object, const wchar_t* name)
{
    CVariant value = GetProperty(object, name);
    return SUCCEEDED(value.ChangeType(VT_BOOL)) && V_BOOL(&value) != VARIANT_FALSE;
}

long CallSend(IDispatch* object, const VARIANT& data)
{
    CVariant argument(data);
    DISPPARAMS params{&argument, nullptr, 1, 0};
    CVariant result;
    if (FAILED(InvokeByName(object, L"Send", DISPATCH_METHOD, params, result.Put()))) return -1;
    return SUCCEEDED(result.ChangeType(VT_I4)) ? V_I4(&result) : -1;
}

void PumpFor(DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD spent = 0;; spent = GetTickCount() - start) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (spent >= ms) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs) return done();
        PumpFor(5);
    }
    return true;
}

bool DataBytes(const VARIANT& data, CBytes& out)
{
    if (V_VT(&data) == VT_BSTR) {
        const int length = int(SysStringLen(V_BSTR(&data)));
        if (!length) return true;
        const int size = WideCharToMultiByte(CP_ACP, 0, V_BSTR(&data), length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return false;
        const size_t at = out.size();
        out.resize(at + size_t(size));
        WideCharToMultiByte(CP_ACP, 0, V_BSTR(&data), length, reinterpret_cast<char*>(&out[at]), size, nullptr, nullptr);
        return true;
    }
    const bool bytes = V_VT(&data) == (VT_ARRAY | VT_UI1);
    if (!bytes && V_VT(&data) != (VT_ARRAY | VT_VARIANT)) return false;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(V_ARRAY(&data), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&data), 1, &upper);
    CSafeArrayLock lock(V_ARRAY(&data));
    if (!lock.Ok()) return false;
    for (LONG i = 0; i <= upper - lower; ++i) {
        if (bytes) {
            out.push_back(lock.As<BYTE>()[i]);
            continue;
        }
        const VARIANT& element = lock.As<VARIANT>()[i];
        if (V_VT(&element) != VT_UI1) return false;
        out.push_back(V_UI1(&element));
    }
    return true;
}

HRESULT CSoakSink::OnCommEvent(long kind, const VARIANT& data)
{
    if (inHandler) ++nestedEvents;
    inHandler = true;
    ++events;
    if (kind < EVT_DISCONNECT || kind > EVT_CONNECT) {
        ++badEvents;
    } else {
        ++counts[kind];
        if (kind == EVT_DATA && !DataBytes(data, received)) ++badEvents;
    }
    if (kind == EVT_DATA && slowPercent && rand() % 100 < slowPercent) Sleep(slowMs);
    inHandler = false;
    return S_OK;
}

namespace {

// Handles of this process from the system's handle table: GetProcessHandleCount answers 0
// under Wine.
DWORD CountHandles()
{
    struct CEntry {
        ULONG process;
        BYTE type, flags;
        USHORT value;
        void* object;
        ACCESS_MASK access;
    };
    struct CTable {
        ULONG count;
        CEntry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    const int kSystemHandleInformation = 16;
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; query && attempt < 6; ++attempt, buffer.resize(buffer.size() * 2)) {
        ULONG needed = 0;
        if (query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed) < 0) continue;
        const auto* table = reinterpret_cast<const CTable*>(buffer.data());
        DWORD mine = 0;
        for (ULONG i = 0; i < table->count; ++i)
            if (table->entries[i].process == GetCurrentProcessId()) ++mine;
        return mine;
    }
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// Committed private memory, walked region by region: Wine leaves PrivateUsage at 0.
unsigned long long CountPrivateBytes()
{
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize <= at) break;
    }
    return total;
}

DWORD CountThreads()
{
    DWORD threads = 0;
    const CUniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot.IsValid() && Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
    return threads;
}

}  // namespace

CProcessFigures MeasureProcess()
{
    CProcessFigures figures;
    figures.handles = CountHandles();
    figures.privateBytes = CountPrivateBytes();
    figures.threads = CountThreads();
    return figures;
}

std::string FormatFigures(const CProcessFigures& figures)
{
    char text[128];
    snprintf(text, sizeof text, "handles %lu, private bytes %llu KB, threads %lu",
             static_cast<unsigned long>(figures.handles), figures.privateBytes / 1024,
             static_cast<unsigned long>(figures.threads));
    return text;
}
