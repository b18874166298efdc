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

bool RegisterControlClass(HINSTANCE module, const ControlClassInfo& info);
// Removes the class key of this view; the ProgID only when the other view does not
// serve the class too.
void UnregisterControlClass(const CLSID& clsid, const char* progId);
bool RegisterPropertyPageClass(HINSTANCE module, const CLSID& clsid, UINT typeNameId);
void UnregisterPropertyPageClass(const CLSID& clsid);
