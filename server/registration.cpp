// Self-registration of the module: type library, the two classes, the legacy document
// class converted to the control, and the two safety categories.
#include "registration.h"

#include <comcat.h>
#include <objsafe.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "class_registration.h"
#include "common/tarvel_ids.h"
#include "common/win_raii.h"

namespace {

// The type library's own registrations use the system kind of the module's build, so the
// x64 module removes what it registered rather than its x86 twin's entries. The TypeLib
// key is one for both registry views: the x86 and x64 modules share the library key and
// its version key, each owning only its "win32" or "win64" entry below a locale.
#ifdef _WIN64
constexpr SYSKIND kOwnSysKind = SYS_WIN64;
constexpr const char kOwnSysKindKey[] = "win64";
#else
constexpr SYSKIND kOwnSysKind = SYS_WIN32;
constexpr const char kOwnSysKindKey[] = "win32";
#endif
// The platform registers the library under the locale of its embedded copy; older
// registrations used the neutral locale.
constexpr LCID kRegisteredLocales[] = {0x0409, 0};

constexpr const char kLegacyProgId[] = "Tarvel.Document";
constexpr const wchar_t kLegacyTypeName[] = L"Tarvel Document";

// The two categories of controls that scripting hosts trust, in registration order.
struct CSafetyCategory {
    const GUID* catid;
    const wchar_t* description;
};
constexpr LCID kCategoryLocale = 0x409;
const CSafetyCategory kSafetyCategories[2] = {
    {&CATID_SafeForInitializing, L"Controls safely initializable from persistent data"},
    {&CATID_SafeForScripting, L"Controls safely scriptable"},
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

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

std::vector<std::string> SubkeyNames(HKEY key)
{
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

// FLAGS and HELPDIR describe a library version, whoever registered it.
bool IsVersionAttribute(const std::string& name)
{
    return _stricmp(name.c_str(), "FLAGS") == 0 || _stricmp(name.c_str(), "HELPDIR") == 0;
}

// Removes this module's system-kind entry below each locale of one version key, the
// locale keys left empty, and the version key when no other module's entry remains.
void RemoveOwnVersionEntries(HKEY library, const std::string& version)
{
    CRegKey key;
    if (RegOpenKeyExA(library, version.c_str(), 0, KEY_READ | KEY_WRITE, key.Put()) != ERROR_SUCCESS) return;
    bool othersRemain = false;
    for (const std::string& locale : SubkeyNames(key.Get())) {
        if (IsVersionAttribute(locale)) continue;
        CRegKey localeKey;
        if (RegOpenKeyExA(key.Get(), locale.c_str(), 0, KEY_READ | KEY_WRITE, localeKey.Put()) != ERROR_SUCCESS) {
            othersRemain = true;
            continue;
        }
        DeleteKeyTree(localeKey.Get(), kOwnSysKindKey);
        const bool empty = SubkeyNames(localeKey.Get()).empty();
        localeKey.Reset();
        if (!empty || RegDeleteKeyA(key.Get(), locale.c_str()) != ERROR_SUCCESS) othersRemain = true;
    }
    key.Reset();
    if (!othersRemain) DeleteKeyTree(library, version.c_str());
}

// What the platform's unregistration leaves of this module's own registrations of the
// library (it cannot remove an entry whose file is gone), without touching the other
// architecture's entries.
void RemoveOwnTypeLibEntries()
{
    const std::string name = GuidToRegistryText(LIBID_TarvelLib);
    CRegKey libraries;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "TypeLib", 0, KEY_READ | KEY_WRITE, libraries.Put()) != ERROR_SUCCESS)
        return;
    CRegKey library;
    if (RegOpenKeyExA(libraries.Get(), name.c_str(), 0, KEY_READ | KEY_WRITE, library.Put()) != ERROR_SUCCESS)
        return;
    for (const std::string& version : SubkeyNames(library.Get())) RemoveOwnVersionEntries(library.Get(), version);
    const bool empty = SubkeyNames(library.Get()).empty();
    library.Reset();
    if (empty) RegDeleteKeyA(libraries.Get(), name.c_str());
}

// The loader looks a library up under the locale asked for, its primary language, then the
// neutral locale, never under another language: a host loading the registered library for
// locale 0 or for its user's language (Office binds controls that way) finds none under
// 0x0409 alone. The same file is therefore registered under the neutral locale as well,
// always: whether a look-up for locale 0 already succeeds depends on what else is registered
// (Wine falls back to the other architecture's entry), and the entries must not.
bool RegisterUnderNeutralLocale(const std::wstring& path)
{
    char version[16];
    wsprintfA(version, "%x.%x", TARVEL_LIB_MAJOR, TARVEL_LIB_MINOR);
    return WriteKey(HKEY_CLASSES_ROOT,
                    "TypeLib\\" + GuidToRegistryText(LIBID_TarvelLib) + "\\" + version + "\\0\\" + kOwnSysKindKey,
                    path);
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

// The component categories manager of some systems writes to the machine's classes
// whatever the classes root of the process says; under per-user registration the module
// writes the same keys itself.
HRESULT RegisterSafetyCategoriesForUser()
{
    RegistryRows rows = SafetyCategoryDefinitionRows();
    const RegistryRows implemented = ImplementedCategoryRows();
    rows.insert(rows.end(), implemented.begin(), implemented.end());
    return WriteRows(HKEY_CLASSES_ROOT, rows) ? S_OK : E_FAIL;
}

HRESULT RegisterSafetyCategories()
{
    if (ClassesRootIsPerUser()) return RegisterSafetyCategoriesForUser();
    CComInit com;
    ICatRegister* raw = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICatRegister, reinterpret_cast<void**>(&raw));
    if (FAILED(hr) || !raw) return FAILED(hr) ? hr : E_NOINTERFACE;
    CATEGORYINFO info[2] = {};
    CATID ids[2] = {};
    for (size_t i = 0; i < 2; ++i) {
        ids[i] = *kSafetyCategories[i].catid;
        info[i].catid = ids[i];
        info[i].lcid = kCategoryLocale;
        wcscpy(info[i].szDescription, kSafetyCategories[i].description);
    }
    hr = raw->RegisterCategories(2, info);
    if (SUCCEEDED(hr)) hr = raw->RegisterClassImplCategories(CLSID_Tarvel, 2, ids);
    raw->Release();
    return hr;
}

}  // namespace

