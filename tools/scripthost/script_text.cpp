#include "script_text.h"

#include <cwctype>

#include "common/com_raii.h"
#include "common/win_raii.h"

ScriptLanguage LanguageOfFile(const std::wstring& path)
{
    const size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || path.find_first_of(L"\\/", dot) != std::wstring::npos)
        return ScriptLanguage::Unknown;
    std::wstring ext = path.substr(dot + 1);
    for (auto& c : ext) c = static_cast<wchar_t>(std::towlower(c));
    if (ext == L"vbs") return ScriptLanguage::VBScript;
    if (ext == L"js") return ScriptLanguage::JScript;
    return ScriptLanguage::Unknown;
}

const wchar_t* EngineProgId(ScriptLanguage language)
{
    return language == ScriptLanguage::VBScript ? L"VBScript" : L"JScript";
}

namespace {

std::wstring Decode(UINT codePage, DWORD flags, const char* bytes, size_t size, bool& ok)
{
    ok = true;
    if (size == 0) return std::wstring();
    const int n = MultiByteToWideChar(codePage, flags, bytes, int(size), nullptr, 0);
    if (n <= 0) {
        ok = false;
        return std::wstring();
    }
    std::wstring text(size_t(n), L'\0');
    MultiByteToWideChar(codePage, flags, bytes, int(size), &text[0], n);
    return text;
}

}  // namespace

std::wstring DecodeScriptBytes(const std::string& bytes)
{
    bool ok = false;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        const size_t chars = (bytes.size() - 2) / 2;
        std::wstring text(chars, L'\0');
        for (size_t i = 0; i < chars; ++i)
            text[i] = wchar_t(BYTE(bytes[2 + 2 * i]) | (BYTE(bytes[3 + 2 * i]) << 8));
        return text;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return Decode(CP_UTF8, 0, bytes.data() + 3, bytes.size() - 3, ok);
    std::wstring text = Decode(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), bytes.size(), ok);
    return ok ? text : Decode(CP_ACP, 0, bytes.data(), bytes.size(), ok);
}

bool ReadScriptFile(const std::wstring& path, std::wstring& text)
{
    CUniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return false;
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
    text = DecodeScriptBytes(bytes);
    return true;
}

bool VariantToText(const VARIANT& value, std::wstring& text)
{
    CVariant v;
    if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&value)))) return false;
    if (V_VT(&v) == VT_EMPTY) {
        text.clear();
        return true;
    }
    if (V_VT(&v) == VT_NULL) {
        text = L"null";
        return true;
    }
    // English forms whatever the user's locale, so that output compares the same everywhere.
    const LCID english = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    if (FAILED(VariantChangeTypeEx(&v, &v, english, VARIANT_ALPHABOOL, VT_BSTR))) return false;
    text.assign(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v)));
    return true;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}
