// The version text built from this exe's own version resource (1.3.0.0), and the about box:
// its version line, its default button and every way of closing it, with the shell opener
// replaced so that "Visit site" is seen without starting a browser.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <vector>

#include "control/about_box.h"
#include "control/shell_open.h"
#include "control/tarvel_ctrl.h"
#include "control/version_text.h"
#include "framework/fw_module.h"
#include "res/resource_ids.h"

namespace {

struct Environment : ::testing::Environment {
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        FrameworkModuleInit(GetModuleHandleW(nullptr));  // dialog 1 and string 145 are in this exe
        BuildModuleVersionText(GetModuleHandleW(nullptr));
    }
    void TearDown() override
    {
        FrameworkModuleTerm();
        OleUninitialize();
    }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

std::wstring ExpectedVersion()
{
    return std::wstring(L"1.3.0 (") + (sizeof(void*) == 8 ? L"x64" : L"x86") + L")";
}

// --- version text ----------------------------------------------------------------------

TEST(VersionText, ProductVersionWithoutItsFourthPart)
{
    EXPECT_EQ(FormatVersionText(MAKELONG(3, 1), MAKELONG(0, 0), "x86"), L"1.3.0 (x86)");
    EXPECT_EQ(FormatVersionText(MAKELONG(10, 2), MAKELONG(5, 7), "x86"), L"2.10.7 (x86)");
    EXPECT_EQ(FormatVersionText(MAKELONG(65535, 65535), MAKELONG(65535, 65535), "x64"), L"65535.65535.65535 (x64)");
}

TEST(VersionText, ModuleTextComesFromThisExesVersionResource)
{
    EXPECT_EQ(ModuleVersionText(), ExpectedVersion());
    const std::string label = TARVEL_ARCH_LABEL;  // the build's own label agrees with the pointer size
    EXPECT_EQ(ModuleVersionText(), L"1.3.0 (" + std::wstring(label.begin(), label.end()) + L")");
}

// --- about box -------------------------------------------------------------------------

// What the script running inside the dialog's modal loop saw.
struct DialogVisit {
    bool found = false;
    std::wstring versionLine;
    LRESULT defId = 0;
    bool forced = false;  // the close action did not end the dialog; the test ended it
};

// Addresses handed to the shell opener while a test runs.
std::vector<std::string> g_opened;
void RecordOpen(const std::string& address) { g_opened.push_back(address); }

// Runs `show` (which must run the about box modally on this thread) while a thread timer
// finds the dialog, records what it shows and applies `close` to it. A timer on this
// thread is dispatched by the dialog's own modal loop, so no second thread is involved.
class CAboutDriver {
public:
    static DialogVisit Run(const std::function<void(HWND)>& close, const std::function<void()>& show)
    {
        DialogVisit visit;
        current_ = {&visit, close, 0, nullptr};
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, Tick);
        show();
        KillTimer(nullptr, timer);
        current_ = {};
        return visit;
    }

private:
    struct State {
        DialogVisit* visit = nullptr;
        std::function<void(HWND)> close;
        int ticksAfterClose = 0;
        HWND dialog = nullptr;
    };
    static State current_;

    static BOOL CALLBACK FindAbout(HWND hwnd, LPARAM out)
    {
        wchar_t title[64] = L"";
        GetWindowTextW(hwnd, title, 64);
        if (std::wstring(title) != L"About Tarvel Control" || !IsWindowVisible(hwnd)) return TRUE;
        *reinterpret_cast<HWND*>(out) = hwnd;
        return FALSE;
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        State& s = current_;
        if (!s.visit) return;
        if (!s.dialog) {
            HWND dialog = nullptr;
            EnumThreadWindows(GetCurrentThreadId(), FindAbout, reinterpret_cast<LPARAM>(&dialog));
            if (!dialog) return;
            s.dialog = dialog;
            s.visit->found = true;
            wchar_t line[256] = L"";
            GetDlgItemTextW(dialog, IDC_VERSION_TEXT, line, 256);
            s.visit->versionLine = line;
            s.visit->defId = SendMessageW(dialog, DM_GETDEFID, 0, 0);
            s.close(dialog);
            return;
        }
        // The action had ~1.5 s to end the dialog: end it ourselves so the test fails, not hangs.
        if (IsWindow(s.dialog) && ++s.ticksAfterClose == 50) {
            s.visit->forced = true;
            EndDialog(s.dialog, IDABORT);
        }
    }
};
CAboutDriver::State CAboutDriver::current_;

