#include "version_text.h"

#include <cstdio>
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
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block || !GetFileVersionInfoA(path, 0, size, block.get())) return;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueA(block.get(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof *fixed)
        return;
    // A module without a readable version resource keeps an empty text rather than failing.
    g_moduleVersionText = FormatVersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS, TARVEL_ARCH_LABEL);
}

const std::wstring& ModuleVersionText()
{
    return g_moduleVersionText;
}
