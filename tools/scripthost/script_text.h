// Script files and values as text: which engine runs a file, how its bytes decode, how a
// script value prints. Kept apart from the engine plumbing so that each piece stays small.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

enum class ScriptLanguage { Unknown, VBScript, JScript };

// ".vbs" runs in VBScript, ".js" in JScript, case ignored; anything else is Unknown.
ScriptLanguage LanguageOfFile(const std::wstring& path);
// The ProgID of the engine's class ("VBScript", "JScript").
const wchar_t* EngineProgId(ScriptLanguage language);

// Decodes a script file's bytes: a UTF-16LE or UTF-8 byte-order mark wins; otherwise valid
// UTF-8 is taken as UTF-8 and anything else as the system's ANSI code page.
std::wstring DecodeScriptBytes(const std::string& bytes);
// Reads and decodes a whole file; false when it cannot be read.
bool ReadScriptFile(const std::wstring& path, std::wstring& text);

// A script value as Host.Echo prints it: strings as they are, numbers in the invariant
// (English) form, booleans True/False, Empty as nothing, Null as "null", by-reference values
// through their target. False when the value has no text form (arrays, objects without a
// default value).
bool VariantToText(const VARIANT& value, std::wstring& text);

// UTF-16 to UTF-8, for the console.
std::string ToUtf8(const std::wstring& text);
