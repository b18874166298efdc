// The version resource of the module, read from this test program's image: the fixed part
// and the string keys through the version API, the key order by walking the raw block.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> VersionBlock() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data())) block.clear();
    return block;
}

struct ExpectedValue {
    const wchar_t* key;
    const wchar_t* value;
};

// In the order the string block must list them.
const ExpectedValue kStrings[] = {
    {L"Comments", L""},
    {L"CompanyName", L""},
    {L"FileDescription", L"Tarvel ActiveX Control Module"},
    {L"FileVersion", L"1.3"},
    {L"InternalName", L"Tarvel"},
    {L"LegalCopyright", L"Copyright (C) Tarvel developers"},
    {L"LegalTrademarks", L""},
    {L"OLESelfRegister", L""},
    {L"OriginalFilename", L"Tarvel.OCX"},
    {L"PrivateBuild", L""},
    {L"ProductName", L"Tarvel Serial Port ActiveX Control Module"},
    {L"ProductVersion", L"1, 3, 0, 0"},
    {L"SpecialBuild", L""},
};

TEST(VersionResource, FixedPart) {
    auto block = VersionBlock();
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), len);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(0x00010003u, fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010003u, fixed->dwProductVersionMS);
    EXPECT_EQ(0u, fixed->dwProductVersionLS);
    EXPECT_EQ(0x3Fu, fixed->dwFileFlagsMask);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ(0x4u, fixed->dwFileOS);
    EXPECT_EQ(2u, fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileSubtype);
}

TEST(VersionResource, TranslationIsEnglishUnicode) {
    auto block = VersionBlock();
    ASSERT_FALSE(block.empty());
    WORD* translation = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &len));
    ASSERT_EQ(4u, len);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(0x04B0, translation[1]);
}

TEST(VersionResource, StringValues) {
    auto block = VersionBlock();
    ASSERT_FALSE(block.empty());
    for (const auto& s : kStrings) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(s.key)));
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + s.key;
        wchar_t* value = nullptr;
        UINT len = 0;
        // Empty values too must be present: installers look for "OLESelfRegister" by name.
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &len));
        EXPECT_EQ(s.value, std::wstring(value ? value : L""));
    }
}

// A version block node: WORD length, WORD value length, WORD type, key (UTF-16, zero
// terminated), padding to 32 bits, value, padding, children. Lengths in bytes.
struct Node {
    const BYTE* base;
    WORD length;
    std::wstring key;
    const BYTE* children;
};

size_t Align4(size_t n) { return (n + 3) & ~size_t(3); }

Node ReadNode(const BYTE* p) {
    Node n;
    n.base = p;
    n.length = *reinterpret_cast<const WORD*>(p);
    const WORD valueLength = *reinterpret_cast<const WORD*>(p + 2);
    const WORD type = *reinterpret_cast<const WORD*>(p + 4);
    n.key = reinterpret_cast<const wchar_t*>(p + 6);
    const size_t valueOffset = Align4(6 + (n.key.size() + 1) * sizeof(wchar_t));
    const size_t valueBytes = type == 1 ? valueLength * sizeof(wchar_t) : valueLength;
    n.children = p + Align4(valueOffset + valueBytes);
    return n;
}

std::vector<Node> Children(const Node& parent) {
    std::vector<Node> out;
    const BYTE* end = parent.base + parent.length;
    for (const BYTE* p = parent.children; p + 6 < end;) {
        Node child = ReadNode(p);
        if (child.length == 0) break;
        out.push_back(child);
        p += Align4(child.length);
    }
    return out;
}

TEST(VersionResource, StringKeysInOrder) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_VERSION), MAKEINTRESOURCEW(1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, res);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    ASSERT_NE(nullptr, data);
    const Node root = ReadNode(data);
    EXPECT_EQ(L"VS_VERSION_INFO", root.key);
    std::vector<std::wstring> topKeys, tableKeys, keys;
    for (const auto& child : Children(root)) {
        topKeys.push_back(child.key);
        if (child.key != L"StringFileInfo") continue;
        for (const auto& table : Children(child)) {
            tableKeys.push_back(table.key);
            for (const auto& value : Children(table)) keys.push_back(value.key);
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"StringFileInfo", L"VarFileInfo"}), topKeys);
    EXPECT_EQ(std::vector<std::wstring>{L"040904b0"}, tableKeys);
    std::vector<std::wstring> want;
    for (const auto& s : kStrings) want.push_back(s.key);
    EXPECT_EQ(want, keys);
}

}  // namespace
