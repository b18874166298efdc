// TarvelUserReg.exe: registers or unregisters Tarvel.ocx for the current user only, without
// administrator rights. HKEY_CLASSES_ROOT of this process is pointed at the user's
// HKCU\Software\Classes before the module's own DllRegisterServer/DllUnregisterServer runs,
// so every key the module writes or deletes lands there.
//
//   TarvelUserReg [/u] [/s] path\to\Tarvel.ocx
//
// Exit codes follow regsvr32 where they mean the same: 0 done, 1 bad arguments, 2 the
// user's classes key could not be used, 3 the module did not load, 4 an export is missing,
// 5 the export failed.
#include <windows.h>
#include <ole2.h>

#include <cwchar>
#include <string>

#include "common/win_raii.h"

namespace {

enum ExitCode { kDone = 0, kBadArguments = 1, kNoUserClasses = 2, kLoadFailed = 3, kNoExport = 4, kFailed = 5 };

struct CArguments {
    bool unregister = false;
    bool silent = false;
    std::wstring module;
};

bool ParseArguments(int argc, wchar_t** argv, CArguments& out)
{
    for (int i = 1; i < argc; ++i) {
        const wchar_t* a = argv[i];
        if ((a[0] == L'/' || a[0] == L'-') && a[1] && !a[2]) {
            switch (towlower(a[1])) {
            case L'u': out.unregister = true; continue;
            case L's': out.silent = true; continue;
            default: return false;
            }
        }
        if (!out.module.empty()) return false;
        out.module = a;
    }
    return !out.module.empty();
}

void Report(const CArguments& args, const std::wstring& text)
{
    if (!args.silent) fwprintf(stderr, L"TarvelUserReg: %ls\n", text.c_str());
}

// Keeps HKEY_CLASSES_ROOT pointed at the user's classes for the object's lifetime.
class CUserClassesRoot {
public:
    CUserClassesRoot()
    {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, classes_.Put(), nullptr) != ERROR_SUCCESS)
            return;
        active_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, classes_.Get()) == ERROR_SUCCESS;
    }
    ~CUserClassesRoot()
    {
        if (active_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    CUserClassesRoot(const CUserClassesRoot&) = delete;
    CUserClassesRoot& operator=(const CUserClassesRoot&) = delete;
    bool Active() const { return active_; }

private:
    CRegKey classes_;
    bool active_ = false;
};

class CLibrary {
public:
    explicit CLibrary(const std::wstring& path) : h_(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    ~CLibrary()
    {
        if (h_) FreeLibrary(h_);
    }
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;
    HMODULE Get() const { return h_; }

private:
    HMODULE h_;
};

int Run(const CArguments& args)
{
    CUserClassesRoot root;
    if (!root.Active()) {
        Report(args, L"cannot use HKEY_CURRENT_USER\\Software\\Classes");
        return kNoUserClasses;
    }
    CLibrary module(args.module);
    if (!module.Get()) {
        Report(args, L"cannot load " + args.module);
        return kLoadFailed;
    }
    const char* exportName = args.unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto entry = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module.Get(), exportName)));
    if (!entry) {
        Report(args, args.module + L" has no " + (args.unregister ? L"DllUnregisterServer" : L"DllRegisterServer"));
        return kNoExport;
    }
    const HRESULT hr = entry();
    if (FAILED(hr)) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        Report(args, std::wstring(args.unregister ? L"unregistration" : L"registration") + L" failed: " + code);
        return kFailed;
    }
    Report(args, std::wstring(args.unregister ? L"unregistered for this user: " : L"registered for this user: ") +
                     args.module);
    return kDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    CArguments args;
    if (!ParseArguments(argc, argv, args)) {
        fwprintf(stderr, L"usage: TarvelUserReg [/u] [/s] path\\to\\Tarvel.ocx\n");
        return kBadArguments;
    }
    const HRESULT com = CoInitialize(nullptr);
    const int code = Run(args);
    if (SUCCEEDED(com)) CoUninitialize();
    return code;
}
