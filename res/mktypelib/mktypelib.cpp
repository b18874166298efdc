// mktypelib win32|win64 OUTPUT.tlb
// Writes the type library TarvelLib (typelib_layout.h) with ICreateTypeLib2, for the system
// kind named. Runs at build time under Wine. The IDL compiler cannot attach help strings to
// enumeration members, which the library needs, hence this generator. The build runs it as a
// 64-bit program for both libraries, since some build machines cannot run 32-bit programs;
// the 32-bit build of it writes the same bytes (a test compares them).
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "com_raii.h"
#include "typelib_layout.h"

namespace {

// A failed step: what was being done and the result code.
struct Failure {
    std::wstring step;
    HRESULT hr;
};

void Check(HRESULT hr, const std::wstring& step) {
    if (FAILED(hr)) throw Failure{step, hr};
}

// A type library keeps one spelling per name, compared without case: the first spelling
// written wins (so the property "Parity" reads "PARITY" after the enumeration). Doing the
// folding here makes the result independent of the writer's own name handling.
class CNameTable {
public:
    LPOLESTR Canonical(const wchar_t* name) {
        std::wstring key(name);
        for (auto& c : key) c = static_cast<wchar_t>(std::towlower(c));
        auto it = spellings_.emplace(key, std::wstring(name)).first;
        return const_cast<LPOLESTR>(it->second.c_str());
    }

private:
    std::map<std::wstring, std::wstring> spellings_;
};

using CFile = std::unique_ptr<FILE, int (*)(FILE*)>;

CFile OpenFile(const std::wstring& path, const wchar_t* mode) { return CFile(_wfopen(path.c_str(), mode), &std::fclose); }

std::vector<char> ReadFileBytes(const std::wstring& path) {
    CFile f = OpenFile(path, L"rb");
    if (!f) throw Failure{L"opening " + path, E_FAIL};
    std::vector<char> data;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0;) data.insert(data.end(), chunk, chunk + n);
    if (std::ferror(f.get())) throw Failure{L"reading " + path, E_FAIL};
    return data;
}

void WriteFileBytes(const std::wstring& path, const std::vector<char>& data) {
    CFile f = OpenFile(path, L"wb");
    if (!f) throw Failure{L"rewriting " + path, E_FAIL};
    const bool written = std::fwrite(data.data(), 1, data.size(), f.get()) == data.size();
    if (std::fclose(f.release()) != 0 || !written) throw Failure{L"rewriting " + path, E_FAIL};
}

// Sizes of the structures a reader rebuilds from the member records, as laid out by each
// system kind: FUNCDESC, ELEMDESC, VARDESC and VARIANT.
struct DescSizes {
    int16_t funcDesc, elemDesc, varDesc, variant;
};
constexpr DescSizes kDescSizes32{52, 16, 36, 16};
constexpr DescSizes kDescSizes64{88, 32, 64, 24};

// The member records of one type info: at memberBlock, the records' total length, then one record
// per function and one per variable, each starting with its own length in the low word. A
// function record keeps its description size at +14 and its parameter count at +20; a variable
// record its kind at +12 and its description size at +14. A size that matches neither system
// kind's plain form (pointer types, default values) is refused rather than guessed: the library
// has none today.
template <typename FieldAt>
void FixDescriptionSizes(int32_t memberBlock, int32_t counts, SYSKIND sys, FieldAt field) {
    const int functions = counts & 0xFFFF, variables = (counts >> 16) & 0xFFFF;
    if (functions + variables == 0) return;
    const DescSizes& want = sys == SYS_WIN64 ? kDescSizes64 : kDescSizes32;
    auto read16 = [&](size_t offset) { int16_t v; std::memcpy(&v, field(offset, 2), 2); return v; };
    auto setSize = [&](size_t record, int16_t size32, int16_t size64, int16_t wanted) {
        const int16_t stored = read16(record + 14);
        if (stored != size32 && stored != size64) throw Failure{L"unexpected member record size", E_UNEXPECTED};
        std::memcpy(field(record + 14, 2), &wanted, 2);
    };
    size_t record = static_cast<uint32_t>(memberBlock) + 4;
    for (int i = 0; i < functions + variables; ++i) {
        const size_t length = static_cast<uint16_t>(read16(record));
        if (length < 16) throw Failure{L"malformed member record", E_UNEXPECTED};
        if (i < functions) {
            const int16_t params = read16(record + 20);
            setSize(record, kDescSizes32.funcDesc + params * kDescSizes32.elemDesc,
                    kDescSizes64.funcDesc + params * kDescSizes64.elemDesc, want.funcDesc + params * want.elemDesc);
        } else {
            const int16_t extra32 = read16(record + 12) == VAR_CONST ? kDescSizes32.variant : 0;
            const int16_t extra64 = read16(record + 12) == VAR_CONST ? kDescSizes64.variant : 0;
            setSize(record, kDescSizes32.varDesc + extra32, kDescSizes64.varDesc + extra64,
                    want.varDesc + (sys == SYS_WIN64 ? extra64 : extra32));
        }
        record += length;
    }
}

