#include "acceptance_support.h"

#include <initguid.h>
#include <devguid.h>

#include <cstring>

#include "common/tarvel_ids.h"
#include "common/win_raii.h"

std::wstring Widen(const std::string& text)
{
    std::wstring out;
    for (char c : text) out += wchar_t(static_cast<unsigned char>(c));
    return out;
}

std::wstring WindowsPath(const std::string& unixPath)
{
    std::wstring path = L"Z:" + Widen(unixPath);
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

CChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs)
{
    CChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return result;
    CUniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.Get();
    si.hStdError = writeEnd.Get();
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return result;
    result.started = true;
    CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.Reset();  // the child holds the only write end now

    auto drain = [&] {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.Get(), buffer, sizeof buffer < available ? sizeof buffer : available, &got,
                          nullptr) || !got)
                break;
            result.output.append(buffer, got);
        }
    };
    const DWORD start = GetTickCount();
    for (;;) {
        drain();
        if (WaitForSingleObject(process.Get(), 20) == WAIT_OBJECT_0) {
            result.finished = true;
            break;
        }
        if (GetTickCount() - start > timeoutMs) {
            TerminateProcess(process.Get(), 99);
            WaitForSingleObject(process.Get(), 5000);
            break;
        }
    }
    drain();
    GetExitCodeProcess(process.Get(), &result.exitCode);
    std::string clean;
    for (char c : result.output)
        if (c != '\r') clean += c;
    result.output = clean;
    return result;
}

DWORD RegisterModuleWithRegsvr32()
{
    const CChildResult r = RunChild(L"regsvr32.exe /s \"" + WindowsPath(TARVEL_OCX_PATH) + L"\"", 60000);
    return r.started && r.finished ? r.exitCode : DWORD(-1);
}

void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - spent < 20 ? timeoutMs - spent : 20, QS_ALLINPUT);
    }
}

namespace {

HRESULT IdOf(IDispatch* object, const wchar_t* name, DISPID& id)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
}

}  // namespace

HRESULT GetByName(IDispatch* object, const wchar_t* name, CVariant& value)
{
    DISPID id = 0;
    HRESULT hr = IdOf(object, name, id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.Put(), nullptr,
                          nullptr);
}

HRESULT PutByName(IDispatch* object, const wchar_t* name, const VARIANT& value)
{
    DISPID id = 0;
    HRESULT hr = IdOf(object, name, id);
    if (FAILED(hr)) return hr;
    CVariant arg(value);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                          nullptr);
}

HRESULT CallByName(IDispatch* object, const wchar_t* name, std::vector<CVariant> args, CVariant& result)
{
    DISPID id = 0;
    HRESULT hr = IdOf(object, name, id);
    if (FAILED(hr)) return hr;
    std::vector<CVariant> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(), nullptr,
                          nullptr);
}

long GetLong(IDispatch* object, const wchar_t* name)
{
    CVariant v;
    EXPECT_EQ(S_OK, GetByName(object, name, v)) << "reading " << std::string(name, name + wcslen(name));
    EXPECT_EQ(S_OK, v.ChangeType(VT_I4));
    return V_VT(&v) == VT_I4 ? V_I4(&v) : -1;
}

bool GetBool(IDispatch* object, const wchar_t* name)
{
    CVariant v;
    EXPECT_EQ(S_OK, GetByName(object, name, v));
    EXPECT_EQ(VT_BOOL, V_VT(&v));
    return V_VT(&v) == VT_BOOL && V_BOOL(&v) != VARIANT_FALSE;
}

std::wstring GetString(IDispatch* object, const wchar_t* name)
{
    CVariant v;
    EXPECT_EQ(S_OK, GetByName(object, name, v));
    EXPECT_EQ(VT_BSTR, V_VT(&v));
    return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : std::wstring();
}

HRESULT CRecordingSink::OnCommEvent(long kind, const VARIANT& data)
{
    CEvent event{int(kind), CVariant()};
    VariantCopyInd(&event.data, const_cast<VARIANT*>(&data));
    events.push_back(std::move(event));
    return S_OK;
}

int CRecordingSink::Count(int kind) const
{
    int n = 0;
    for (const CEvent& e : events) n += e.kind == kind;
    return n;
}

CFakePortDevice::CFakePortDevice(int port, const char* friendlyName)
    : set(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr))
{
    if (set == INVALID_HANDLE_VALUE) return;
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoA(set, "TARVELACCEPTANCE", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID,
                                  &device) ||
        !SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr))
        return;
    registered = true;
    const std::string portName = "COM" + std::to_string(port);
    const auto* name = reinterpret_cast<const BYTE*>(friendlyName);
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, name, DWORD(strlen(friendlyName) + 1)))
        return;
    HKEY key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) return;
    ready = RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                           DWORD(portName.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
}

CFakePortDevice::~CFakePortDevice()
{
    if (registered) SetupDiRemoveDevice(set, &device);
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
}

void AcceptanceTest::SetUp()
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
}

void AcceptanceTest::TearDown()
{
    PumpFor(50);
    CoUninitialize();
}