RegistryRows LegacyDocumentRows()
{
    const std::string legacy = "CLSID\\" + GuidToRegistryText(CLSID_TarvelLegacyDocument);
    const std::string progId = kLegacyProgId;
    return {
        {progId, "", kLegacyTypeName, true},
        {progId + "\\Insertable", "", L"", false},
        {progId + "\\CLSID", "", Widen(GuidToRegistryText(CLSID_TarvelLegacyDocument)), true},
        {legacy, "", kLegacyTypeName, true},
        {legacy + "\\AutoConvertTo", "", Widen(GuidToRegistryText(CLSID_Tarvel)), true},
    };
}

RegistryRows SafetyCategoryDefinitionRows()
{
    char locale[16];
    snprintf(locale, sizeof locale, "%lx", static_cast<unsigned long>(kCategoryLocale));
    RegistryRows rows;
    for (const CSafetyCategory& c : kSafetyCategories)
        rows.push_back({"Component Categories\\" + GuidToRegistryText(*c.catid), locale, c.description, true});
    return rows;
}

RegistryRows ImplementedCategoryRows()
{
    const std::string control = "CLSID\\" + GuidToRegistryText(CLSID_Tarvel) + "\\Implemented Categories\\";
    RegistryRows rows;
    for (const CSafetyCategory& c : kSafetyCategories)
        rows.push_back({control + GuidToRegistryText(*c.catid), "", L"", false});
    return rows;
}

void SweepStaleTypeLibs(HKEY root, const char* path)
{
    CRegKey libraries;
    if (RegOpenKeyA(root, path, libraries.Put()) != ERROR_SUCCESS) return;
    // Our own library key carries the description too, but it is shared with the other
    // architecture's module: RemoveOwnTypeLibEntries takes care of our part of it.
    const std::string own = GuidToRegistryText(LIBID_TarvelLib);
    char name[5000];
    DWORD index = 0;
    while (RegEnumKeyA(libraries.Get(), index, name, sizeof name) == ERROR_SUCCESS) {
        if (_stricmp(name, own.c_str()) == 0) {
            ++index;
            continue;
        }
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
    // The platform's unregistration also removes the interfaces' keys, but only when the
    // locale matches a registered one.
    for (WORD minor = 0; minor <= TARVEL_LIB_MINOR; ++minor)
        for (LCID locale : kRegisteredLocales)
            UnRegisterTypeLib(LIBID_TarvelLib, TARVEL_LIB_MAJOR, minor, locale, kOwnSysKind);
    RemoveOwnTypeLibEntries();
    hooks.updateClasses(false);
    DeleteKeyTree(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToRegistryText(CLSID_TarvelLegacyDocument)).c_str());
    // The document ProgID is shared by both views, like the control's.
    if (!OtherViewServesClass(CLSID_Tarvel)) DeleteKeyTree(HKEY_CLASSES_ROOT, kLegacyProgId);
    SweepStaleTypeLibs(HKEY_CLASSES_ROOT, "TypeLib");
    // The machine's own libraries, which the merged classes root may hide; a per-user
    // registration looks at the user's classes instead and never touches the machine's.
    if (ClassesRootIsPerUser())
        SweepStaleTypeLibs(HKEY_CURRENT_USER, "Software\\Classes\\TypeLib");
    else
        SweepStaleTypeLibs(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\TypeLib");
}

HRESULT RegisterModule(HINSTANCE module, const RegistrationHooks& hooks)
{
    RemoveRegistration(hooks);

    const std::wstring path = ModulePath(module);
    ITypeLib* library = nullptr;
    if (path.empty() || FAILED(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library)) || !library)
        return SELFREG_E_TYPELIB;
    library->Release();
    if (!RegisterUnderNeutralLocale(path)) return SELFREG_E_TYPELIB;

    if (!hooks.updateClasses(true)) return SELFREG_E_CLASS;
    // Each entry on its own: one that cannot be written does not stop the others.
    WriteRows(HKEY_CLASSES_ROOT, LegacyDocumentRows(), false);

    // Without the categories a scripting host would refuse the control: registration fails.
    const HRESULT hr = RegisterSafetyCategories();
    return FAILED(hr) ? SELFREG_E_CLASS : S_OK;
}