// Rewrites three kinds of record of the saved file into the form the IDL compilers write, which both
// Windows and Wine read as intended:
//  - Wine's writer stores a dispinterface as if it embedded its IDispatch base: the base in
//    the "datatype1" slot and a vtable of 7 + n pointers. Wine's reader then lists
//    QueryInterface..Invoke as members of the dispinterface and counts 7 + n functions. A plain
//    dispinterface has no embedded interface (datatype1 = -1) and a vtable size of n pointers.
//  - The 64-bit writer gives an enumeration the size of a pointer; an enumeration is 4 bytes.
//  - Each function and variable record carries the size of the FUNCDESC or VARDESC (with its
//    ELEMDESCs or VARIANT) that a reader rebuilds from it. The writer takes the sizes of its own
//    process, so a 64-bit writer gives a 32-bit library 64-bit sizes: they are set to those of
//    the library's system kind (see FixDescriptionSizes).
// Layout of the MSFT format: a 0x54-byte header (+4 when a help-string DLL is named), one
// DWORD per type info, then the segment directory whose first entry locates the table of
// 100-byte type-info records (kind at +0, member records at +4, function count in the low word
// and variable count in the high word at +24, instance size at +80, vtable size at +78,
// datatype1 at +84).
void StoreInIdlCompilerForm(const std::wstring& path, SYSKIND sys) {
    std::vector<char> data = ReadFileBytes(path);
    auto field = [&](size_t offset, size_t size) -> char* {
        if (offset + size > data.size()) throw Failure{L"malformed type library " + path, E_UNEXPECTED};
        return data.data() + offset;
    };
    auto readInt = [&](size_t offset) { int32_t v; std::memcpy(&v, field(offset, 4), 4); return v; };

    if (readInt(0) != 0x5446534D) throw Failure{L"not an MSFT type library: " + path, E_UNEXPECTED};  // "MSFT"
    const int32_t varflags = readInt(0x14), typeInfoCount = readInt(0x20);
    if (typeInfoCount < 0) throw Failure{L"malformed type library " + path, E_UNEXPECTED};
    const size_t segmentDirectory = 0x54 + ((varflags & 0x100) ? 4 : 0) + 4 * size_t(typeInfoCount);
    const size_t typeInfoTable = static_cast<uint32_t>(readInt(segmentDirectory));
    const int16_t pointerSize = sys == SYS_WIN64 ? 8 : 4;
    for (int32_t i = 0; i < typeInfoCount; ++i) {
        const size_t record = typeInfoTable + 100 * size_t(i);
        const int32_t kind = readInt(record) & 0xF;
        if (kind == TKIND_ENUM) {
            const int32_t enumSize = 4;
            std::memcpy(field(record + 80, 4), &enumSize, 4);
        }
        FixDescriptionSizes(readInt(record + 4), readInt(record + 24), sys, field);
        if (kind != TKIND_DISPATCH) continue;
        const int16_t functions = static_cast<int16_t>(readInt(record + 24) & 0xFFFF);
        const int16_t vtableSize = static_cast<int16_t>(functions * pointerSize);
        const int32_t noEmbeddedInterface = -1;
        std::memcpy(field(record + 78, 2), &vtableSize, 2);
        std::memcpy(field(record + 84, 4), &noEmbeddedInterface, 4);
    }
    WriteFileBytes(path, data);
}

struct CreatedInfo {
    const tlb::TypeInfoDef* def;
    CComRef<ICreateTypeInfo2> create;
    CComRef<ITypeInfo> info;
};

class CTypeLibWriter {
public:
    CTypeLibWriter(SYSKIND sys, const wchar_t* path) : sys_(sys), path_(path) {}

