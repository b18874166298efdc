// The property page as a frame drives it: activated in a parent window, lists filled from
// the port scan, values loaded from the edited controls, user changes written on Apply.
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/com_raii.h"
#include "control/shell_open.h"
#include "control/tarvel_ctrl.h"
#include "control/tarvel_proppage.h"
#include "framework/fw_module.h"
#include "res/resource_ids.h"

namespace {

class COleEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        FrameworkModuleInit(GetModuleHandleW(nullptr));  // dialog 109 and the strings are in this exe
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    }
    void TearDown() override
    {
        EXPECT_EQ(0, FrameworkModuleState().ObjectCount()) << "a page or control was not released";
        OleUninitialize();
        FrameworkModuleTerm();
    }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new COleEnvironment);

// The frame's side: records the status changes the page reports.
class CPageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite)) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives in the fixture
    STDMETHODIMP OnStatusChange(DWORD flags) override
    {
        statusChanges.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { *lcid = 0x0409; return S_OK; }
    STDMETHODIMP GetPageContainer(IUnknown** c) override { *c = nullptr; return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    ULONG refs = 1;
    std::vector<DWORD> statusChanges;
};

// An edited object that is not a Tarvel control: holds any value (also ones the control
// would refuse) and records every property write, in order.
class CRecordingObject final : public IDispatch {
public:
    CRecordingObject()
    {
        Set(L"Port", CVariant(1L));
        Set(L"BaudRate", CVariant(9600L));
        Set(L"DataBits", CVariant(8L));
        Set(L"Parity", CVariant(0L));
        Set(L"StopBits", CVariant(0L));
        Set(L"Connected", CVariant(false));
        Set(L"ErrorDescription", CVariant(L""));
    }
    void Set(const std::wstring& name, const CVariant& value) { values[name] = value; }
    long Long(const std::wstring& name)
    {
        CVariant v(values[name]);
        return SUCCEEDED(v.ChangeType(VT_I4)) ? v.lVal : -999;
    }
    std::vector<std::wstring> WrittenNames() const
    {
        std::vector<std::wstring> names;
        for (const auto& w : writes) names.push_back(w.first);
        return names;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives in the test
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        if (count != 1) return E_INVALIDARG;
        int id = 1;
        for (const auto& entry : values) {
            if (_wcsicmp(entry.first.c_str(), names[0]) == 0) {
                ids[0] = id;
                return S_OK;
            }
            ++id;
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        auto entry = values.begin();
        for (int i = 1; i < id && entry != values.end(); ++i) ++entry;
        if (id < 1 || entry == values.end()) return DISP_E_MEMBERNOTFOUND;
        if (flags & DISPATCH_PROPERTYPUT) {
            if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
            writes.emplace_back(entry->first, CVariant(params->rgvarg[0]));
            entry->second = CVariant(params->rgvarg[0]);
            return S_OK;
        }
        if (result) VariantCopy(result, &entry->second);
        return S_OK;
    }

    ULONG refs = 1;
    std::map<std::wstring, CVariant> values;
    std::vector<std::pair<std::wstring, CVariant>> writes;
};

std::string g_openedAddress;
void CaptureAddress(const std::string& address) { g_openedAddress = address; }

std::wstring Text(HWND hwnd)
{
    wchar_t buffer[256] = L"";
    GetWindowTextW(hwnd, buffer, 256);
    return buffer;
}

std::vector<std::wstring> Entries(HWND combo)
{
    std::vector<std::wstring> entries;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[64] = L"";
        SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(buffer));
        entries.push_back(buffer);
    }
    return entries;
}

