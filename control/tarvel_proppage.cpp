#include "tarvel_proppage.h"

#include <cstdint>
#include <cwchar>

#include "control/shell_open.h"
#include "engine/port_discovery.h"
#include "res/resource_ids.h"

const char kTarvelHelpAddress[] = "https://tarvel.example/docs/control-members.html";

namespace {

const wchar_t* const kParityEntries[] = {L"NO PARITY", L"ODD PARITY", L"EVEN PARITY", L"MARK PARITY",
                                         L"SPACE PARITY"};
const wchar_t* const kStopBitsEntries[] = {L"1", L"1.5", L"2"};
const wchar_t* const kBaudEntries[] = {L"75",    L"110",    L"150",    L"300",    L"600",    L"1200",
                                       L"1800",  L"2400",   L"4800",   L"7200",   L"9600",   L"14400",
                                       L"19200", L"38400",  L"56000",  L"57600",  L"115200", L"128000",
                                       L"230400", L"256000", L"460800", L"921600"};
const wchar_t* const kDataBitsEntries[] = {L"5", L"6", L"7", L"8"};
// The data-bit list starts at 5 bits.
constexpr long kFirstDataBits = 5;

template <size_t N>
void FillList(HWND combo, const wchar_t* const (&entries)[N])
{
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const wchar_t* entry : entries) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
}

long Selection(HWND combo)
{
    return static_cast<long>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

// Selects position `index`; a position outside the list leaves the box without a selection.
void Select(HWND combo, long index)
{
    const long count = static_cast<long>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    SendMessageW(combo, CB_SETCURSEL, index >= 0 && index < count ? WPARAM(index) : WPARAM(-1), 0);
}

std::wstring WindowText(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, &text[0], length + 1)));
    return text;
}

}  // namespace

CTarvelPropPage::CTarvelPropPage() : CPropertyPageBase(IDD_PROPPAGE, IDS_TARVEL_PPG_CAPTION) {}

void CTarvelPropPage::OnInitPage()
{
    portCombo_ = Item(IDC_PORT_COMBO);
    baudCombo_ = Item(IDC_BAUD_COMBO);
    parityCombo_ = Item(IDC_PARITY_COMBO);
    stopBitsCombo_ = Item(IDC_STOPBITS_COMBO);
    dataBitsCombo_ = Item(IDC_DATABITS_COMBO);
    FillPortList();
    FillFixedLists();
    // The base runs the first load once this returns.
}