HWND FocusedOr(HWND dialog, int fallbackId)
{
    HWND focus = GetFocus();
    return (focus && (focus == dialog || IsChild(dialog, focus))) ? focus : GetDlgItem(dialog, fallbackId);
}

class AboutBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_opened.clear();
        previous_ = SetShellOpener(RecordOpen);
    }
    void TearDown() override { SetShellOpener(previous_); }

    // Shows the box through ShowAboutBox, closes it with `close`, checks what it showed.
    void ShowAndClose(const std::function<void(HWND)>& close)
    {
        const DialogVisit visit = CAboutDriver::Run(close, [] { ShowAboutBox(); });
        ASSERT_TRUE(visit.found) << "the about box never appeared";
        EXPECT_FALSE(visit.forced) << "the close action did not end the about box";
        EXPECT_EQ(visit.versionLine, L"Tarvel Control, Version " + ExpectedVersion());
        EXPECT_EQ(visit.defId, MAKELRESULT(IDCANCEL, DC_HASDEFID)) << "Close is the default button";
    }

    static std::string DownloadAddress()
    {
        char address[512] = "";
        const int length = LoadStringA(GetModuleHandleW(nullptr), IDS_DOWNLOAD_URL, address, sizeof address);
        return std::string(address, length > 0 ? static_cast<size_t>(length) : 0);
    }

private:
    ShellOpener previous_ = nullptr;
};

TEST_F(AboutBox, DownloadAddressIsUnderAnExampleDomain)
{
    const std::string address = DownloadAddress();
    EXPECT_EQ(address.rfind("https://", 0), 0u) << address;
    EXPECT_NE(address.find(".example/"), std::string::npos) << address;
}

TEST_F(AboutBox, CloseButtonOpensNothing)
{
    ShowAndClose([](HWND dialog) { SendDlgItemMessageW(dialog, IDCANCEL, BM_CLICK, 0, 0); });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, CloseCommandOpensNothing)
{
    ShowAndClose([](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, EscapeKeyOpensNothing)
{
    // The keystroke goes to the focused control; the dialog manager turns it into IDCANCEL.
    ShowAndClose([](HWND dialog) {
        PostMessageW(FocusedOr(dialog, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, EnterPressesTheDefaultCloseButton)
{
    ShowAndClose([](HWND dialog) {
        PostMessageW(FocusedOr(dialog, IDCANCEL), WM_KEYDOWN, VK_RETURN, 0x001C0001);
    });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, EnterWithNoButtonFocusedGoesToTheDefaultButton)
{
    // With the focus off the buttons the dialog manager asks DM_GETDEFID which button Enter presses.
    ShowAndClose([](HWND dialog) {
        SetFocus(dialog);
        PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, WindowCloseBoxOpensNothing)
{
    ShowAndClose([](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(AboutBox, VisitSiteOpensTheDownloadPageOnce)
{
    ShowAndClose([](HWND dialog) { SendDlgItemMessageW(dialog, IDOK, BM_CLICK, 0, 0); });
    ASSERT_EQ(g_opened.size(), 1u);
    EXPECT_EQ(g_opened[0], DownloadAddress());
}

TEST_F(AboutBox, AboutBoxMethodThroughDispatchReturnsAfterTheBoxCloses)
{
    CTarvelCtrl* ctl = new CTarvelCtrl;  // one reference: ours
    IDispatch* disp = nullptr;
    ASSERT_EQ(ctl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
    HRESULT hr = E_FAIL;
    const DialogVisit visit = CAboutDriver::Run(
        [](HWND dialog) { SendDlgItemMessageW(dialog, IDOK, BM_CLICK, 0, 0); },
        [&] {
            DISPPARAMS none = {nullptr, nullptr, 0, 0};
            hr = disp->Invoke(DISPID_ABOUTBOX, IID_NULL, 0x0409, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
        });
    disp->Release();
    ctl->Release();
    EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(visit.found);
    EXPECT_FALSE(visit.forced);
    EXPECT_EQ(visit.versionLine, L"Tarvel Control, Version " + ExpectedVersion());
    EXPECT_EQ(g_opened.size(), 1u);
}

}  // namespace
