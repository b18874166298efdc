// The property-page and dialog bases, with the sample page editing sample controls.
#include "fw_test_env.h"
#include "sample_page.h"

namespace {

class CPageSite final : public IPropertyPageSite, public CTestRefCounted<CPageSite> {
public:
    TEST_IUNKNOWN_REFS
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite)) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        statusChanges.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { *lcid = 0x0409; return S_OK; }
    STDMETHODIMP GetPageContainer(IUnknown** c) override { *c = nullptr; return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
    std::vector<DWORD> statusChanges;
};

class PropPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        page = new CSamplePropPage;
        pageRef = CComRef<IPropertyPage2>::Adopt(page);
        site = new CPageSite;
        siteRef = CComRef<IPropertyPageSite>::Adopt(site);
        ASSERT_EQ(S_OK, page->SetPageSite(site));
    }
    void TearDown() override {
        page->Deactivate();
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
    }
    void ActivateOn(std::vector<IUnknown*> objects) {
        ASSERT_EQ(S_OK, page->SetObjects(ULONG(objects.size()), objects.data()));
        RECT rc = {0, 0, 300, 120};
        ASSERT_EQ(S_OK, page->Activate(parent.Get(), &rc, FALSE));
        ASSERT_NE(nullptr, page->Hwnd());
    }
    // What a user's edit does: the control changes and notifies the dialog.
    void UserTypes(const wchar_t* text) { SetDlgItemTextW(page->Hwnd(), IDC_SPEED_EDIT, text); }
    void UserPicks(int index) {
        HWND combo = page->Item(IDC_MODE_COMBO);
        SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
        SendMessageW(page->Hwnd(), WM_COMMAND, MAKEWPARAM(IDC_MODE_COMBO, CBN_SELCHANGE), LPARAM(combo));
    }
    void UserClicksCheck() { SendMessageW(page->Item(IDC_ENABLED_CHECK), BM_CLICK, 0, 0); }

    CTestParentWindow parent;
    CSamplePropPage* page = nullptr;
    CComRef<IPropertyPage2> pageRef;
    CPageSite* site = nullptr;
    CComRef<IPropertyPageSite> siteRef;
};

std::wstring EditText(HWND dlg, int id) {
    wchar_t buf[64] = {};
    GetDlgItemTextW(dlg, id, buf, 64);
    return buf;
}

}  // namespace

TEST_F(PropPageTest, PageInfoCarriesTheTitleAndTheDialogSize) {
    PROPPAGEINFO info = {};
    ASSERT_EQ(S_OK, page->GetPageInfo(&info));
    EXPECT_STREQ(L"General", info.pszTitle);
    // 200 x 80 dialog units: wider than tall, and larger than the units themselves.
    EXPECT_GT(info.size.cx, 200);
    EXPECT_GT(info.size.cy, 80);
    EXPECT_GT(info.size.cx, info.size.cy);
    CoTaskMemFree(info.pszTitle);
}

TEST_F(PropPageTest, ActivationLoadsTheControlsWithoutMarkingAnythingChanged) {
    CSampleHolder ctrl;
    ctrl.ctrl->SetSpeed(4800);
    ctrl.ctrl->SetSmall(1);
    ctrl.ctrl->SetEnabled(true);
    ActivateOn({ctrl.unknown.Get()});
    EXPECT_EQ(1, page->loads);
    EXPECT_EQ(&page->Module(), page->moduleDuringInit);
    EXPECT_EQ(parent.Get(), GetParent(page->Hwnd()));
    EXPECT_EQ(L"4800", EditText(page->Hwnd(), IDC_SPEED_EDIT));
    EXPECT_EQ(1, SendMessageW(page->Item(IDC_MODE_COMBO), CB_GETCURSEL, 0, 0));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(page->Hwnd(), IDC_ENABLED_CHECK));
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_FALSE(page->IsControlChanged(IDC_SPEED_EDIT));
    EXPECT_TRUE(site->statusChanges.empty());
    EXPECT_EQ(E_UNEXPECTED, page->Activate(parent.Get(), nullptr, FALSE)) << "already active";
}

