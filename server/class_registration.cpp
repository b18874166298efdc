#include "class_registration.h"

#include <cstdio>
#include <cstring>

#include "common/win_raii.h"

std::string GuidToRegistryText(const GUID& g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::wstring ModulePath(HINSTANCE module)
{
    // Long-path prefixes and deep folders can exceed MAX_PATH: grow until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

std::wstring LoadResourceText(HINSTANCE module, UINT id)
{
    wchar_t text[512];
    const int n = LoadStringW(module, id, text, sizeof text / sizeof text[0]);
    return n > 0 ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

bool WriteNamedValue(HKEY root, const std::string& path, const char* name, const char* text)
{
    CRegKey key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        key.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    if (!text) return true;
    return RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

bool WriteKey(HKEY root, const std::string& path, const char* text)
{
    return WriteNamedValue(root, path, nullptr, text);
}

bool WriteKey(HKEY root, const std::string& path, const std::wstring& text)
{
    CRegKey key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        key.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool OtherViewServesClass(const CLSID& clsid)
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    // A 32-bit process sees a 64-bit view only under WOW64; on 32-bit Windows the flag
    // would be ignored and this module's own view read instead.
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return false;
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    // Under per-user registration, through the user's classes key: a view flag given with
    // the predefined root makes some systems skip the override of the classes root.
    CRegKey userClasses, key;
    HKEY root = HKEY_CLASSES_ROOT;
    if (ClassesRootIsPerUser() &&
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_READ, userClasses.Put()) == ERROR_SUCCESS)
        root = userClasses.Get();
    const std::string path = "CLSID\\" + GuidToRegistryText(clsid) + "\\InprocServer32";
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | otherView, key.Put()) == ERROR_SUCCESS;
}

bool ClassesRootIsPerUser()
{
    // A new key written through the classes root goes to the machine's classes unless the
    // root was pointed elsewhere; where it appears tells which. The probe is volatile and
    // removed at once.
    constexpr const char kProbe[] = "Tarvel.ClassesRootProbe";
    CRegKey probe;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kProbe, 0, nullptr, REG_OPTION_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                        probe.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    probe.Reset();
    CRegKey user;
    const bool perUser = RegOpenKeyExA(HKEY_CURRENT_USER, (std::string("Software\\Classes\\") + kProbe).c_str(), 0,
                                       KEY_READ, user.Put()) == ERROR_SUCCESS;
    user.Reset();
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kProbe);
    return perUser;
}

LONG DeleteKeyTree(HKEY parent, const char* name)
{
    CRegKey key;
    LONG rc = RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, key.Put());
    if (rc != ERROR_SUCCESS) return rc;
    char sub[256];
    for (;;) {
        DWORD length = sizeof sub;
        if (RegEnumKeyExA(key.Get(), 0, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        rc = DeleteKeyTree(key.Get(), sub);
        if (rc != ERROR_SUCCESS) return rc;
    }
    key.Reset();
    return RegDeleteKeyA(parent, name);
}

bool WriteRows(HKEY root, const RegistryRows& rows, bool stopAtFailure)
{
    bool ok = true;
    for (const RegistryRow& row : rows) {
        CRegKey key;
        bool written = RegCreateKeyExA(root, row.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                       nullptr, key.Put(), nullptr) == ERROR_SUCCESS;
        if (written && row.hasValue) {
            const std::wstring name(row.name.begin(), row.name.end());
            written = RegSetValueExW(key.Get(), name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(row.text.c_str()),
                                     static_cast<DWORD>((row.text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        }
        ok = ok && written;
        if (!ok && stopAtFailure) return false;
    }
    return ok;
}

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

RegistryRow KeyRow(const std::string& key) { return RegistryRow{key, std::string(), std::wstring(), false}; }
RegistryRow ValueRow(const std::string& key, const std::wstring& text, const std::string& name = std::string())
{
    return RegistryRow{key, name, text, true};
}

}  // namespace

RegistryRows ControlClassRows(const ControlClassInfo& info, const std::wstring& serverPath,
                              const std::wstring& typeName)
{
    const std::string clsid = GuidToRegistryText(info.clsid);
    const std::string key = "CLSID\\" + clsid;
    const std::string progId = info.progId;
    RegistryRows rows = {
        ValueRow(key, typeName),
        ValueRow(key + "\\InprocServer32", serverPath),
        ValueRow(key + "\\InprocServer32", L"Apartment", "ThreadingModel"),
        ValueRow(key + "\\ProgID", Widen(progId)),
        KeyRow(key + "\\Control"),
    };
    if (info.insertable) rows.push_back(KeyRow(key + "\\Insertable"));
    rows.push_back(ValueRow(key + "\\ToolboxBitmap32", serverPath + L", " + std::to_wstring(info.toolboxBitmapId)));
    rows.push_back(ValueRow(key + "\\MiscStatus", L"0"));
    rows.push_back(ValueRow(key + "\\MiscStatus\\1", std::to_wstring(info.miscStatus)));
    rows.push_back(ValueRow(key + "\\TypeLib", Widen(GuidToRegistryText(info.libid))));
    rows.push_back(ValueRow(key + "\\Version", std::to_wstring(info.libMajor) + L"." + std::to_wstring(info.libMinor)));
    rows.push_back(ValueRow(progId, typeName));
    rows.push_back(ValueRow(progId + "\\CLSID", Widen(clsid)));
    if (info.insertable) rows.push_back(KeyRow(progId + "\\Insertable"));
    return rows;
}

RegistryRows PropertyPageClassRows(const CLSID& clsid, const std::wstring& serverPath, const std::wstring& typeName)
{
    const std::string key = "CLSID\\" + GuidToRegistryText(clsid);
    return {ValueRow(key, typeName), ValueRow(key + "\\InprocServer32", serverPath),
            ValueRow(key + "\\InprocServer32", L"Apartment", "ThreadingModel")};
}

bool RegisterControlClass(HINSTANCE module, const ControlClassInfo& info)
{
    const std::wstring path = ModulePath(module);
    if (path.empty()) return false;
    return WriteRows(HKEY_CLASSES_ROOT, ControlClassRows(info, path, LoadResourceText(module, info.typeNameId)));
}

void UnregisterControlClass(const CLSID& clsid, const char* progId)
{
    DeleteKeyTree(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToRegistryText(clsid)).c_str());
    if (!OtherViewServesClass(clsid)) DeleteKeyTree(HKEY_CLASSES_ROOT, progId);
}

bool RegisterPropertyPageClass(HINSTANCE module, const CLSID& clsid, UINT typeNameId)
{
    const std::wstring path = ModulePath(module);
    if (path.empty()) return false;
    return WriteRows(HKEY_CLASSES_ROOT, PropertyPageClassRows(clsid, path, LoadResourceText(module, typeNameId)));
}

void UnregisterPropertyPageClass(const CLSID& clsid)
{
    DeleteKeyTree(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToRegistryText(clsid)).c_str());
}
