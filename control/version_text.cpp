#include "version_text.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

std::wstring g_moduleVersionText;

}  // namespace

std::wstring FormatVersionText(DWORD productVersionMS, DWORD productVersionLS, const char* label)
{
    wchar_t text[64];
    swprintf(text, sizeof text / sizeof text[0], L"%d.%d.%d (%hs)", static_cast<int>(HIWORD(productVersionMS)),
             static_cast<int>(LOWORD(productVersionMS)), static_cast<int>(HIWORD(productVersionLS)), label);
    return text;
}

void BuildModuleVersionText(HINSTANCE module)
{
    // The module's own resource, not its file by name: no path to read, so a folder
    // name outside the ANSI code page cannot get in the way.
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16 /* RT_VERSION */));
    if (!found) return;
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, found);
    if (!data || size == 0) return;
    // VerQueryValue may write into the block it reads: give it a copy.
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block) return;
    memcpy(block.get(), data, size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof *fixed)
        return;
    // A module without a readable version resource keeps an empty text rather than failing.
    g_moduleVersionText = FormatVersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS, TARVEL_ARCH_LABEL);
}

const std::wstring& ModuleVersionText()
{
    return g_moduleVersionText;
}