TEST_F(PropPageTest, UserChangesAreTrackedPerControlAndApplyWritesOnlyThose) {
    CSampleHolder ctrl;
    ActivateOn({ctrl.unknown.Get()});
    // Changed behind the page's back: Apply must not overwrite it.
    ctrl.ctrl->SetEnabled(true);

    UserTypes(L"19200");
    EXPECT_TRUE(page->IsControlChanged(IDC_SPEED_EDIT));
    EXPECT_FALSE(page->IsControlChanged(IDC_ENABLED_CHECK));
    EXPECT_EQ(S_OK, page->IsPageDirty());
    ASSERT_FALSE(site->statusChanges.empty());
    EXPECT_TRUE(site->statusChanges.back() & PROPPAGESTATUS_DIRTY);

    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(19200, ctrl.ctrl->GetSpeed()) << "text converted by the control";
    EXPECT_TRUE(ctrl.ctrl->GetEnabled());
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_FALSE(page->IsControlChanged(IDC_SPEED_EDIT));

    UserClicksCheck();
    UserPicks(1);
    EXPECT_TRUE(page->IsControlChanged(IDC_ENABLED_CHECK));
    EXPECT_TRUE(page->IsControlChanged(IDC_MODE_COMBO));
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_TRUE(ctrl.ctrl->GetEnabled()) << "the box showed false; one click made it true";
    EXPECT_EQ(1, ctrl.ctrl->GetSmall());
    EXPECT_EQ(19200, ctrl.ctrl->GetSpeed());
}

TEST_F(PropPageTest, ARefusedSaveKeepsThePageDirty) {
    CSampleHolder ctrl;
    ActivateOn({ctrl.unknown.Get()});
    UserTypes(L"600");
    page->refuseSave = true;
    EXPECT_EQ(E_FAIL, page->Apply());
    EXPECT_EQ(S_OK, page->IsPageDirty());
    EXPECT_TRUE(page->IsControlChanged(IDC_SPEED_EDIT));
}

TEST_F(PropPageTest, WritesGoToEveryEditedObject) {
    CSampleHolder a, b;
    ActivateOn({a.unknown.Get(), b.unknown.Get()});
    UserTypes(L"1200");
    ASSERT_EQ(S_OK, page->Apply());
    EXPECT_EQ(1200, a.ctrl->GetSpeed());
    EXPECT_EQ(1200, b.ctrl->GetSpeed());
}

TEST_F(PropPageTest, PropertyHelpersReportUnknownNames) {
    CSampleHolder ctrl;
    IUnknown* objects[] = {ctrl.unknown.Get()};
    ASSERT_EQ(S_OK, page->SetObjects(1, objects));
    CVariant v;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, page->GetPropertyByName(L"NoSuchThing", v));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, page->SetPropertyByName(L"NoSuchThing", CVariant(1L)));
    std::wstring label;
    EXPECT_TRUE(page->GetStringProperty(L"Label", label));
    EXPECT_EQ(L"new", label);
    EXPECT_EQ(E_POINTER, page->SetObjects(1, nullptr));
}