std::wstring SelectedText(HWND combo)
{
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return L"<none>";
    wchar_t buffer[64] = L"";
    SendMessageW(combo, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

bool HasStyle(HWND hwnd, LONG style) { return (GetWindowLongW(hwnd, GWL_STYLE) & style) != 0; }

std::wstring ComName(int n) { return L"COM" + std::to_wstring(n); }

class PropPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
        parent = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 500, 300, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, parent);
        ctrl = new CTarvelCtrl;  // one reference, ours
        page = new CTarvelPropPage;
        ASSERT_EQ(S_OK, page->SetPageSite(&site));
    }
    void TearDown() override
    {
        if (page) {
            page->Deactivate();
            page->SetObjects(0, nullptr);
            page->SetPageSite(nullptr);
            page->Release();
        }
        if (ctrl) static_cast<IDispatch*>(ctrl)->Release();
        if (parent) DestroyWindow(parent);
        SetShellOpener(nullptr);
    }

    IDispatch* Ctrl() const { return static_cast<IDispatch*>(ctrl); }

    void Activate(std::vector<IUnknown*> objects)
    {
        ASSERT_EQ(S_OK, page->SetObjects(ULONG(objects.size()), objects.data()));
        RECT rc = {0, 0, 400, 200};
        ASSERT_EQ(S_OK, page->Activate(parent, &rc, FALSE));
        ASSERT_NE(nullptr, page->Hwnd());
    }
    void ActivateOnControl() { Activate({Ctrl()}); }

    HWND Combo(int id) const { return page->Item(id); }
    // What the dialog gets when the user picks an entry.
    void UserPicks(int id, const wchar_t* entry)
    {
        HWND combo = Combo(id);
        const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(entry));
        ASSERT_NE(CB_ERR, index) << "no entry " << std::string(entry, entry + wcslen(entry));
        SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
        SendMessageW(page->Hwnd(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
    }
    void UserTypesBaud(const wchar_t* text)
    {
        HWND combo = Combo(IDC_BAUD_COMBO);
        SendMessageW(combo, CB_SETCURSEL, WPARAM(-1), 0);
        SetWindowTextW(combo, text);
        SendMessageW(page->Hwnd(), WM_COMMAND, MAKEWPARAM(IDC_BAUD_COMBO, CBN_EDITCHANGE), LPARAM(combo));
    }
    void UserClicksConnected(bool checked)
    {
        HWND box = page->Item(IDC_CONNECTED_CHECK);
        SendMessageW(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
        SendMessageW(page->Hwnd(), WM_COMMAND, MAKEWPARAM(IDC_CONNECTED_CHECK, BN_CLICKED), LPARAM(box));
    }

    void Put(const wchar_t* name, const CVariant& value)
    {
        LPOLESTR n = const_cast<LPOLESTR>(name);
        DISPID id = DISPID_UNKNOWN;
        ASSERT_EQ(S_OK, Ctrl()->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id));
        VARIANT arg = value;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params = {&arg, &named, 1, 1};
        ASSERT_EQ(S_OK, Ctrl()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                                       nullptr, nullptr));
    }
    CVariant Get(const wchar_t* name)
    {
        LPOLESTR n = const_cast<LPOLESTR>(name);
        DISPID id = DISPID_UNKNOWN;
        CVariant value;
        EXPECT_EQ(S_OK, Ctrl()->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id));
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        EXPECT_EQ(S_OK, Ctrl()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.Put(),
                                       nullptr, nullptr));
        return value;
    }
    long GetLong(const wchar_t* name)
    {
        CVariant v = Get(name);
        return SUCCEEDED(v.ChangeType(VT_I4)) ? v.lVal : -999;
    }
    std::wstring GetText(const wchar_t* name)
    {
        CVariant v = Get(name);
        return SUCCEEDED(v.ChangeType(VT_BSTR)) && v.bstrVal ? v.bstrVal : L"<?>";
    }

    CNullModemPair pair;
    HWND parent = nullptr;
    CTarvelCtrl* ctrl = nullptr;
    CTarvelPropPage* page = nullptr;
    CPageSite site;
};

// ---- lists ------------------------------------------------------------------------------

