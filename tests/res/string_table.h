// Reading the module's string tables language by language, from this test program's image
// (the resources are linked into it).
#pragma once
#include <windows.h>
#include <string>

inline const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
inline const LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

// Reads string `id` from the table of exactly one language: strings live in blocks of 16,
// block (id / 16 + 1), each entry a length-prefixed UTF-16 text.
inline bool LoadStringInLanguage(UINT id, LANGID lang, std::wstring& out) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC block = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_STRING), MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (!block) return false;
    HGLOBAL data = LoadResource(module, block);
    const auto* p = static_cast<const WCHAR*>(LockResource(data));
    if (!p) return false;
    const WCHAR* end = p + SizeofResource(module, block) / sizeof(WCHAR);
    for (UINT i = 0; i < id % 16; ++i) {
        if (p >= end) return false;
        p += 1 + *p;
    }
    if (p >= end || *p == 0 || p + 1 + *p > end) return false;
    out.assign(p + 1, *p);
    return true;
}
