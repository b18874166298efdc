// The about box: the version line and a button that opens the download page.
#pragma once
#include "framework/fw_wnd.h"

class CAboutBoxDialog : public CDialogBase {
public:
    CAboutBoxDialog();

protected:
    BOOL OnInitDialog() override;
};

// Runs the about box modally without a parent; "Visit site" opens the download page.
void ShowAboutBox();