TEST_F(PropPageTest, PortListHoldsThePresentPortsInAscendingOrderWithTheirNumbers)
{
    ActivateOnControl();
    HWND ports = Combo(IDC_PORT_COMBO);
    const std::vector<std::wstring> entries = Entries(ports);
    ASSERT_FALSE(entries.empty());
    long previous = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        const long number = long(SendMessageW(ports, CB_GETITEMDATA, WPARAM(i), 0));
        EXPECT_EQ(ComName(number), entries[i]);
        EXPECT_GT(number, previous) << "entries out of order at " << i;
        EXPECT_TRUE(IsComPortListed(number)) << number;
        previous = number;
    }
    for (int n : {pair.PortA(), pair.PortB()})
        EXPECT_NE(CB_ERR, SendMessageW(ports, CB_FINDSTRINGEXACT, WPARAM(-1),
                                       reinterpret_cast<LPARAM>(ComName(n).c_str())))
            << n;
    for (int n = kFirstMissingCom; n < kFirstPoolCom; ++n)
        EXPECT_EQ(CB_ERR, SendMessageW(ports, CB_FINDSTRINGEXACT, WPARAM(-1),
                                       reinterpret_cast<LPARAM>(ComName(n).c_str())))
            << n;
}

TEST_F(PropPageTest, FixedListsHoldTheirEntriesInOrder)
{
    ActivateOnControl();
    EXPECT_EQ((std::vector<std::wstring>{L"NO PARITY", L"ODD PARITY", L"EVEN PARITY", L"MARK PARITY",
                                         L"SPACE PARITY"}),
              Entries(Combo(IDC_PARITY_COMBO)));
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"1.5", L"2"}), Entries(Combo(IDC_STOPBITS_COMBO)));
    EXPECT_EQ((std::vector<std::wstring>{L"75", L"110", L"150", L"300", L"600", L"1200", L"1800", L"2400",
                                         L"4800", L"7200", L"9600", L"14400", L"19200", L"38400", L"56000",
                                         L"57600", L"115200", L"128000", L"230400", L"256000", L"460800",
                                         L"921600"}),
              Entries(Combo(IDC_BAUD_COMBO)));
    EXPECT_EQ((std::vector<std::wstring>{L"5", L"6", L"7", L"8"}), Entries(Combo(IDC_DATABITS_COMBO)));
}

// ---- load -----------------------------------------------------------------------------

TEST_F(PropPageTest, LoadShowsTheControlsSettings)
{
    Put(L"Port", CVariant(long(pair.PortA())));
    Put(L"Parity", CVariant(2L));
    Put(L"StopBits", CVariant(1L));
    Put(L"DataBits", CVariant(7L));
    ActivateOnControl();
    EXPECT_EQ(ComName(pair.PortA()), SelectedText(Combo(IDC_PORT_COMBO)));
    EXPECT_EQ(L"9600", SelectedText(Combo(IDC_BAUD_COMBO)));
    EXPECT_EQ(L"EVEN PARITY", SelectedText(Combo(IDC_PARITY_COMBO)));
    EXPECT_EQ(L"1.5", SelectedText(Combo(IDC_STOPBITS_COMBO)));
    EXPECT_EQ(L"7", SelectedText(Combo(IDC_DATABITS_COMBO)));
    EXPECT_EQ(BST_UNCHECKED, IsDlgButtonChecked(page->Hwnd(), IDC_CONNECTED_CHECK));
    EXPECT_EQ(S_FALSE, page->IsPageDirty()) << "loading is not a user change";
    EXPECT_TRUE(site.statusChanges.empty());
}

// Port 1 is never present in the test prefix while COM10.. are: a prefix search would
// pick COM10.
TEST_F(PropPageTest, PortNotPresentLeavesNoSelectionAndApplyKeepsIt)
{
    ASSERT_EQ(1, GetLong(L"Port"));
    ActivateOnControl();
    EXPECT_EQ(L"<none>", SelectedText(Combo(IDC_PORT_COMBO)));
    UserPicks(IDC_BAUD_COMBO, L"19200");
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(19200, GetLong(L"BaudRate"));
    EXPECT_EQ(1, GetLong(L"Port"));
}

