// Self-registration of the module: type library, the two classes, the legacy document
// class converted to the control, and the two safety categories.
#include "registration.h"

#include <comcat.h>
#include <objsafe.h>
#include <oleauto.h>

#include <cstring>

#include "class_registration.h"
#include "common/tarvel_ids.h"
#include "common/win_raii.h"

namespace {

// The type library's own registrations use the system kind of the module's build, so the
// x64 module removes what it registered rather than its x86 twin's entries.
#ifdef _WIN64
constexpr SYSKIND kOwnSysKind = SYS_WIN64;
#else
constexpr SYSKIND kOwnSysKind = SYS_WIN32;
#endif

constexpr const char kLegacyProgId[] = "Tarvel.Document";
constexpr const char kLegacyTypeName[] = "Tarvel Document";

// Does one version subkey of a library key carry our description, letter case counting?
bool LibraryKeyMatches(HKEY library)
{
    char version[5000];
    for (DWORD i = 0; RegEnumKeyA(library, i, version, sizeof version) == ERROR_SUCCESS; ++i) {
        char text[1000];
        LONG size = sizeof text;
        if (RegQueryValueA(library, version, text, &size) != ERROR_SUCCESS) return false;
        if (size > 0 && static_cast<size_t>(size) <= sizeof text && text[size - 1] == '\0' &&
            strcmp(text, TARVEL_LIB_DESCRIPTION) == 0)
            return true;
    }
    return false;
}

void WriteLegacyDocumentEntries()
{
    const std::string legacy = GuidToRegistryText(CLSID_TarvelLegacyDocument);
    WriteKey(HKEY_CLASSES_ROOT, kLegacyProgId, kLegacyTypeName);
    WriteKey(HKEY_CLASSES_ROOT, std::string(kLegacyProgId) + "\\Insertable", nullptr);
    WriteKey(HKEY_CLASSES_ROOT, std::string(kLegacyProgId) + "\\CLSID", legacy.c_str());
    WriteKey(HKEY_CLASSES_ROOT, "CLSID\\" + legacy, kLegacyTypeName);
    WriteKey(HKEY_CLASSES_ROOT, "CLSID\\" + legacy + "\\AutoConvertTo", GuidToRegistryText(CLSID_Tarvel).c_str());
}

class CComInit {
public:
    CComInit() : hr(CoInitialize(nullptr)) {}
    ~CComInit()
    {
        if (SUCCEEDED(hr)) CoUninitialize();
    }

private:
    HRESULT hr;
};

HRESULT RegisterSafetyCategories()
{
    CComInit com;
    ICatRegister* raw = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICatRegister, reinterpret_cast<void**>(&raw));
    if (FAILED(hr) || !raw) return FAILED(hr) ? hr : E_NOINTERFACE;
    CATEGORYINFO info[2] = {};
    info[0].catid = CATID_SafeForInitializing;
    info[0].lcid = 0x409;
    wcscpy(info[0].szDescription, L"Controls safely initializable from persistent data");
    info[1].catid = CATID_SafeForScripting;
    info[1].lcid = 0x409;
    wcscpy(info[1].szDescription, L"Controls safely scriptable");
    hr = raw->RegisterCategories(2, info);
    if (SUCCEEDED(hr)) {
        CATID ids[2] = {CATID_SafeForInitializing, CATID_SafeForScripting};
        hr = raw->RegisterClassImplCategories(CLSID_Tarvel, 2, ids);
    }
    raw->Release();
    return hr;
}

}  // namespace

void SweepStaleTypeLibs(HKEY root, const char* path)
{
    CRegKey libraries;
    if (RegOpenKeyA(root, path, libraries.Put()) != ERROR_SUCCESS) return;
    char name[5000];
    DWORD index = 0;
    while (RegEnumKeyA(libraries.Get(), index, name, sizeof name) == ERROR_SUCCESS) {
        CRegKey library;
        if (RegOpenKeyA(libraries.Get(), name, library.Put()) != ERROR_SUCCESS) return;
        const bool matches = LibraryKeyMatches(library.Get());
        library.Reset();
        // A deleted entry's place is taken by the next one, so the index stays.
        if (matches && DeleteKeyTree(libraries.Get(), name) == ERROR_SUCCESS) continue;
        ++index;
    }
}

void RemoveRegistration(const RegistrationHooks& hooks)
{
    for (WORD minor = 0; minor <= TARVEL_LIB_MINOR; ++minor)
        UnRegisterTypeLib(LIBID_TarvelLib, TARVEL_LIB_MAJOR, minor, 0, kOwnSysKind);
    hooks.updateClasses(false);
    DeleteKeyTree(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToRegistryText(CLSID_TarvelLegacyDocument)).c_str());
    DeleteKeyTree(HKEY_CLASSES_ROOT, kLegacyProgId);
    SweepStaleTypeLibs(HKEY_CLASSES_ROOT, "TypeLib");
    SweepStaleTypeLibs(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TypeLib");
}

HRESULT RegisterModule(HINSTANCE module, const RegistrationHooks& hooks)
{
    RemoveRegistration(hooks);

    const std::string path = ModulePath(module);
    std::wstring widePath(path.begin(), path.end());
    int wideLength = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (wideLength > 0) {
        widePath.resize(static_cast<size_t>(wideLength));
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &widePath[0], wideLength);
    }
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(widePath.c_str(), REGKIND_REGISTER, &library)) || !library) return SELFREG_E_TYPELIB;
    library->Release();

    if (!hooks.updateClasses(true)) return SELFREG_E_CLASS;
    WriteLegacyDocumentEntries();

    // Without the categories a scripting host would refuse the control: registration fails.
    const HRESULT hr = RegisterSafetyCategories();
    return FAILED(hr) ? SELFREG_E_CLASS : S_OK;
}
