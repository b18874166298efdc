// The sample control's property page: the speed as text, a mode list bound to
// "Small" and a check box bound to "Enabled".
#pragma once
#include <string>

#include "fw_proppage.h"
#include "sample_ids.h"

class CSamplePropPage : public CPropertyPageBase {
public:
    CSamplePropPage() : CPropertyPageBase(IDD_SAMPLE_PAGE, IDS_SAMPLE_PAGE_TITLE) {}

    void OnInitPage() override;
    bool DoDataExchange(bool saving) override;
    bool OnHelp(const wchar_t* helpDir) override;
    HRESULT OnEditProperty(DISPID dispid) override;

    // What the tests look at.
    int loads = 0, saves = 0;
    std::wstring lastHelpDir;
    bool refuseSave = false;
    bool outOfMemory = false;  // every hook throws std::bad_alloc
    CModuleState* moduleDuringInit = nullptr;
};
