// Registry layout of an ActiveX control class and of a property-page class, written and
// removed under HKEY_CLASSES_ROOT. Knows nothing of this module's own classes.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct ControlClassInfo {
    CLSID clsid;
    const char* progId;
    UINT typeNameId;      // string resource: the user type name
    UINT toolboxBitmapId; // bitmap resource
    bool insertable;
    DWORD miscStatus;     // for the content aspect
    GUID libid;
    WORD libMajor;
    WORD libMinor;
};

// One entry of a registration, below the root it is written to: a key and, when hasValue,
// one REG_SZ value of it (name empty: the key's default value). Registration writes these
// rows; the installer package and the side-by-side manifest are generated from the same
// rows, with the package's own name for the server's path.
struct RegistryRow {
    std::string key;
    std::string name;
    std::wstring text;
    bool hasValue;
};
using RegistryRows = std::vector<RegistryRow>;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case digits.
std::string GuidToRegistryText(const GUID& guid);
// Full path of the module's own file; wide, because a folder name need not fit the
// system's ANSI code page. Empty when it cannot be read.
std::wstring ModulePath(HINSTANCE module);
// Text of a string resource of the module.
std::wstring LoadResourceText(HINSTANCE module, UINT id);

// Creates key root\path (and missing parents) and sets its default value when text is given.
bool WriteKey(HKEY root, const std::string& path, const char* text);
bool WriteKey(HKEY root, const std::string& path, const std::wstring& text);
bool WriteNamedValue(HKEY root, const std::string& path, const char* name, const char* text);

// Is HKEY_CLASSES_ROOT of this process a user's classes key? A per-user registrar points
// it at HKCU\Software\Classes; registration must then leave machine-wide keys alone.
bool ClassesRootIsPerUser();

// Does the registry view of the other architecture (the 32-bit view for a 64-bit module
// and the other way round) register an in-process server for this class? The two views
// share the classes root's ProgID keys, so a module must leave those to the other one.
// Always false where there is only one view (32-bit Windows).
bool OtherViewServesClass(const CLSID& clsid);

// Deletes parent\name with all of its subkeys; returns the registry result (0 on success).
LONG DeleteKeyTree(HKEY parent, const char* name);

// Writes the rows in order below root. stopAtFailure: false at the first row that fails;
// otherwise every row is tried and the result tells whether all succeeded.
bool WriteRows(HKEY root, const RegistryRows& rows, bool stopAtFailure = true);

// What registering a class writes for a server whose file is serverPath.
RegistryRows ControlClassRows(const ControlClassInfo& info, const std::wstring& serverPath,
                              const std::wstring& typeName);
RegistryRows PropertyPageClassRows(const CLSID& clsid, const std::wstring& serverPath, const std::wstring& typeName);

bool RegisterControlClass(HINSTANCE module, const ControlClassInfo& info);
// Removes the class key of this view; the ProgID only when the other view does not
// serve the class too.
void UnregisterControlClass(const CLSID& clsid, const char* progId);
bool RegisterPropertyPageClass(HINSTANCE module, const CLSID& clsid, UINT typeNameId);
void UnregisterPropertyPageClass(const CLSID& clsid);