    void Write() {
        CreateLibrary();
        LoadDispatchBase();
        // All type infos first, so that members can refer to any of them.
        for (const auto& def : tlb::TypeInfos()) CreateInfo(def);
        for (auto& ci : infos_) FillInfo(ci);
        for (auto& ci : infos_) Check(ci.create->LayOut(), L"LayOut " + std::wstring(ci.def->name));
        Check(lib_->SaveAllChanges(), L"SaveAllChanges");
        lib_.Reset();
        StoreInIdlCompilerForm(path_, sys_);
    }

private:
    void CreateLibrary() {
        const auto& d = tlb::kLibrary;
        Check(CreateTypeLib2(sys_, path_.c_str(), lib_.Put()), L"CreateTypeLib2 " + path_);
        Check(lib_->SetName(names_.Canonical(d.name)), L"SetName");
        Check(lib_->SetGuid(d.guid), L"SetGuid");
        Check(lib_->SetVersion(d.major, d.minor), L"SetVersion");
        Check(lib_->SetLcid(d.lcid), L"SetLcid");
        Check(lib_->SetDocString(const_cast<LPOLESTR>(d.help)), L"SetDocString");
        Check(lib_->SetLibFlags(0), L"SetLibFlags");
    }

    // Dispinterfaces derive from IDispatch of the standard OLE library, as an
    // importlib("stdole2.tlb") would make them.
    void LoadDispatchBase() {
        CComRef<ITypeLib> stdole;
        Check(LoadTypeLib(L"stdole2.tlb", stdole.Put()), L"LoadTypeLib stdole2.tlb");
        Check(stdole->GetTypeInfoOfGuid(IID_IDispatch, dispatchBase_.Put()), L"IDispatch in stdole2.tlb");
    }

    void CreateInfo(const tlb::TypeInfoDef& def) {
        CreatedInfo ci{&def, {}, {}};
        CComRef<ICreateTypeInfo> create;
        const std::wstring what = L"type info " + std::wstring(def.name);
        Check(lib_->CreateTypeInfo(names_.Canonical(def.name), def.kind, create.Put()), L"Create" + what);
        Check(create.QueryTo(IID_ICreateTypeInfo2, ci.create), L"ICreateTypeInfo2 of " + what);
        Check(create.QueryTo(IID_ITypeInfo, ci.info), L"ITypeInfo of " + what);
        if (def.guid != GUID_NULL) Check(ci.create->SetGuid(def.guid), L"SetGuid of " + what);
        if (def.flags) Check(ci.create->SetTypeFlags(def.flags), L"SetTypeFlags of " + what);
        if (def.help) Check(ci.create->SetDocString(const_cast<LPOLESTR>(def.help)), L"SetDocString of " + what);
        infos_.push_back(std::move(ci));
    }

    void FillInfo(CreatedInfo& ci) {
        switch (ci.def->kind) {
        case TKIND_ENUM: FillEnum(ci); break;
        case TKIND_DISPATCH: FillDispatch(ci); break;
        case TKIND_COCLASS: FillCoclass(ci); break;
        default: throw Failure{L"unsupported type kind of " + std::wstring(ci.def->name), E_INVALIDARG};
        }
    }

    void FillEnum(CreatedInfo& ci) {
        Check(ci.create->SetAlignment(4), L"SetAlignment");
        UINT index = 0;
        for (const auto& v : ci.def->values) {
            const std::wstring what = std::wstring(ci.def->name) + L"." + v.name;
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_I4;
            value.lVal = v.value;
            VARDESC vd{};
            vd.memid = 0x40000000 + static_cast<MEMBERID>(index);  // the IDL compilers' numbering
            vd.lpvarValue = &value;
            vd.elemdescVar.tdesc.vt = VT_I4;
            vd.varkind = VAR_CONST;
            Check(ci.create->AddVarDesc(index, &vd), L"AddVarDesc " + what);
            Check(ci.create->SetVarName(index, names_.Canonical(v.name)), L"SetVarName " + what);
            Check(ci.create->SetVarDocString(index, const_cast<LPOLESTR>(v.help)), L"SetVarDocString " + what);
            ++index;
        }
    }

    void FillDispatch(CreatedInfo& ci) {
        const std::wstring name(ci.def->name);
        HREFTYPE base = 0;
        Check(ci.create->AddRefTypeInfo(dispatchBase_.Get(), &base), L"IDispatch reference of " + name);
        Check(ci.create->AddImplType(0, base), L"AddImplType of " + name);
        UINT varIndex = 0, funcIndex = 0;
        for (const auto& m : ci.def->members) {
            if (m.isMethod)
                AddMethod(ci, funcIndex++, m);
            else
                AddProperty(ci, varIndex++, m);
        }
    }

