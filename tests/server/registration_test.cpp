// Self-registration of the built module, read back from the registry of the test prefix.
// These tests change the prefix's registration: ctest runs them under the "registry" lock
// and they leave the module registered.
#include <gtest/gtest.h>

#include <windows.h>
#include <comcat.h>
#include <objsafe.h>
#include <olectl.h>

#include <map>
#include <string>

#include "common/tarvel_ids.h"
#include "common/win_raii.h"

namespace {

std::string WinPath(const char* unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string ModuleWinPath()
{
    return WinPath(TARVEL_OCX_PATH);
}

// Runs a program of the build and returns its exit code (-1: it did not start).
int RunProgram(std::string commandLine)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return static_cast<int>(code);
}

class CModule {
public:
    CModule() : h(LoadLibraryA(ModuleWinPath().c_str())) {}
    ~CModule()
    {
        if (h) FreeLibrary(h);
    }
    template <class F>
    F Get(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(h, name)));
    }
    HRESULT Register() const { return Get<HRESULT(WINAPI*)()>("DllRegisterServer")(); }
    HRESULT Unregister() const { return Get<HRESULT(WINAPI*)()>("DllUnregisterServer")(); }
    HMODULE h;
};

bool KeyExists(HKEY root, const std::string& path)
{
    CRegKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The default (or named) string value of a key; "<missing>" when absent.
std::string ReadText(HKEY root, const std::string& path, const char* name = nullptr)
{
    CRegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return "<missing>";
    char text[1024];
    DWORD size = sizeof text, type = 0;
    if (RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return "<missing>";
    return type == REG_SZ ? std::string(text, size ? size - 1 : 0) : "<not text>";
}

// Every key and string value below root\path, flattened, for comparing two registrations.
void Snapshot(HKEY root, const std::string& path, std::map<std::string, std::string>& out)
{
    CRegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
    char name[256];
    BYTE data[1024];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        if (RegEnumValueA(key.Get(), i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        out[path + "|" + name] = std::string(reinterpret_cast<char*>(data), dataSize);
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key.Get(), i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out[path + "\\" + name] = "";
        Snapshot(root, path + "\\" + name, out);
    }
}

std::map<std::string, std::string> RegistrationSnapshot()
{
    std::map<std::string, std::string> all;
    for (const char* path : {"CLSID\\" TARVEL_CLSID_CTRL_STR, "CLSID\\" TARVEL_CLSID_PAGE_STR,
                             "CLSID\\" TARVEL_CLSID_LEGACY_STR, TARVEL_PROGID_CTRL, "Tarvel.Document",
                             "TypeLib\\" TARVEL_LIBID_STR})
        Snapshot(HKEY_CLASSES_ROOT, path, all);
    return all;
}

// The registry view of the other architecture's module, and the system kind of the type
// library entries each architecture writes.
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
const std::string kOwnSysKind = "win64", kOtherSysKind = "win32";
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
const std::string kOwnSysKind = "win32", kOtherSysKind = "win64";
#endif

// A 32-bit Windows has a single registry view, so no module of the other architecture
// can be registered beside ours.
bool HasOtherView()
{
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Writes a key (and its default text) the way the other architecture's registration
// leaves it.
void WriteByHand(const std::string& path, const char* text, REGSAM view = 0)
{
    CRegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS)
        << path;
    if (text)
        RegSetValueExA(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(strlen(text) + 1));
}

bool KeyExistsInView(const std::string& path, REGSAM view)
{
    CRegKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

void DeleteInView(const std::string& path, REGSAM view)
{
    const size_t slash = path.rfind('\\');
    CRegKey parent;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view, parent.Put()) ==
        ERROR_SUCCESS)
        RegDeleteTreeA(parent.Get(), path.substr(slash + 1).c_str());
}

const std::string kLibrary = "TypeLib\\" TARVEL_LIBID_STR;
const std::string kCtrl = "CLSID\\" TARVEL_CLSID_CTRL_STR;
const std::string kPage = "CLSID\\" TARVEL_CLSID_PAGE_STR;
const std::string kLegacy = "CLSID\\" TARVEL_CLSID_LEGACY_STR;

// The neutral locale, the library's own (English, United States) and a Russian user's.
constexpr LCID kHostLocales[] = {0, 0x0409, 0x0419};

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(module.h, nullptr) << ModuleWinPath();
        CoInitialize(nullptr);
    }
    void TearDown() override
    {
        // Leave the prefix as the other tests expect it, without entries written by hand.
        DeleteInView(kLibrary, 0);
        if (HasOtherView()) DeleteInView(kCtrl, kOtherView);
        module.Register();
        CoUninitialize();
    }
    CModule module;
};

