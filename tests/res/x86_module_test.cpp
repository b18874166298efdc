// The x86 Tarvel.ocx checked from the 64-bit side, without running any 32-bit code, so that it
// is checked on machines that cannot run 32-bit programs too: its PE header and exports read
// from the file, its resources compared with the x64 module's. (Its type library goes through
// the whole TypeLibTest suite in this program.)
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<char> ReadFileBytes(const char* unixPath) {
    std::ifstream in(std::string("Z:") + unixPath, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 32-bit PE image as bytes, with just enough reading to find the export directory.
class CPeImage32 {
public:
    explicit CPeImage32(std::vector<char> bytes) : bytes_(std::move(bytes)) {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return;
        nt_ = At<IMAGE_NT_HEADERS32>(static_cast<size_t>(dos->e_lfanew));
        if (nt_ && nt_->Signature != IMAGE_NT_SIGNATURE) nt_ = nullptr;
    }

    const IMAGE_NT_HEADERS32* Nt() const { return nt_; }

    // Exported names with their ordinals.
    std::map<std::string, WORD> Exports() const {
        std::map<std::string, WORD> out;
        const auto& dir = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        const auto* exp = AtRva<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
        if (!exp) return out;
        for (DWORD i = 0; i < exp->NumberOfNames; ++i) {
            const DWORD* nameRva = AtRva<DWORD>(exp->AddressOfNames + 4 * i);
            const WORD* index = AtRva<WORD>(exp->AddressOfNameOrdinals + 2 * i);
            const char* name = nameRva ? AtRva<char>(*nameRva) : nullptr;
            if (!index || !name) return {};
            out[std::string(name, strnlen(name, bytes_.size() - static_cast<size_t>(name - bytes_.data())))] =
                static_cast<WORD>(exp->Base + *index);
        }
        return out;
    }

private:
    template <typename T>
    const T* At(size_t offset) const {
        return offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset
                   ? reinterpret_cast<const T*>(bytes_.data() + offset)
                   : nullptr;
    }

    template <typename T>
    const T* AtRva(DWORD rva) const {
        const auto* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            const auto* s = At<IMAGE_SECTION_HEADER>(reinterpret_cast<const char*>(section) - bytes_.data());
            if (!s) return nullptr;
            if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->SizeOfRawData)
                return At<T>(s->PointerToRawData + (rva - s->VirtualAddress));
        }
        return nullptr;
    }

    std::vector<char> bytes_;
    const IMAGE_NT_HEADERS32* nt_ = nullptr;
};

// Every resource of a module loaded as data: "type/name/language" -> bytes.
using ResourceMap = std::map<std::wstring, std::vector<char>>;

std::wstring IdText(LPCWSTR id) {
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id)) : std::wstring(id);
}

struct CResourceWalk {
    HMODULE module;
    ResourceMap found;
    std::wstring type, name;

    static BOOL CALLBACK OnLang(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR self) {
        auto* w = reinterpret_cast<CResourceWalk*>(self);
        const std::wstring key = w->type + L"/" + w->name + L"/" + std::to_wstring(lang);
        HRSRC res = FindResourceExW(w->module, w->typeId, w->nameId, lang);
        HGLOBAL data = res ? LoadResource(w->module, res) : nullptr;
        const char* bytes = data ? static_cast<const char*>(LockResource(data)) : nullptr;
        w->found[key] = bytes ? std::vector<char>(bytes, bytes + SizeofResource(w->module, res)) : std::vector<char>();
        return TRUE;
    }
    static BOOL CALLBACK OnName(HMODULE m, LPCWSTR type, LPWSTR name, LONG_PTR self) {
        auto* w = reinterpret_cast<CResourceWalk*>(self);
        w->name = IdText(name);
        w->nameId = name;
        return EnumResourceLanguagesW(m, type, name, OnLang, self) || TRUE;
    }
    static BOOL CALLBACK OnType(HMODULE m, LPWSTR type, LONG_PTR self) {
        auto* w = reinterpret_cast<CResourceWalk*>(self);
        w->type = IdText(type);
        w->typeId = type;
        return EnumResourceNamesW(m, type, OnName, self) || TRUE;
    }

    LPCWSTR typeId = nullptr;
    LPCWSTR nameId = nullptr;
};

ResourceMap ReadResources(const char* unixPath) {
    const std::wstring path = L"Z:" + std::wstring(unixPath, unixPath + std::strlen(unixPath));
    HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m) return {};
    CResourceWalk walk{m, {}, {}, {}};
    EnumResourceTypesW(m, CResourceWalk::OnType, reinterpret_cast<LONG_PTR>(&walk));
    FreeLibrary(m);
    return walk.found;
}

TEST(X86Module, IsA32BitDllForI386) {
    CPeImage32 image(ReadFileBytes(TARVEL_X86_MODULE));
    ASSERT_NE(nullptr, image.Nt()) << "not a PE image: " << TARVEL_X86_MODULE;
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, image.Nt()->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, image.Nt()->OptionalHeader.Magic);
    EXPECT_TRUE(image.Nt()->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(X86Module, ExportsExactlyTheFourEntryPoints) {
    CPeImage32 image(ReadFileBytes(TARVEL_X86_MODULE));
    ASSERT_NE(nullptr, image.Nt());
    const std::map<std::string, WORD> expected = {
        {"DllCanUnloadNow", 1}, {"DllGetClassObject", 2}, {"DllRegisterServer", 3}, {"DllUnregisterServer", 4}};
    EXPECT_EQ(expected, image.Exports());
}

// Same string tables (both languages), dialogs, bitmap and version as the x64 module; only the
// type library differs (its system kind), and it must be there.
TEST(X86Module, CarriesTheResourcesOfTheX64Module) {
    ResourceMap x86 = ReadResources(TARVEL_X86_MODULE);
    ResourceMap x64 = ReadResources(TARVEL_X64_MODULE);
    ASSERT_FALSE(x64.empty()) << TARVEL_X64_MODULE;
    ASSERT_FALSE(x86.empty()) << TARVEL_X86_MODULE;
    const std::wstring typelib = L"TYPELIB/#1/1033";
    ASSERT_TRUE(x86.count(typelib));
    EXPECT_FALSE(x86[typelib].empty());
    x86.erase(typelib);
    x64.erase(typelib);
    for (const wchar_t* kind : {L"#6/", L"#5/#1/", L"#5/#109/", L"#2/#1/", L"#16/#1/"}) {  // strings, dialogs, bitmap, version
        bool present = false;
        for (const auto& r : x86) present = present || r.first.rfind(kind, 0) == 0;
        EXPECT_TRUE(present) << "no resource " << testing::PrintToString(std::wstring(kind));
    }
    bool russian = false;
    for (const auto& r : x86) russian = russian || (r.first.rfind(L"#6/", 0) == 0 && r.first.size() > 5 &&
                                                    r.first.compare(r.first.size() - 5, 5, L"/1049") == 0);
    EXPECT_TRUE(russian) << "no Russian string table";
    EXPECT_EQ(x64, x86);
}

}  // namespace
