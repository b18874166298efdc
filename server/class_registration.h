// Registry layout of an ActiveX control class and of a property-page class, written and
// removed under HKEY_CLASSES_ROOT. Knows nothing of this module's own classes.
#pragma once
#include <windows.h>

#include <string>

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

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case digits.
std::string GuidToRegistryText(const GUID& guid);
// Full path of the module's own file.
std::string ModulePath(HINSTANCE module);
// Text of a string resource of the module, as the system's ANSI code page holds it.
std::string LoadResourceText(HINSTANCE module, UINT id);

// Creates key root\path (and missing parents) and sets its default value when text is given.
bool WriteKey(HKEY root, const std::string& path, const char* text);
bool WriteNamedValue(HKEY root, const std::string& path, const char* name, const char* text);

// Deletes parent\name with all of its subkeys; returns the registry result (0 on success).
LONG DeleteKeyTree(HKEY parent, const char* name);

bool RegisterControlClass(HINSTANCE module, const ControlClassInfo& info);
void UnregisterControlClass(const CLSID& clsid, const char* progId);
bool RegisterPropertyPageClass(HINSTANCE module, const CLSID& clsid, UINT typeNameId);
void UnregisterPropertyPageClass(const CLSID& clsid);