TEST_F(Registration, WritesClassesTypeLibraryLegacyEntriesAndCategories)
{
    ASSERT_EQ(module.Register(), S_OK);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl), "Tarvel Control");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\InprocServer32"), ModuleWinPath());
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\ProgID"), TARVEL_PROGID_CTRL);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kCtrl + "\\Control"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kCtrl + "\\Insertable"));
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\ToolboxBitmap32"), ModuleWinPath() + ", 1");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\MiscStatus\\1"), "132483");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\TypeLib"), TARVEL_LIBID_STR);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\Version"), "1.74");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, TARVEL_PROGID_CTRL "\\CLSID"), TARVEL_CLSID_CTRL_STR);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, TARVEL_PROGID_CTRL "\\Insertable"));

    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kPage), "Tarvel Property Page");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kPage + "\\InprocServer32"), ModuleWinPath());

    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "Tarvel.Document"), "Tarvel Document");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "Tarvel.Document\\Insertable"));
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "Tarvel.Document\\CLSID"), TARVEL_CLSID_LEGACY_STR);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kLegacy), "Tarvel Document");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kLegacy + "\\AutoConvertTo"), TARVEL_CLSID_CTRL_STR);

    // Type library 1.74 (the registry writes the minor version in hexadecimal).
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "TypeLib\\" TARVEL_LIBID_STR "\\1.4a"), TARVEL_LIB_DESCRIPTION);
    // Hosts that load the registered library themselves ask for their user's locale or the
    // neutral one; the loader falls back to the neutral locale only (not to 0x0409).
    for (LCID locale : kHostLocales) {
        ITypeLib* lib = nullptr;
        EXPECT_EQ(LoadRegTypeLib(LIBID_TarvelLib, 1, 74, locale, &lib), S_OK) << "locale " << locale;
        if (lib) lib->Release();
    }

    // Both safety categories, declared as implemented by the control.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kCtrl + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kCtrl + "\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely scriptable");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely initializable from persistent data");
}

TEST_F(Registration, RegisteringTwiceEqualsRegisteringOnce)
{
    ASSERT_EQ(module.Register(), S_OK);
    const auto once = RegistrationSnapshot();
    ASSERT_EQ(module.Register(), S_OK);
    EXPECT_EQ(RegistrationSnapshot(), once);
    EXPECT_GT(once.size(), 15u);
}

TEST_F(Registration, UnregisteringRemovesAllButTheCategoryDefinitions)
{
    ASSERT_EQ(module.Register(), S_OK);
    ASSERT_EQ(module.Unregister(), S_OK);
    for (const std::string& path :
         {kCtrl, kPage, kLegacy, std::string(TARVEL_PROGID_CTRL), std::string("Tarvel.Document"), kLibrary,
          std::string("Interface\\" TARVEL_DIID_DISPATCH_STR), std::string("Interface\\" TARVEL_DIID_EVENTS_STR)})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, path)) << path;
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
    // Nothing registered: still S_OK.
    EXPECT_EQ(module.Unregister(), S_OK);
}