TEST_F(PropPageTest, BaudRateSelectsTheFirstEntryBeginningWithItOrGoesIntoTheEditField)
{
    Put(L"BaudRate", CVariant(250000L));
    ActivateOnControl();
    HWND baud = Combo(IDC_BAUD_COMBO);
    EXPECT_EQ(L"<none>", SelectedText(baud));
    EXPECT_EQ(L"250000", Text(baud));

    Put(L"BaudRate", CVariant(12L));
    page->Deactivate();
    ActivateOnControl();
    baud = Combo(IDC_BAUD_COMBO);
    EXPECT_EQ(5, SendMessageW(baud, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(L"1200", Text(baud));
}

TEST_F(PropPageTest, ValuesOutsideTheListsLeaveNoSelection)
{
    CRecordingObject object;
    object.Set(L"DataBits", CVariant(9L));
    object.Set(L"Parity", CVariant(7L));
    object.Set(L"StopBits", CVariant(-1L));
    Activate({&object});
    EXPECT_EQ(L"<none>", SelectedText(Combo(IDC_DATABITS_COMBO)));
    EXPECT_EQ(L"<none>", SelectedText(Combo(IDC_PARITY_COMBO)));
    EXPECT_EQ(L"<none>", SelectedText(Combo(IDC_STOPBITS_COMBO)));
    // Nothing picked: Apply writes nothing at all.
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_TRUE(object.writes.empty());
    page->Deactivate();
    page->SetObjects(0, nullptr);
}

// ---- save ---------------------------------------------------------------------------------

TEST_F(PropPageTest, ApplyWritesOnlyWhatTheUserChanged)
{
    CRecordingObject object;
    object.Set(L"Port", CVariant(long(pair.PortA())));
    Activate({&object});

    UserClicksConnected(true);
    EXPECT_EQ(S_OK, page->IsPageDirty());
    ASSERT_FALSE(site.statusChanges.empty());
    EXPECT_TRUE(site.statusChanges.back() & PROPPAGESTATUS_DIRTY);
    ASSERT_EQ(S_OK, page->Apply());
    ASSERT_EQ(std::vector<std::wstring>{L"Connected"}, object.WrittenNames());
    EXPECT_EQ(VT_BOOL, object.writes[0].second.vt);
    EXPECT_EQ(VARIANT_TRUE, object.writes[0].second.boolVal);
    EXPECT_EQ(S_FALSE, page->IsPageDirty());

    // The next Apply starts from a clean page: nothing is written again.
    object.writes.clear();
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_TRUE(object.writes.empty());

    // Every kind of change at once, written in the page's order.
    UserPicks(IDC_DATABITS_COMBO, L"6");
    UserPicks(IDC_PORT_COMBO, ComName(pair.PortB()).c_str());
    UserPicks(IDC_PARITY_COMBO, L"MARK PARITY");
    UserPicks(IDC_STOPBITS_COMBO, L"2");
    UserPicks(IDC_BAUD_COMBO, L"57600");
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ((std::vector<std::wstring>{L"BaudRate", L"StopBits", L"Parity", L"Port", L"DataBits"}),
              object.WrittenNames());
    EXPECT_EQ(57600, object.Long(L"BaudRate"));
    EXPECT_EQ(2, object.Long(L"StopBits"));
    EXPECT_EQ(3, object.Long(L"Parity"));
    EXPECT_EQ(pair.PortB(), object.Long(L"Port"));
    EXPECT_EQ(6, object.Long(L"DataBits"));
    page->Deactivate();
    page->SetObjects(0, nullptr);
}

TEST_F(PropPageTest, PickingTheSameDataBitsOrPortWritesNothing)
{
    CRecordingObject object;
    object.Set(L"Port", CVariant(long(pair.PortA())));
    Activate({&object});
    UserPicks(IDC_DATABITS_COMBO, L"8");
    UserPicks(IDC_PORT_COMBO, ComName(pair.PortA()).c_str());
    EXPECT_EQ(S_OK, page->IsPageDirty());
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_TRUE(object.writes.empty());
    page->Deactivate();
    page->SetObjects(0, nullptr);
}

TEST_F(PropPageTest, ApplyReachesTheControlThroughItsSetters)
{
    ActivateOnControl();
    UserTypesBaud(L"250000");
    UserPicks(IDC_DATABITS_COMBO, L"7");
    UserPicks(IDC_PORT_COMBO, ComName(pair.PortB()).c_str());
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(250000, GetLong(L"BaudRate"));
    EXPECT_EQ(7, GetLong(L"DataBits"));
    EXPECT_EQ(pair.PortB(), GetLong(L"Port"));
    EXPECT_EQ(0, GetLong(L"Parity"));
    EXPECT_FALSE(HasStyle(page->Item(IDC_ERROR_EDIT), WS_VISIBLE));
}

// A text the control cannot convert is refused; the box goes back to the rate it kept.
TEST_F(PropPageTest, UnconvertibleBaudTextIsRefusedAndTheBoxShowsTheKeptRate)
{
    ActivateOnControl();
    UserTypesBaud(L"fast");
    UserClicksConnected(false);
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(9600, GetLong(L"BaudRate"));
    EXPECT_EQ(L"9600", Text(Combo(IDC_BAUD_COMBO)));
    EXPECT_EQ(L"", GetText(L"ErrorDescription"));
    EXPECT_FALSE(HasStyle(page->Item(IDC_ERROR_EDIT), WS_VISIBLE));
}

TEST_F(PropPageTest, SeveralObjectsAreLoadedFromTheFirstAndAllWritten)
{
    CRecordingObject first, second;
    first.Set(L"Parity", CVariant(1L));
    second.Set(L"Parity", CVariant(4L));
    second.Set(L"DataBits", CVariant(5L));
    Activate({&first, &second});
    EXPECT_EQ(L"ODD PARITY", SelectedText(Combo(IDC_PARITY_COMBO)));
    UserPicks(IDC_STOPBITS_COMBO, L"2");
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(std::vector<std::wstring>{L"StopBits"}, first.WrittenNames());
    EXPECT_EQ(std::vector<std::wstring>{L"StopBits"}, second.WrittenNames());
    EXPECT_EQ(2, second.Long(L"StopBits"));
    EXPECT_EQ(5, second.Long(L"DataBits")) << "values the user did not touch stay per object";
    page->Deactivate();
    page->SetObjects(0, nullptr);
}

// ---- error text -------------------------------------------------------------------------

TEST_F(PropPageTest, ErrorBoxShowsTheMessageOfARefusedSettingOnApply)
{
    Put(L"Port", CVariant(long(pair.PortA())));
    Put(L"Connected", CVariant(true));
    ASSERT_EQ(0, GetLong(L"Error"));
    ASSERT_TRUE(pair.RefuseBaud(CNullModemPair::A, 14400));
    ActivateOnControl();
    HWND box = page->Item(IDC_ERROR_EDIT);
    EXPECT_FALSE(HasStyle(box, WS_VISIBLE));
    EXPECT_EQ(L"No Errors", Text(box));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(page->Hwnd(), IDC_CONNECTED_CHECK));

    UserPicks(IDC_BAUD_COMBO, L"14400");
    const size_t before = site.statusChanges.size();
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(222, GetLong(L"Error"));
    const std::wstring message = GetText(L"ErrorDescription");
    EXPECT_FALSE(message.empty());
    EXPECT_TRUE(HasStyle(box, WS_VISIBLE));
    EXPECT_EQ(message, Text(box));
    EXPECT_EQ(before, site.statusChanges.size()) << "showing the message is no user change";
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    Put(L"Connected", CVariant(false));
}

// ---- help -----------------------------------------------------------------------------

TEST_F(PropPageTest, HelpOpensTheMakersPageWithTheShell)
{
    SetShellOpener(CaptureAddress);
    g_openedAddress.clear();
    EXPECT_EQ(S_OK, page->Help(L"C:\\help"));
    EXPECT_EQ(0u, g_openedAddress.rfind("https://tarvel.example/", 0)) << g_openedAddress;
    EXPECT_EQ(kTarvelHelpAddress, g_openedAddress);
}

}  // namespace