// The ports present now; a port plugged in later appears when the page is shown again.
void CTarvelPropPage::FillPortList()
{
    SendMessageW(portCombo_, CB_RESETCONTENT, 0, 0);
    uint8_t presence[kPortSlots];
    uint32_t highest = 0;
    ScanPresentPorts(presence, highest);
    for (uint32_t n = 0; n <= highest && n < kPortSlots; ++n) {
        if (!presence[n]) continue;
        wchar_t name[16];
        swprintf(name, sizeof name / sizeof name[0], L"COM%u", n);
        const LRESULT index = SendMessageW(portCombo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        if (index >= 0) SendMessageW(portCombo_, CB_SETITEMDATA, WPARAM(index), LPARAM(n));
    }
}

void CTarvelPropPage::FillFixedLists()
{
    FillList(parityCombo_, kParityEntries);
    FillList(stopBitsCombo_, kStopBitsEntries);
    FillList(baudCombo_, kBaudEntries);
    FillList(dataBitsCombo_, kDataBitsEntries);
}

bool CTarvelPropPage::DoDataExchange(bool saving)
{
    if (saving) {
        SaveBaudRate();
        SaveSelection(stopBitsCombo_, IDC_STOPBITS_COMBO, L"StopBits", stopBits_);
        SaveSelection(parityCombo_, IDC_PARITY_COMBO, L"Parity", parity_);
        SaveConnected();
        SavePort();
        SaveDataBits();
    } else {
        LoadBaudRate();
        LoadSelection(stopBitsCombo_, L"StopBits", stopBits_, 0);
        LoadSelection(parityCombo_, L"Parity", parity_, 0);
        LoadConnected();
        LoadPort();
        LoadSelection(dataBitsCombo_, L"DataBits", dataBits_, kFirstDataBits);
    }
    ShowErrorText();
    // Refused writes are the control's business: it records them in ErrorDescription.
    return true;
}

// ---- load ---------------------------------------------------------------------------

// Selects the first entry that begins with the rate's digits (12 selects "1200"); a rate
// no entry begins with goes into the edit field as it is.
void CTarvelPropPage::LoadBaudRate()
{
    long rate = 0;
    if (!GetLongProperty(L"BaudRate", rate)) return;
    baudText_ = std::to_wstring(rate);
    const LRESULT index =
        SendMessageW(baudCombo_, CB_FINDSTRING, WPARAM(-1), reinterpret_cast<LPARAM>(baudText_.c_str()));
    if (index != CB_ERR) {
        SendMessageW(baudCombo_, CB_SETCURSEL, WPARAM(index), 0);
    } else {
        SendMessageW(baudCombo_, CB_SETCURSEL, WPARAM(-1), 0);
        SetWindowTextW(baudCombo_, baudText_.c_str());
    }
}

// Lists whose position is the property's value minus `offset`.
void CTarvelPropPage::LoadSelection(HWND combo, const wchar_t* property, long& field, long offset)
{
    if (!GetLongProperty(property, field)) return;
    Select(combo, field - offset);
}

void CTarvelPropPage::LoadConnected()
{
    bool connected = false;
    if (!GetBoolProperty(L"Connected", connected)) return;
    connected_ = connected ? 1 : 0;
    CheckDlgButton(Hwnd(), IDC_CONNECTED_CHECK, connected ? BST_CHECKED : BST_UNCHECKED);
}

// Matches the whole entry text, so port 1 never selects COM10.
void CTarvelPropPage::LoadPort()
{
    if (!GetLongProperty(L"Port", port_)) return;
    const std::wstring name = L"COM" + std::to_wstring(port_);
    const LRESULT index =
        SendMessageW(portCombo_, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(portCombo_, CB_SETCURSEL, index == CB_ERR ? WPARAM(-1) : WPARAM(index), 0);
}

// ---- save ---------------------------------------------------------------------------

// The control converts the text itself. A text it cannot convert is refused without an
// error code; the box then shows the rate the control kept, so the page never displays a
// value that was not applied.
void CTarvelPropPage::SaveBaudRate()
{
    if (!IsControlChanged(IDC_BAUD_COMBO)) return;
    baudText_ = WindowText(baudCombo_);
    if (FAILED(SetPropertyByName(L"BaudRate", CVariant(baudText_.c_str())))) LoadBaudRate();
}

void CTarvelPropPage::SaveSelection(HWND combo, int controlId, const wchar_t* property, long& field)
{
    if (!IsControlChanged(controlId)) return;
    const long index = Selection(combo);
    if (index < 0) return;
    field = index;
    SetPropertyByName(property, CVariant(field));
}

void CTarvelPropPage::SaveConnected()
{
    if (!IsControlChanged(IDC_CONNECTED_CHECK)) return;
    connected_ = IsDlgButtonChecked(Hwnd(), IDC_CONNECTED_CHECK) == BST_CHECKED ? 1 : 0;
    SetPropertyByName(L"Connected", CVariant(connected_ != 0));
}

// Without a selection (the control's port is not present) Port stays as it is.
void CTarvelPropPage::SavePort()
{
    const long index = Selection(portCombo_);
    if (index < 0) return;
    const long port = static_cast<long>(SendMessageW(portCombo_, CB_GETITEMDATA, WPARAM(index), 0));
    if (port == port_) return;
    port_ = port;
    SetPropertyByName(L"Port", CVariant(port_));
}

void CTarvelPropPage::SaveDataBits()
{
    const long index = Selection(dataBitsCombo_);
    if (index < 0) return;
    const long bits = index + kFirstDataBits;
    if (bits == dataBits_) return;
    dataBits_ = bits;
    SetPropertyByName(L"DataBits", CVariant(dataBits_));
}

// The error box is read-only: its notifications come from the page setting its text, so
// they must not reach the change tracking (which would report the page dirty to the frame
// in the middle of Apply).
INT_PTR CTarvelPropPage::DialogProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND && LOWORD(wParam) == IDC_ERROR_EDIT) return FALSE;
    return CPropertyPageBase::DialogProc(msg, wParam, lParam);
}

// ---- error text and help ------------------------------------------------------------

// Ends both directions, so an error a write on Apply caused shows at once.
void CTarvelPropPage::ShowErrorText()
{
    errorText_.clear();
    GetStringProperty(L"ErrorDescription", errorText_);
    HWND box = Item(IDC_ERROR_EDIT);
    if (errorText_.empty()) {
        SetWindowTextW(box, L"No Errors");
        ShowWindow(box, SW_HIDE);
    } else {
        SetWindowTextW(box, errorText_.c_str());
        ShowWindow(box, SW_SHOW);
    }
}

// The frame's help directory is not used: the documentation lives on the maker's site.
bool CTarvelPropPage::OnHelp(const wchar_t* helpDir)
{
    (void)helpDir;
    OpenAddressWithShell(kTarvelHelpAddress);
    return true;
}