TEST_F(Registration, SweepRemovesLibrariesCarryingOurDescriptionOnly)
{
    const char* stale1 = "TypeLib\\{11111111-2222-3333-4444-555555555501}";
    const char* stale2 = "TypeLib\\{11111111-2222-3333-4444-555555555502}";
    const char* other = "TypeLib\\{11111111-2222-3333-4444-555555555503}";
    auto write = [](const std::string& key, const char* text) {
        CRegKey k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(),
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(k.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(strlen(text) + 1));
    };
    // Two neighbours with the description (one on its second version), one differing in case.
    write(std::string(stale1) + "\\1.0", TARVEL_LIB_DESCRIPTION);
    write(std::string(stale1) + "\\1.0\\0\\win32", "x.ocx");
    write(std::string(stale2) + "\\1.0", "Something else");
    write(std::string(stale2) + "\\2.0", TARVEL_LIB_DESCRIPTION);
    write(std::string(other) + "\\1.0", "tarvel activex control module");

    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, stale1));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, stale2));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, other));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, other);
}

// Both modules share the type library's key: each owns only its own system kind's entry.
TEST_F(Registration, TheOtherArchitecturesLibraryEntrySurvivesRegistrationAndUnregistration)
{
    const std::string version = kLibrary + "\\1.4a";
    const std::string other = version + "\\409\\" + kOtherSysKind;
    WriteByHand(version, TARVEL_LIB_DESCRIPTION);
    WriteByHand(version + "\\FLAGS", "0");
    WriteByHand(other, "C:\\Other\\Tarvel.ocx");

    ASSERT_EQ(module.Register(), S_OK);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, other), "C:\\Other\\Tarvel.ocx");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, version + "\\409\\" + kOwnSysKind));

    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, other), "C:\\Other\\Tarvel.ocx");
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, version), TARVEL_LIB_DESCRIPTION);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, version + "\\409\\" + kOwnSysKind));

    // Our own entry whose file is gone (the platform cannot unregister it) goes too; once
    // nothing of the other module remains, the library key goes with it.
    DeleteInView(other, 0);
    WriteByHand(kLibrary + "\\1.0\\0\\" + kOwnSysKind, "C:\\Gone\\Tarvel.ocx");
    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibrary));
}

// ProgIDs live in the part of the classes root that both views share.
TEST_F(Registration, SharedProgIdsStayWhileTheOtherViewServesTheControl)
{
    if (!HasOtherView()) GTEST_SKIP() << "32-bit Windows has one registry view: no other module can be registered";
    const std::string otherServer = kCtrl + "\\InprocServer32";
    WriteByHand(otherServer, "C:\\Other\\Tarvel.ocx", kOtherView);

    ASSERT_EQ(module.Register(), S_OK);
    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kCtrl)) << "our own view's class key goes";
    EXPECT_TRUE(KeyExistsInView(otherServer, kOtherView));
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, TARVEL_PROGID_CTRL "\\CLSID"), TARVEL_CLSID_CTRL_STR);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "Tarvel.Document\\CLSID"), TARVEL_CLSID_LEGACY_STR);

    DeleteInView(kCtrl, kOtherView);
    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TARVEL_PROGID_CTRL));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Tarvel.Document"));
}

