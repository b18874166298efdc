#include "about_box.h"

#include <string>

#include "control/shell_open.h"
#include "control/version_text.h"
#include "framework/fw_module.h"
#include "res/resource_ids.h"

CAboutBoxDialog::CAboutBoxDialog() : CDialogBase(IDD_ABOUTBOX) {}

BOOL CAboutBoxDialog::OnInitDialog()
{
    CDialogBase::OnInitDialog();
    HWND line = Item(IDC_VERSION_TEXT);
    wchar_t text[256] = L"";
    GetWindowTextW(line, text, sizeof text / sizeof text[0]);
    const std::wstring full = std::wstring(text) + ModuleVersionText();
    SetWindowTextW(line, full.c_str());
    return TRUE;
}

void ShowAboutBox()
{
    CAboutBoxDialog dialog;
    if (dialog.DoModal(nullptr) != IDOK) return;
    char address[512];
    const int length = LoadStringA(CurrentModuleState().ResourceHandle(), IDS_DOWNLOAD_URL, address, sizeof address);
    if (length > 0) OpenAddressWithShell(std::string(address, static_cast<size_t>(length)));
}
