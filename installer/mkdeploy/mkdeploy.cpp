// mkdeploy: writes what deploys a built Tarvel.ocx without running its self-registration.
//
//   mkdeploy wix x86|x64 MODULE FILE_ID DIR_ID VIEW.wxi SHARED.wxi
//                                   registry rows of that module for the package, whose File
//                                   and Directory elements FILE_ID and DIR_ID name it and its
//                                   folder: those of its registry view, and those both views
//                                   share (the first of them its component's key path)
//   mkdeploy wix-version MODULE OUT.wxi           the package's version, the module's
//   mkdeploy wix-shared OUT.wxi                   rows both modules share and leave in place
//   mkdeploy manifest x86|x64 MODULE OUT.manifest side-by-side assembly manifest of the module
//
// Everything comes from the module's own registration tables (server/class_table.h, the rows
// of server/class_registration.cpp and server/registration.cpp) and from the built module
// itself (its type library, user type names and version), so the package, the manifest and
// DllRegisterServer cannot tell different stories. The type library's own rows are the
// platform's layout for a registered library, which the module leaves to the platform.
// Runs at build time under Wine as a 64-bit program; it reads a 32-bit module as data.
// Exit code 0 on success; otherwise a line on standard error says what failed.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/com_raii.h"
#include "server/class_registration.h"
#include "server/class_table.h"
#include "server/registration.h"

namespace {

struct Failure {
    std::wstring what;
    HRESULT hr;
};

void Check(HRESULT hr, const std::wstring& what)
{
    if (FAILED(hr)) throw Failure{what, hr};
}

struct CInterface {
    std::wstring name;
    GUID iid;
};

// What the built module says about itself.
struct CModuleFacts {
    std::wstring controlTypeName, pageTypeName;
    GUID libid = GUID_NULL;
    LCID libLocale = 0;
    WORD libMajor = 0, libMinor = 0, libFlags = 0;
    std::wstring libDescription;
    std::vector<CInterface> interfaces;
    WORD version[4] = {};
};

class CDataModule {
public:
    explicit CDataModule(const std::wstring& path)
        : h_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
        if (!h_) throw Failure{L"loading " + path + L" as data", HRESULT_FROM_WIN32(GetLastError())};
    }
    ~CDataModule() { FreeLibrary(h_); }
    CDataModule(const CDataModule&) = delete;
    CDataModule& operator=(const CDataModule&) = delete;
    HINSTANCE Get() const { return h_; }

private:
    HINSTANCE h_;
};

std::wstring ResourceText(HINSTANCE module, UINT id)
{
    const std::wstring text = LoadResourceText(module, id);
    if (text.empty()) throw Failure{L"string resource " + std::to_wstring(id), E_FAIL};
    return text;
}

void ReadVersion(const std::wstring& path, WORD (&version)[4])
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
        throw Failure{L"version resource of " + path, E_FAIL};
    version[0] = HIWORD(fixed->dwFileVersionMS);
    version[1] = LOWORD(fixed->dwFileVersionMS);
    version[2] = HIWORD(fixed->dwFileVersionLS);
    version[3] = LOWORD(fixed->dwFileVersionLS);
}