namespace {

std::wstring ReadWideText(const std::string& path)
{
    CRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return L"<missing>";
    wchar_t text[1024];
    DWORD size = sizeof text, type = 0;
    if (RegQueryValueExW(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return L"<missing>";
    return std::wstring(text, size / sizeof(wchar_t) - 1);
}

// The Version property of a control created by a module's own class object.
std::wstring VersionFrom(HMODULE module)
{
    auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_Tarvel, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return L"<no factory>";
    IDispatch* control = nullptr;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
    factory->Release();
    if (FAILED(hr)) return L"<no control>";
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    hr = control->Invoke(19, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    control->Release();
    std::wstring text = SUCCEEDED(hr) && value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : L"<no text>";
    VariantClear(&value);
    return text;
}

}  // namespace

// A Cyrillic folder on a system whose ANSI code page has no Cyrillic letters.
TEST_F(Registration, RegistersFromAFolderOutsideTheAnsiCodePage)
{
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"\x0422\x0430\x0440\x0432\x0435\x043B";
    const std::wstring path = folder + L"\\Tarvel.ocx";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::string source = ModuleWinPath();
    ASSERT_TRUE(CopyFileW(std::wstring(source.begin(), source.end()).c_str(), path.c_str(), FALSE));
    HMODULE copy = LoadLibraryW(path.c_str());
    ASSERT_NE(copy, nullptr);
    auto registerCopy = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(copy, "DllRegisterServer")));
    auto unregisterCopy = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(copy, "DllUnregisterServer")));

    EXPECT_EQ(registerCopy(), S_OK);
    EXPECT_EQ(ReadWideText(kCtrl + "\\InprocServer32"), path);
    EXPECT_EQ(ReadWideText(kCtrl + "\\ToolboxBitmap32"), path + L", 1");
    // Wine writes the library's path with a "\\?\" prefix.
    const std::wstring libraryPath = ReadWideText(kLibrary + "\\1.4a\\409\\" + kOwnSysKind);
    EXPECT_TRUE(libraryPath.size() >= path.size() &&
                libraryPath.compare(libraryPath.size() - path.size(), path.size(), path) == 0);
    const std::wstring version = VersionFrom(copy);
    EXPECT_EQ(version, VersionFrom(module.h));
    EXPECT_EQ(version.rfind(L"1.3.0 (", 0), 0u) << std::string(version.begin(), version.end());

    EXPECT_EQ(unregisterCopy(), S_OK);
    FreeLibrary(copy);
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(Registration, ClassObjectsOnlyForTheTwoClasses)
{
    auto getClassObject = module.Get<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    auto canUnload = module.Get<HRESULT(WINAPI*)()>("DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnload);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(CLSID_TarvelLegacyDocument, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(getClassObject(LIBID_TarvelLib, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(canUnload(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(CLSID_TarvelPropPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IUnknown* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&page)), S_OK);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE) << "a live property page keeps the module";
    page->Release();
    EXPECT_EQ(canUnload(), S_OK);

    // A locked server, or a class object still held, keeps the module too.
    ASSERT_EQ(getClassObject(CLSID_Tarvel, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "a held class object keeps the module";
    factory->LockServer(TRUE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE) << "a server lock keeps the module";
    ASSERT_EQ(getClassObject(CLSID_Tarvel, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_OK);

    // With nothing registered the control is still created, but has no type information.
    ASSERT_EQ(module.Unregister(), S_OK);
    ASSERT_EQ(getClassObject(CLSID_Tarvel, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IDispatch* control = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)), S_OK);
    factory->Release();
    ITypeInfo* info = nullptr;
    EXPECT_TRUE(FAILED(control->GetTypeInfo(0, 0, &info)));
    control->Release();
}

TEST_F(Registration, WineRegsvr32RegistersAndUnregisters)
{
    auto run = [](const std::string& args) { return RunProgram("regsvr32.exe /s " + args); };
    const std::string path = "\"" + ModuleWinPath() + "\"";
    EXPECT_EQ(run("/u " + path), 0);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kCtrl));
    EXPECT_EQ(run(path), 0);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kCtrl));
    EXPECT_EQ(run(path), 0);
    EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, TARVEL_PROGID_CTRL "\\CLSID"), TARVEL_CLSID_CTRL_STR);
}

// ---- Per-user registration -----------------------------------------------------------

