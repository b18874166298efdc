// The control's property page: port, line settings and the Connected switch on dialog 109.
// It reaches the edited controls only through their dispatch interface, by property name,
// so every write goes through the control's own setters with their range checks.
//
// Several edited controls: values are read from the first one; a save writes to every one
// (the base's SetPropertyByName), and Port/DataBits are compared with the first control's
// values, so controls that differ from it are written only when the user picks a new value.
#pragma once
#include <windows.h>

#include <string>

#include "framework/fw_proppage.h"

// Address of the maker's page about the control's properties and methods.
extern const char kTarvelHelpAddress[];

class CTarvelPropPage : public CPropertyPageBase {
public:
    CTarvelPropPage();

protected:
    void OnInitPage() override;
    bool DoDataExchange(bool saving) override;
    bool OnHelp(const wchar_t* helpDir) override;
    INT_PTR DialogProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void FillPortList();
    void FillFixedLists();

    void LoadBaudRate();
    void LoadSelection(HWND combo, const wchar_t* property, long& field, long offset);
    void LoadConnected();
    void LoadPort();

    void SaveBaudRate();
    void SaveSelection(HWND combo, int controlId, const wchar_t* property, long& field);
    void SaveConnected();
    void SavePort();
    void SaveDataBits();

    void ShowErrorText();

    // Values of the last load or apply.
    long port_ = 0;
    std::wstring baudText_;
    long dataBits_ = 0;
    long parity_ = 0;
    long stopBits_ = 0;
    long connected_ = 0;
    std::wstring errorText_;

    // The combo boxes, taken when the dialog is created.
    HWND portCombo_ = nullptr;
    HWND baudCombo_ = nullptr;
    HWND parityCombo_ = nullptr;
    HWND stopBitsCombo_ = nullptr;
    HWND dataBitsCombo_ = nullptr;
};