// The platform registers an interface of a library when it is a dispinterface or an
// automation-compatible vtable interface.
void ReadTypeLibrary(const std::wstring& path, CModuleFacts& facts)
{
    CComRef<ITypeLib> library;
    Check(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()), L"type library of " + path);
    TLIBATTR* attr = nullptr;
    Check(library->GetLibAttr(&attr), L"library attributes");
    facts.libid = attr->guid;
    facts.libLocale = attr->lcid;
    facts.libMajor = attr->wMajorVerNum;
    facts.libMinor = attr->wMinorVerNum;
    facts.libFlags = attr->wLibFlags;
    library->ReleaseTLibAttr(attr);
    CBstr description;
    Check(library->GetDocumentation(-1, nullptr, description.Put(), nullptr, nullptr), L"library description");
    facts.libDescription = description.Get() ? description.Get() : L"";

    for (UINT i = 0, n = library->GetTypeInfoCount(); i < n; ++i) {
        CComRef<ITypeInfo> info;
        Check(library->GetTypeInfo(i, info.Put()), L"type info");
        TYPEATTR* type = nullptr;
        Check(info->GetTypeAttr(&type), L"type attributes");
        const bool registered = type->typekind == TKIND_DISPATCH ||
                                (type->typekind == TKIND_INTERFACE && (type->wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
        const GUID iid = type->guid;
        info->ReleaseTypeAttr(type);
        if (!registered) continue;
        CBstr name;
        Check(library->GetDocumentation(static_cast<INT>(i), name.Put(), nullptr, nullptr, nullptr), L"interface name");
        facts.interfaces.push_back({name.Get(), iid});
    }
}

CModuleFacts ReadModule(const std::wstring& path)
{
    CModuleFacts facts;
    {
        CDataModule data(path);
        facts.controlTypeName = ResourceText(data.Get(), kTarvelControlClass.typeNameId);
        facts.pageTypeName = ResourceText(data.Get(), kTarvelPageClass.typeNameId);
    }
    ReadTypeLibrary(path, facts);
    ReadVersion(path, facts.version);
    if (facts.libid != kTarvelControlClass.libid || facts.libMajor != kTarvelControlClass.libMajor ||
        facts.libMinor != kTarvelControlClass.libMinor)
        throw Failure{L"the module's type library is not the one its class registration names", E_FAIL};
    return facts;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::wstring GuidText(const GUID& guid) { return Widen(GuidToRegistryText(guid)); }

std::wstring Hex(unsigned long value)
{
    wchar_t text[16];
    swprintf(text, 16, L"%lx", value);
    return text;
}

// The platform's registration of a type library, as regsvr32 leaves it: the library's
// version key (hexadecimal, as the platform names it), its locale and system kind, and each
// interface it publishes, marshaled by the automation marshaler.
RegistryRows TypeLibraryRows(const CModuleFacts& facts, const std::wstring& serverPath, const std::wstring& folder,
                             bool win64)
{
    static const GUID kAutomationMarshaler = {0x00020420, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const std::wstring versionName = Hex(facts.libMajor) + L"." + Hex(facts.libMinor);
    const std::string version(versionName.begin(), versionName.end());
    const std::string lib = "TypeLib\\" + GuidToRegistryText(facts.libid) + "\\" + version;
    const std::wstring locale = Hex(facts.libLocale);
    RegistryRows rows = {
        {lib, "", facts.libDescription, true},
        {lib + "\\FLAGS", "", std::to_wstring(facts.libFlags), true},
        {lib + "\\" + std::string(locale.begin(), locale.end()) + (win64 ? "\\win64" : "\\win32"), "", serverPath, true},
        {lib + "\\HELPDIR", "", folder, true},
    };
    // The module registers the same file under the neutral locale too: the loader never falls
    // back from locale 0 or another language to the library's own.
    if (facts.libLocale != 0) rows.push_back({lib + "\\0" + (win64 ? "\\win64" : "\\win32"), "", serverPath, true});
    for (const CInterface& i : facts.interfaces) {
        const std::string key = "Interface\\" + GuidToRegistryText(i.iid);
        rows.push_back({key, "", i.name, true});
        rows.push_back({key + "\\ProxyStubClsid", "", GuidText(kAutomationMarshaler), true});
        rows.push_back({key + "\\ProxyStubClsid32", "", GuidText(kAutomationMarshaler), true});
        rows.push_back({key + "\\TypeLib", "", GuidText(facts.libid), true});
        rows.push_back({key + "\\TypeLib", "Version", versionName, true});
    }
    return rows;
}

RegistryRows Append(RegistryRows rows, const RegistryRows& more)
{
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

// Everything registering one module writes, the shared category definitions apart.
RegistryRows ModuleRows(const CModuleFacts& facts, const std::wstring& serverPath, const std::wstring& folder,
                        bool win64)
{
    RegistryRows rows = ControlClassRows(kTarvelControlClass, serverPath, facts.controlTypeName);
    rows = Append(rows, PropertyPageClassRows(kTarvelPageClass.clsid, serverPath, facts.pageTypeName));
    rows = Append(rows, LegacyDocumentRows());
    rows = Append(rows, ImplementedCategoryRows());
    return Append(rows, TypeLibraryRows(facts, serverPath, folder, win64));
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string XmlText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// A literal for a formatted column of the package: brackets would be read as references.
std::wstring FormattedLiteral(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'[') out += L"[\\[]";
        else if (c == L']') out += L"[\\]]";
        else out += c;
    }
    return out;
}

using CFile = std::unique_ptr<FILE, int (*)(FILE*)>;

void WriteText(const std::wstring& path, const std::string& text)
{
    CFile f(_wfopen(path.c_str(), L"wb"), &std::fclose);
    if (!f) throw Failure{L"creating " + path, E_FAIL};
    const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    if (std::fclose(f.release()) != 0 || !written) throw Failure{L"writing " + path, E_FAIL};
}

// One RegistryValue element per row, under the classes of the installation's context
// (HKMU: the machine's for a per-machine install, the user's for a per-user one). A key
// without a value is created on install and removed on uninstall ("*"). A value that starts
// with one of the references (the package's names for the server's path and folder) keeps
// it; all other text is literal. keyPath: the first row is its component's key path (a
// component without files).
std::string WixRows(const RegistryRows& rows, const std::vector<std::wstring>& references, bool keyPath)
{
    std::string out;
    for (const RegistryRow& row : rows) {
        std::wstring value = FormattedLiteral(row.text);
        for (const std::wstring& reference : references)
            if (row.text.compare(0, reference.size(), reference) == 0) {
                value = reference + FormattedLiteral(row.text.substr(reference.size()));
                break;
            }
        out += "  <RegistryValue Root=\"HKMU\" Key=\"" + XmlText("Software\\Classes\\" + row.key) + "\"";
        if (!row.hasValue)
            out += " Name=\"*\" Type=\"string\" Value=\"\"";
        else
            out += (row.name.empty() ? std::string() : " Name=\"" + XmlText(row.name) + "\"") +
                   " Type=\"string\" Value=\"" + XmlText(Utf8(value)) + "\"";
        if (keyPath && &row == &rows.front()) out += " KeyPath=\"yes\"";
        out += "/>\n";
    }
    return out;
}

// 64-bit Windows keeps a 32-bit and a 64-bit copy of these keys of the classes (the class and
// interface registrations); the others this module writes (ProgIDs, the type library, the
// categories) are one for both views. A package writes the shared ones through the 64-bit
// view where there is one.
bool IsPerViewKey(const std::string& key)
{
    return _strnicmp(key.c_str(), "CLSID\\", 6) == 0 || _strnicmp(key.c_str(), "Interface\\", 10) == 0;
}

std::string WixInclude(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Generated by mkdeploy from the module's registration tables: do not edit. -->\n"
           "<Include xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n" +
           body + "</Include>\n";
}

bool ArchIsWin64(const std::wstring& arch)
{
    if (arch == L"x64") return true;
    if (arch == L"x86") return false;
    throw Failure{L"unknown architecture " + arch, E_INVALIDARG};
}

// The names a manifest gives to the bits of a miscellaneous status.
std::string MiscStatusNames(DWORD status)
{
    static const struct {
        DWORD bit;
        const char* name;
    } kNames[] = {
        {OLEMISC_RECOMPOSEONRESIZE, "recomposeonresize"}, {OLEMISC_ONLYICONIC, "onlyiconic"},
        {OLEMISC_INSERTNOTREPLACE, "insertnotreplace"},   {OLEMISC_STATIC, "static"},
        {OLEMISC_CANTLINKINSIDE, "cantlinkinside"},       {OLEMISC_CANLINKBYOLE1, "canlinkbyole1"},
        {OLEMISC_ISLINKOBJECT, "islinkobject"},           {OLEMISC_INSIDEOUT, "insideout"},
        {OLEMISC_ACTIVATEWHENVISIBLE, "activatewhenvisible"},
        {OLEMISC_RENDERINGISDEVICEINDEPENDENT, "renderingisdeviceindependent"},
        {OLEMISC_INVISIBLEATRUNTIME, "invisibleatruntime"}, {OLEMISC_ALWAYSRUN, "alwaysrun"},
        {OLEMISC_ACTSLIKEBUTTON, "actslikebutton"},       {OLEMISC_ACTSLIKELABEL, "actslikelabel"},
        {OLEMISC_NOUIACTIVATE, "nouiactivate"},           {OLEMISC_ALIGNABLE, "alignable"},
        {OLEMISC_SIMPLEFRAME, "simpleframe"},             {OLEMISC_SETCLIENTSITEFIRST, "setclientsitefirst"},
        {OLEMISC_IMEMODE, "imemode"},                     {OLEMISC_IGNOREACTIVATEWHENVISIBLE, "ignoreactivatewhenvisible"},
        {OLEMISC_WANTSTOMENUMERGE, "wantstomenumerge"},   {OLEMISC_SUPPORTSMULTILEVELUNDO, "supportsmultilevelundo"},
    };
    std::string names;
    DWORD named = 0;
    for (const auto& n : kNames) {
        if (!(status & n.bit)) continue;
        names += (names.empty() ? "" : ",") + std::string(n.name);
        named |= n.bit;
    }
    if (named != status) throw Failure{L"a miscellaneous status bit has no manifest name", E_FAIL};
    return names;
}

// The threading model the class registration writes for a class.
std::string ThreadingModel(const RegistryRows& rows)
{
    for (const RegistryRow& row : rows)
        if (row.name == "ThreadingModel") return Utf8(row.text);
    throw Failure{L"a class registration without a threading model", E_FAIL};
}

std::string ManifestText(const CModuleFacts& facts, bool win64, const std::wstring& moduleName)
{
    const RegistryRows control = ControlClassRows(kTarvelControlClass, L"", facts.controlTypeName);
    const RegistryRows page = PropertyPageClassRows(kTarvelPageClass.clsid, L"", facts.pageTypeName);
    const std::string libid = GuidToRegistryText(facts.libid);
    char version[64];
    snprintf(version, sizeof version, "%u.%u.%u.%u", facts.version[0], facts.version[1], facts.version[2],
             facts.version[3]);
    std::string flags;
    if (facts.libFlags & LIBFLAG_FRESTRICTED) flags += ",RESTRICTED";
    if (facts.libFlags & LIBFLAG_FCONTROL) flags += ",CONTROL";
    if (facts.libFlags & LIBFLAG_FHIDDEN) flags += ",HIDDEN";
    if (facts.libFlags & LIBFLAG_FHASDISKIMAGE) flags += ",HASDISKIMAGE";
    if (!flags.empty()) flags = " flags=\"" + flags.substr(1) + "\"";

    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<!-- Generated by mkdeploy from the module's registration tables: do not edit. -->\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
        "  <assemblyIdentity type=\"win32\" name=\"" TARVEL_ASSEMBLY_NAME "\" version=\"" +
        std::string(version) + "\" processorArchitecture=\"" + (win64 ? "amd64" : "x86") +
        "\"/>\n"
        "  <file name=\"" +
        XmlText(Utf8(moduleName)) + "\">\n    <comClass clsid=\"" + GuidToRegistryText(kTarvelControlClass.clsid) +
        "\" progid=\"" + XmlText(kTarvelControlClass.progId) + "\" threadingModel=\"" + ThreadingModel(control) +
        "\" tlbid=\"" + libid + "\" description=\"" + XmlText(Utf8(facts.controlTypeName)) +
        "\" miscStatusContent=\"" + MiscStatusNames(kTarvelControlClass.miscStatus) +
        "\"/>\n"
        "    <comClass clsid=\"" +
        GuidToRegistryText(kTarvelPageClass.clsid) + "\" threadingModel=\"" + ThreadingModel(page) +
        "\" description=\"" + XmlText(Utf8(facts.pageTypeName)) + "\"/>\n    <typelib tlbid=\"" + libid +
        "\" version=\"" + std::to_string(facts.libMajor) + "." + std::to_string(facts.libMinor) + "\" helpdir=\"\"" +
        flags + "/>\n  </file>\n";
    for (const CInterface& i : facts.interfaces)
        out += "  <comInterfaceExternalProxyStub name=\"" + XmlText(Utf8(i.name)) + "\" iid=\"" +
               GuidToRegistryText(i.iid) + "\" tlbid=\"" + libid +
               "\" proxyStubClsid32=\"{00020420-0000-0000-C000-000000000046}\"/>\n";
    return out + "</assembly>\n";
}

std::wstring FileName(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

int Run(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"wix" && argc == 8) {
        const bool win64 = ArchIsWin64(argv[2]);
        const CModuleFacts facts = ReadModule(argv[3]);
        const std::wstring serverPath = L"[#" + std::wstring(argv[4]) + L"]";
        const std::wstring folder = L"[" + std::wstring(argv[5]) + L"]";
        RegistryRows perView, shared;
        for (const RegistryRow& row : ModuleRows(facts, serverPath, folder, win64))
            (IsPerViewKey(row.key) ? perView : shared).push_back(row);
        WriteText(argv[6], WixInclude(WixRows(perView, {serverPath, folder}, false)));
        WriteText(argv[7], WixInclude(WixRows(shared, {serverPath, folder}, true)));
        return 0;
    }
    if (command == L"wix-version" && argc == 4) {
        // The package's version is the module's (its first three parts: the installer
        // compares no more).
        const CModuleFacts facts = ReadModule(argv[2]);
        char define[96];
        snprintf(define, sizeof define, "<?define TarvelVersion = \"%u.%u.%u\" ?>\n", facts.version[0],
                 facts.version[1], facts.version[2]);
        WriteText(argv[3], WixInclude(define));
        return 0;
    }
    if (command == L"wix-shared" && argc == 3) {
        WriteText(argv[2], WixInclude(WixRows(SafetyCategoryDefinitionRows(), {}, true)));
        return 0;
    }
    if (command == L"manifest" && argc == 5) {
        const bool win64 = ArchIsWin64(argv[2]);
        WriteText(argv[4], ManifestText(ReadModule(argv[3]), win64, FileName(argv[3])));
        return 0;
    }
    fwprintf(stderr,
             L"usage: mkdeploy wix x86|x64 MODULE FILE_ID DIR_ID VIEW.wxi SHARED.wxi\n"
             L"       mkdeploy wix-version MODULE OUT.wxi\n"
             L"       mkdeploy wix-shared OUT.wxi\n"
             L"       mkdeploy manifest x86|x64 MODULE OUT.manifest\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const HRESULT com = CoInitialize(nullptr);
    int code = 1;
    try {
        code = Run(argc, argv);
    } catch (const Failure& f) {
        fwprintf(stderr, L"mkdeploy: %ls failed (0x%08lX)\n", f.what.c_str(), static_cast<unsigned long>(f.hr));
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return code;
}