namespace {

// Every key and value the module could leave in a classes key, both registry views.
std::map<std::string, std::string> ClassesSnapshot(HKEY root, const std::string& classes)
{
    std::map<std::string, std::string> all;
    for (const std::string& view : {std::string(), std::string("Wow6432Node\\")})
        for (const char* path :
             {"CLSID\\" TARVEL_CLSID_CTRL_STR, "CLSID\\" TARVEL_CLSID_PAGE_STR, "CLSID\\" TARVEL_CLSID_LEGACY_STR,
              TARVEL_PROGID_CTRL, "Tarvel.Document", "TypeLib\\" TARVEL_LIBID_STR,
              "Interface\\" TARVEL_DIID_DISPATCH_STR, "Interface\\" TARVEL_DIID_EVENTS_STR,
              "Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
              "Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"})
            Snapshot(root, classes + view + path, all);
    return all;
}

bool RunsOnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Wine's type-library registration in a 64-bit process also writes the interfaces' keys
// of the 32-bit view, and does so through the machine's classes whatever the process's
// classes root is (Windows writes them through the classes root). Its unregistration
// removes them again.
std::map<std::string, std::string> WithoutWinesInterfaceMirror(std::map<std::string, std::string> keys)
{
    if (!RunsOnWine() || sizeof(void*) != 8) return keys;
    for (auto it = keys.begin(); it != keys.end();)
        it = it->first.find("Wow6432Node\\Interface\\") != std::string::npos ? keys.erase(it) : std::next(it);
    return keys;
}

// Points this process's classes root at the user's classes, as the registrar does for its
// own: what a host of this user then finds.
class CUserClassesView {
public:
    CUserClassesView()
    {
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_READ, classes.Put());
        active = classes.Get() && RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.Get()) == ERROR_SUCCESS;
    }
    ~CUserClassesView()
    {
        if (active) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    CRegKey classes;
    bool active = false;
};

}  // namespace

TEST_F(Registration, PerUserRegistrationStaysInTheUsersClasses)
{
    ASSERT_EQ(module.Unregister(), S_OK);
    const std::string user = "Software\\Classes\\";
    const auto machineBefore = ClassesSnapshot(HKEY_LOCAL_MACHINE, "Software\\Classes\\");
    const std::string registrar = "\"" + WinPath(TARVEL_USERREG_PATH) + "\" /s ";
    const std::string target = "\"" + ModuleWinPath() + "\"";

    ASSERT_EQ(RunProgram(registrar + target), 0);
    EXPECT_EQ(WithoutWinesInterfaceMirror(ClassesSnapshot(HKEY_LOCAL_MACHINE, "Software\\Classes\\")), machineBefore)
        << "machine keys untouched";
    EXPECT_EQ(ReadText(HKEY_CURRENT_USER, user + TARVEL_PROGID_CTRL "\\CLSID"), TARVEL_CLSID_CTRL_STR);
    EXPECT_EQ(ReadText(HKEY_CURRENT_USER, user + kCtrl + "\\InprocServer32"), ModuleWinPath());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + kLibrary + "\\1.4a\\409\\" + kOwnSysKind));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + kCtrl + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + kCtrl + "\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));

    {
        // A host of this user: the control from the server its class names, with type
        // information from the user's library registration.
        ITypeLib* library = nullptr;
        EXPECT_NE(LoadRegTypeLib(LIBID_TarvelLib, 1, 74, 0x409, &library), S_OK) << "not for the machine";
        if (library) library->Release();
        CUserClassesView view;
        ASSERT_TRUE(view.active);
        for (LCID locale : kHostLocales) {
            library = nullptr;
            EXPECT_EQ(LoadRegTypeLib(LIBID_TarvelLib, 1, 74, locale, &library), S_OK) << "locale " << locale;
            if (library) library->Release();
        }
        const std::string server = ReadText(HKEY_CLASSES_ROOT, kCtrl + "\\InprocServer32");
        ASSERT_EQ(server, ModuleWinPath());
        CModule host;
        auto getClassObject = host.Get<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        IClassFactory* factory = nullptr;
        ASSERT_EQ(getClassObject(CLSID_Tarvel, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        IDispatch* control = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)), S_OK);
        factory->Release();
        ITypeInfo* info = nullptr;
        EXPECT_EQ(control->GetTypeInfo(0, 0x409, &info), S_OK);
        if (info) info->Release();
        control->Release();
    }

    ASSERT_EQ(RunProgram(registrar + "/u " + target), 0);
    EXPECT_EQ(ClassesSnapshot(HKEY_LOCAL_MACHINE, "Software\\Classes\\"), machineBefore) << "machine keys untouched";
    // Only the two category definitions stay, as after a machine-wide unregistration.
    const auto userAfter = ClassesSnapshot(HKEY_CURRENT_USER, user);
    for (const auto& entry : userAfter)
        EXPECT_NE(entry.first.find("Component Categories"), std::string::npos) << entry.first;
}

}  // namespace
