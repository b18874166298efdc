#include "sample_page.h"

#include <new>

void CSamplePropPage::OnInitPage() {
    moduleDuringInit = &CurrentModuleState();
    HWND combo = Item(IDC_MODE_COMBO);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"slow"));
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"fast"));
}

bool CSamplePropPage::DoDataExchange(bool saving) {
    if (outOfMemory) throw std::bad_alloc();
    if (!saving) {
        ++loads;
        long speed = 0, small = 0;
        bool enabled = false;
        if (GetLongProperty(L"Speed", speed)) SetDlgItemInt(Hwnd(), IDC_SPEED_EDIT, UINT(speed), FALSE);
        if (GetLongProperty(L"Small", small)) SendMessageW(Item(IDC_MODE_COMBO), CB_SETCURSEL, WPARAM(small), 0);
        if (GetBoolProperty(L"Enabled", enabled))
            CheckDlgButton(Hwnd(), IDC_ENABLED_CHECK, enabled ? BST_CHECKED : BST_UNCHECKED);
        return true;
    }
    ++saves;
    if (refuseSave) return false;
    if (IsControlChanged(IDC_SPEED_EDIT)) {
        wchar_t text[32] = {};
        GetDlgItemTextW(Hwnd(), IDC_SPEED_EDIT, text, 32);
        SetPropertyByName(L"Speed", CVariant(text));  // the control converts the text
    }
    if (IsControlChanged(IDC_MODE_COMBO))
        SetPropertyByName(L"Small", CVariant(short(SendMessageW(Item(IDC_MODE_COMBO), CB_GETCURSEL, 0, 0))));
    if (IsControlChanged(IDC_ENABLED_CHECK))
        SetPropertyByName(L"Enabled", CVariant(IsDlgButtonChecked(Hwnd(), IDC_ENABLED_CHECK) == BST_CHECKED));
    return true;
}

bool CSamplePropPage::OnHelp(const wchar_t* helpDir) {
    if (outOfMemory) throw std::bad_alloc();
    lastHelpDir = helpDir ? helpDir : L"";
    return true;
}

HRESULT CSamplePropPage::OnEditProperty(DISPID dispid) {
    if (outOfMemory) throw std::bad_alloc();
    return CPropertyPageBase::OnEditProperty(dispid);
}
