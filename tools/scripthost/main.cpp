// tarvel_scripthost SCRIPT.vbs|SCRIPT.js [ARGS...]
// Runs one script with the named item "Host" (host_object.h); see script_host.h for the
// exit code. 2 means the command line or the script file was unusable.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "script_host.h"
#include "script_text.h"

namespace {

// The command line as UTF-16 (main's char** would lose characters outside the code page).
std::vector<std::wstring> CommandLineArguments()
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    for (int i = 0; argv && i < count; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

class CComApartment {
public:
    CComApartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComApartment() { if (SUCCEEDED(hr)) CoUninitialize(); }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    HRESULT hr;
};

}  // namespace

int main()
{
    std::vector<std::wstring> args = CommandLineArguments();
    if (args.size() < 2) {
        fprintf(stderr, "usage: tarvel_scripthost SCRIPT.vbs|SCRIPT.js [ARGS...]\n");
        return 2;
    }
    const std::wstring path = args[1];
    const ScriptLanguage language = LanguageOfFile(path);
    if (language == ScriptLanguage::Unknown) {
        fprintf(stderr, "tarvel_scripthost: %s: not a .vbs or .js file\n", ToUtf8(path).c_str());
        return 2;
    }
    std::wstring code;
    if (!ReadScriptFile(path, code)) {
        fprintf(stderr, "tarvel_scripthost: cannot read %s\n", ToUtf8(path).c_str());
        return 2;
    }
    CComApartment apartment;
    if (FAILED(apartment.hr)) {
        fprintf(stderr, "tarvel_scripthost: CoInitializeEx failed 0x%08lX\n", static_cast<unsigned long>(apartment.hr));
        return 1;
    }
    int exitCode = 0;
    {
        CScriptHost host(std::vector<std::wstring>(args.begin() + 2, args.end()));
        exitCode = host.Run(language, code);
    }
    fflush(stdout);
    return exitCode;
}