    void AddProperty(CreatedInfo& ci, UINT index, const tlb::DispMember& m) {
        const std::wstring what = std::wstring(ci.def->name) + L"." + m.name;
        VARDESC vd{};
        vd.memid = m.id;
        vd.elemdescVar.tdesc = TypeDesc(ci, m.type);
        vd.varkind = VAR_DISPATCH;
        Check(ci.create->AddVarDesc(index, &vd), L"AddVarDesc " + what);
        Check(ci.create->SetVarName(index, names_.Canonical(m.name)), L"SetVarName " + what);
    }

    void AddMethod(CreatedInfo& ci, UINT index, const tlb::DispMember& m) {
        const std::wstring what = std::wstring(ci.def->name) + L"." + m.name;
        std::vector<ELEMDESC> params(m.params.size());
        std::vector<LPOLESTR> names{names_.Canonical(m.name)};
        for (size_t i = 0; i < m.params.size(); ++i) {
            params[i].tdesc = TypeDesc(ci, m.params[i].type);
            params[i].paramdesc.wParamFlags = PARAMFLAG_FIN;
            names.push_back(names_.Canonical(m.params[i].name));
        }
        FUNCDESC fd{};
        fd.memid = m.id;
        fd.lprgelemdescParam = params.empty() ? nullptr : params.data();
        fd.funckind = FUNC_DISPATCH;
        fd.invkind = INVOKE_FUNC;
        fd.callconv = CC_STDCALL;
        fd.cParams = static_cast<SHORT>(params.size());
        fd.elemdescFunc.tdesc = TypeDesc(ci, m.type);
        Check(ci.create->AddFuncDesc(index, &fd), L"AddFuncDesc " + what);
        Check(ci.create->SetFuncAndParamNames(index, names.data(), static_cast<UINT>(names.size())),
              L"SetFuncAndParamNames " + what);
    }

    void FillCoclass(CreatedInfo& ci) {
        UINT index = 0;
        for (const auto& impl : ci.def->impls) {
            const std::wstring what = std::wstring(ci.def->name) + L" implements " + impl.name;
            HREFTYPE ref = 0;
            Check(ci.create->AddRefTypeInfo(Find(impl.name).info.Get(), &ref), L"AddRefTypeInfo " + what);
            Check(ci.create->AddImplType(index, ref), L"AddImplType " + what);
            Check(ci.create->SetImplTypeFlags(index, impl.flags), L"SetImplTypeFlags " + what);
            ++index;
        }
    }

    // A base type as is; an enumeration as a reference to its type info from this one.
    TYPEDESC TypeDesc(CreatedInfo& from, const tlb::TypeRef& t) {
        TYPEDESC td{};
        td.vt = t.vt;
        if (t.enumName) {
            HREFTYPE ref = 0;
            Check(from.create->AddRefTypeInfo(Find(t.enumName).info.Get(), &ref),
                  L"reference to " + std::wstring(t.enumName) + L" from " + from.def->name);
            td.hreftype = ref;
        }
        return td;
    }

    CreatedInfo& Find(const wchar_t* name) {
        for (auto& ci : infos_)
            if (std::wstring(ci.def->name) == name) return ci;
        throw Failure{L"no type info named " + std::wstring(name), TYPE_E_ELEMENTNOTFOUND};
    }

    const SYSKIND sys_;
    std::wstring path_;
    CNameTable names_;
    CComRef<ICreateTypeLib2> lib_;
    CComRef<ITypeInfo> dispatchBase_;
    std::vector<CreatedInfo> infos_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool win32 = argc == 3 && std::wcscmp(argv[1], L"win32") == 0;
    const bool win64 = argc == 3 && std::wcscmp(argv[1], L"win64") == 0;
    if (!win32 && !win64) {
        std::fwprintf(stderr, L"usage: mktypelib win32|win64 OUTPUT.tlb\n");
        return 2;
    }
    const wchar_t* output = argv[2];
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    try {
        CTypeLibWriter(win64 ? SYS_WIN64 : SYS_WIN32, output).Write();
    } catch (const Failure& f) {
        std::fwprintf(stderr, L"mktypelib: %ls failed: 0x%08lX\n", f.step.c_str(), static_cast<unsigned long>(f.hr));
        DeleteFileW(output);
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