TEST_F(PropPageTest, FrameCallsHelpMoveShowAndDeactivate) {
    CSampleHolder ctrl;
    ActivateOn({ctrl.unknown.Get()});
    EXPECT_EQ(S_OK, page->Help(L"C:\\help"));
    EXPECT_EQ(L"C:\\help", page->lastHelpDir);
    EXPECT_EQ(E_NOTIMPL, page->EditProperty(DISPID_SAMPLE_SPEED));

    RECT rc = {10, 10, 210, 90};
    EXPECT_EQ(S_OK, page->Move(&rc));
    RECT got;
    GetWindowRect(page->Hwnd(), &got);
    EXPECT_EQ(200, got.right - got.left);
    EXPECT_EQ(S_OK, page->Show(SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(page->Hwnd()) || !IsWindowVisible(parent.Get()));

    MSG msg = {};
    msg.hwnd = parent.Get();
    msg.message = WM_KEYDOWN;
    msg.wParam = VK_F5;
    EXPECT_EQ(S_FALSE, page->TranslateAccelerator(&msg));

    HWND dialog = page->Hwnd();
    EXPECT_EQ(S_OK, page->Deactivate());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(nullptr, page->Hwnd());
    EXPECT_EQ(S_OK, page->Apply()) << "nothing shown, nothing to write";
}

TEST_F(PropPageTest, OutOfMemoryInAHookReachesTheFrameAsAResultCode) {
    CSampleHolder ctrl;
    ActivateOn({ctrl.unknown.Get()});
    UserTypes(L"4800");
    page->outOfMemory = true;
    EXPECT_EQ(E_OUTOFMEMORY, page->Apply());
    EXPECT_EQ(S_OK, page->IsPageDirty()) << "a failed apply keeps the edit";
    EXPECT_EQ(E_OUTOFMEMORY, page->Help(L"C:\\help"));
    EXPECT_EQ(E_OUTOFMEMORY, page->EditProperty(DISPID_SAMPLE_SPEED));
    IUnknown* objects[] = {ctrl.unknown.Get()};
    EXPECT_EQ(S_OK, page->SetObjects(1, objects)) << "a failed reload leaves the controls as they are";
    page->outOfMemory = false;
    EXPECT_EQ(S_OK, page->Apply());
}

TEST_F(PropPageTest, APageObjectCountsAsAModuleObject) {
    LONG before = FrameworkModuleState().ObjectCount();
    auto* other = new CSamplePropPage;
    EXPECT_EQ(before + 1, FrameworkModuleState().ObjectCount());
    CComRef<IPropertyPage> asPage;
    EXPECT_EQ(S_OK, other->QueryInterface(IID_IPropertyPage, asPage.PutVoid()));
    other->Release();
    EXPECT_EQ(before + 1, FrameworkModuleState().ObjectCount());
    asPage.Reset();
    EXPECT_EQ(before, FrameworkModuleState().ObjectCount());
}

// ---- Modal dialog base ---------------------------------------------------------

namespace {

class CClosingDialog : public CDialogBase {
public:
    using CDialogBase::CDialogBase;
    BOOL OnInitDialog() override {
        initialised = true;
        moduleDuringInit = &CurrentModuleState();
        SetDlgItemTextW(Hwnd(), IDC_DIALOG_TEXT, L"hello");
        // Press OK as soon as the modal loop runs.
        PostMessageW(Hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), LPARAM(Item(IDOK)));
        return TRUE;
    }
    bool OnCommand(WORD id, WORD code, HWND control) override {
        if (id == IDOK) text = EditText(Hwnd(), IDC_DIALOG_TEXT);
        return CDialogBase::OnCommand(id, code, control);
    }
    bool initialised = false;
    CModuleState* moduleDuringInit = nullptr;
    std::wstring text;
};

}  // namespace

TEST(DialogBase, ModalDialogRunsUntilEndDialogAndReturnsItsResult) {
    CModuleState other;
    other.SetInstance(GetModuleHandleW(nullptr));
    CClosingDialog dlg(IDD_SAMPLE_DIALOG);
    INT_PTR result;
    {
        CModuleStateGuard g(other);
        result = dlg.DoModal(nullptr);
    }
    EXPECT_EQ(IDOK, result);
    EXPECT_TRUE(dlg.initialised);
    EXPECT_EQ(&other, dlg.moduleDuringInit) << "dialog messages run with the creating module current";
    EXPECT_EQ(L"hello", dlg.text);
    EXPECT_EQ(nullptr, dlg.Hwnd());
}

namespace {

class CFailingDialog : public CDialogBase {
public:
    using CDialogBase::CDialogBase;
    bool OnCommand(WORD id, WORD code, HWND control) override {
        if (id == IDC_DIALOG_TEXT) throw std::bad_alloc();
        return CDialogBase::OnCommand(id, code, control);
    }
};

}  // namespace

TEST(DialogBase, AHandlerRunningOutOfMemoryLeavesTheMessageUnhandled) {
    CFailingDialog dlg(IDD_SAMPLE_DIALOG);
    ASSERT_TRUE(dlg.CreateModeless(nullptr));
    EXPECT_EQ(FALSE, SendMessageW(dlg.Hwnd(), WM_COMMAND, MAKEWPARAM(IDC_DIALOG_TEXT, EN_CHANGE), 0));
    EXPECT_TRUE(IsWindow(dlg.Hwnd())) << "the dialog goes on";
    dlg.DestroyDialog();
    EXPECT_EQ(nullptr, dlg.Hwnd());
}

