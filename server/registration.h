// Self-registration of the module (DllRegisterServer / DllUnregisterServer bodies).
#pragma once
#include <windows.h>
#include <olectl.h>

#include <functional>

#include "server/class_registration.h"

struct RegistrationHooks {
    // Runs every class factory's registry update; false when a registration failed.
    std::function<bool(bool registering)> updateClasses;
};

// Removes every earlier registration of this module's architecture: its type-library
// entries (versions 1.0 to 1.74), both classes, the legacy document class and any other
// library registered under our description. What the other architecture's module shares
// with us (the library key, the ProgIDs) stays while that module is registered. Ignores
// failures.
void RemoveRegistration(const RegistrationHooks& hooks);

// Removes each library key under root\path one of whose versions carries our description,
// apart from our own library's key.
void SweepStaleTypeLibs(HKEY root, const char* path);

// S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS (also when the safety categories cannot be
// registered).
HRESULT RegisterModule(HINSTANCE module, const RegistrationHooks& hooks);

// What registration writes besides the classes and the type library, below the classes
// root: the legacy document class converted to the control, the definitions of the two
// safety categories (left in place by unregistration) and the control's membership of them.
RegistryRows LegacyDocumentRows();
RegistryRows SafetyCategoryDefinitionRows();
RegistryRows ImplementedCategoryRows();
