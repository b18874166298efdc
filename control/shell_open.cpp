#include "shell_open.h"

#include <windows.h>
#include <shellapi.h>

namespace {

void OpenWithShell(const std::string& address)
{
    ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

ShellOpener g_opener = OpenWithShell;

}  // namespace

void OpenAddressWithShell(const std::string& address)
{
    g_opener(address);
}

ShellOpener SetShellOpener(ShellOpener opener)
{
    ShellOpener previous = g_opener;
    g_opener = opener ? opener : OpenWithShell;
    return previous;
}