TEST(DialogBase, AMissingTemplateFailsCleanly) {
    CClosingDialog dlg(4321);
    EXPECT_EQ(-1, dlg.DoModal(nullptr));
    EXPECT_FALSE(dlg.initialised);
    EXPECT_FALSE(dlg.CreateModeless(nullptr));
}

// ---- The whole road: properties verb, Wine's property frame, the page -------------

namespace {

struct CFrameDriver {
    static CFrameDriver* current;
    HWND frame = nullptr;
    bool typed = false;
    bool closed = false;
    std::wstring shownSpeed;
    UINT_PTR timer = 0;

    static BOOL CALLBACK FindFrame(HWND hwnd, LPARAM) {
        wchar_t cls[16] = {};
        GetClassNameW(hwnd, cls, 16);
        if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(hwnd)) {
            current->frame = hwnd;
            return FALSE;
        }
        return TRUE;
    }
    static BOOL CALLBACK FindEdit(HWND hwnd, LPARAM out) {
        if (GetDlgCtrlID(hwnd) == IDC_SPEED_EDIT) {
            *reinterpret_cast<HWND*>(out) = hwnd;
            return FALSE;
        }
        return TRUE;
    }
    static void CALLBACK Cancel(HWND, UINT, UINT_PTR, DWORD) {
        if (current && current->frame) PostMessageW(current->frame, WM_COMMAND, IDCANCEL, 0);
    }
    // Plays the user: types a speed into the page, then presses OK.
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        CFrameDriver& d = *current;
        if (!d.frame) EnumThreadWindows(GetCurrentThreadId(), FindFrame, 0);
        if (!d.frame || d.closed) return;
        if (!d.typed) {
            HWND edit = nullptr;
            EnumChildWindows(d.frame, FindEdit, reinterpret_cast<LPARAM>(&edit));
            if (!edit) return;
            wchar_t text[32] = {};
            GetWindowTextW(edit, text, 32);
            d.shownSpeed = text;
            SetWindowTextW(edit, L"2400");
            d.typed = true;
            return;
        }
        d.closed = true;
        PostMessageW(d.frame, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
};
CFrameDriver* CFrameDriver::current = nullptr;

}  // namespace

// Wine 8's frame shows the pages but never calls IPropertyPage::Apply (its OK
// button only closes the sheet), so the page's writes are covered by the direct
// tests above; here the road from the verb to a shown, loaded page is checked.
TEST(PropertyFrame, PropertiesVerbShowsTheLoadedPageInTheSystemFrame) {
    CClassFactory<CSamplePropPage> pageFactory(CLSID_SamplePage);
    DWORD registration = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_SamplePage, &pageFactory, CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &registration));
    CTestParentWindow parent;
    CSampleHolder h;
    auto* site = new CTestSite(parent.Get());
    CComRef<IOleClientSite> siteRef = CComRef<IOleClientSite>::Adopt(site);
    site->showsPropertyFrame = false;  // the container leaves it to the control
    auto ole = h.As<IOleObject>(IID_IOleObject);
    ole->SetClientSite(site);
    ASSERT_EQ(1, FrameworkModuleState().ObjectCount());

    CFrameDriver driver;
    CFrameDriver::current = &driver;
    driver.timer = SetTimer(nullptr, 0, 50, CFrameDriver::Tick);
    // Safety net: whatever happens, the modal frame must not hang the test.
    UINT_PTR guard = SetTimer(nullptr, 0, 10000, CFrameDriver::Cancel);
    HRESULT hr = ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, site, 0, parent.Get(), nullptr);
    KillTimer(nullptr, driver.timer);
    KillTimer(nullptr, guard);
    CFrameDriver::current = nullptr;

    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, site->propertyFrameRequests);
    EXPECT_TRUE(driver.typed) << "the frame showed the sample page";
    EXPECT_EQ(L"1", driver.shownSpeed) << "the page loaded the control's value";
    EXPECT_EQ(1, FrameworkModuleState().ObjectCount()) << "the frame released the page";
    ole->SetClientSite(nullptr);
    EXPECT_EQ(S_OK, CoRevokeClassObject(registration));
}
