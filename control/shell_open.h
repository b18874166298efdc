// Opening a web address with the shell. Tests replace the opener to see the address
// without starting a browser.
#pragma once
#include <string>

using ShellOpener = void (*)(const std::string& address);

// Opens `address` with the shell's "open" verb; the shell's answer is not examined.
void OpenAddressWithShell(const std::string& address);
// Replaces the opener (null restores the shell); returns the previous one.
ShellOpener SetShellOpener(ShellOpener opener);
