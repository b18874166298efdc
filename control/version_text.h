// The module's version text, "major.minor.build (label)", built once from the module's own
// version resource and read by the Version property and the about box.
#pragma once
#include <windows.h>

#include <string>

// Formats the product version words of a fixed version block; the fourth part is not shown.
std::wstring FormatVersionText(DWORD productVersionMS, DWORD productVersionLS, const char* label);

// Reads the version resource of `module` and keeps its text for the life of the process.
void BuildModuleVersionText(HINSTANCE module);
const std::wstring& ModuleVersionText();
