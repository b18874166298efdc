// The about box (dialog 1), the property page (dialog 109) and the toolbox bitmap of this
// test program's image: the dialog templates as compiled, then the dialogs created without a
// dialog procedure under Wine's null display driver.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>
#include "resource_ids.h"

namespace {

// One item of a dialog template, as the resource compiler wrote it.
struct TemplateItem {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    WORD classAtom;  // 0x80 button, 0x81 edit, 0x82 static, 0x85 combo box
    std::wstring text;
};

struct DialogTemplate {
    DWORD style;
    short x, y, cx, cy;
    std::wstring caption;
    WORD pointSize;
    std::wstring face;
    std::vector<TemplateItem> items;
};

const WORD kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kComboBox = 0x85;
const DWORD kItem = WS_CHILD | WS_VISIBLE;
const WORD kNoId = 0xFFFF;

// Expected items in template order (which is also the tab order): exact styles,
// positions and sizes in dialog units.
const std::vector<TemplateItem> kPageItems = {
    {kItem | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 47, 4, 47, 347, IDC_PORT_COMBO, kComboBox, L""},
    {kItem | SS_LEFT | WS_GROUP, 0, 6, 42, 8, kNoId, kStatic, L"Port Number:"},
    {kItem | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_TABSTOP, 1, 98, 249, 12, IDC_ERROR_EDIT, kEdit, L""},
    {kItem | CBS_DROPDOWNLIST | WS_TABSTOP, 47, 36, 70, 96, IDC_PARITY_COMBO, kComboBox, L""},
    {kItem | CBS_DROPDOWNLIST | WS_TABSTOP, 47, 68, 27, 96, IDC_STOPBITS_COMBO, kComboBox, L""},
    {kItem | SS_LEFT | WS_GROUP, 0, 38, 20, 8, kNoId, kStatic, L"Parity:"},
    {kItem | SS_LEFT | WS_GROUP, 1, 71, 30, 8, kNoId, kStatic, L"Stop bits:"},
    {kItem | CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, 47, 20, 69, 277, IDC_BAUD_COMBO, kComboBox, L""},
    {kItem | SS_LEFT | WS_GROUP, 0, 22, 34, 8, kNoId, kStatic, L"Baud rate:"},
    {kItem | CBS_DROPDOWNLIST | WS_TABSTOP, 47, 52, 27, 96, IDC_DATABITS_COMBO, kComboBox, L""},
    {kItem | SS_LEFT | WS_GROUP, 0, 55, 31, 8, kNoId, kStatic, L"Data bits:"},
    {kItem | BS_AUTOCHECKBOX | WS_TABSTOP, 100, 6, 51, 10, IDC_CONNECTED_CHECK, kButton, L"Connected"},
};

const std::vector<TemplateItem> kAboutItems = {
    {kItem | SS_LEFT | WS_GROUP, 7, 12, 154, 8, IDC_VERSION_TEXT, kStatic, L"Tarvel Control, Version "},
    {kItem | SS_LEFT | WS_GROUP, 7, 27, 154, 8, kNoId, kStatic, L"Copyright (C) Tarvel developers"},
    {kItem | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 166, 7, 50, 14, IDCANCEL, kButton, L"Close"},
    {kItem | BS_PUSHBUTTON | WS_TABSTOP, 166, 26, 50, 14, IDOK, kButton, L"Visit site"},
};

// Reads a classic (non-extended) dialog template. Strings and ordinals are "sz_Or_Ord":
// 0 = none, 0xFFFF + WORD = ordinal, otherwise a zero-terminated UTF-16 string.
class CTemplateReader {
public:
    explicit CTemplateReader(const BYTE* p) : p_(p) {}
    WORD Word() { WORD w; memcpy(&w, p_, 2); p_ += 2; return w; }
    DWORD Dword() { DWORD d; memcpy(&d, p_, 4); p_ += 4; return d; }
    short Short() { return static_cast<short>(Word()); }
    std::wstring String() {
        std::wstring s;
        for (WORD c = Word(); c; c = Word()) s += static_cast<wchar_t>(c);
        return s;
    }
    // Returns the ordinal, or 0 and the text in `text`.
    WORD OrdinalOrString(std::wstring& text) {
        WORD first;
        memcpy(&first, p_, 2);
        if (first == 0xFFFF) { p_ += 2; return Word(); }
        text = String();
        return 0;
    }
    void AlignDword(const BYTE* base) { p_ = base + (((p_ - base) + 3) & ~3); }

private:
    const BYTE* p_;
};

bool ReadDialogTemplate(int id, DialogTemplate& out) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_DIALOG), MAKEINTRESOURCEW(id),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!res) return false;
    const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    if (!base) return false;
    CTemplateReader r(base);
    out.style = r.Dword();
    if (HIWORD(out.style) == 0xFFFF) return false;  // extended templates are not expected here
    r.Dword();  // extended style
    const WORD count = r.Word();
    out.x = r.Short(), out.y = r.Short(), out.cx = r.Short(), out.cy = r.Short();
    std::wstring ignored;
    if (r.OrdinalOrString(ignored) != 0 || !ignored.empty()) return false;  // no menu
    if (r.OrdinalOrString(ignored) != 0 || !ignored.empty()) return false;  // standard dialog class
    out.caption = r.String();
    if (out.style & DS_SETFONT) {
        out.pointSize = r.Word();
        out.face = r.String();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword(base);
        TemplateItem item;
        item.style = r.Dword();
        r.Dword();  // extended style
        item.x = r.Short(), item.y = r.Short(), item.cx = r.Short(), item.cy = r.Short();
        item.id = r.Word();
        std::wstring className;
        item.classAtom = r.OrdinalOrString(className);
        if (r.OrdinalOrString(item.text) != 0) return false;
        const WORD extra = r.Word();
        for (WORD k = 0; k < extra; k += 2) r.Word();
        out.items.push_back(item);
    }
    return true;
}

void ExpectTemplateItems(const DialogTemplate& dlg, const std::vector<TemplateItem>& want) {
    ASSERT_EQ(want.size(), dlg.items.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const auto &w = want[i], &g = dlg.items[i];
        SCOPED_TRACE(testing::Message() << "item " << i << " id " << w.id);
        EXPECT_EQ(w.id, g.id);
        EXPECT_EQ(w.classAtom, g.classAtom);
        EXPECT_EQ(w.style, g.style) << std::hex << "style 0x" << g.style;
        EXPECT_EQ(w.x, g.x);
        EXPECT_EQ(w.y, g.y);
        EXPECT_EQ(w.cx, g.cx);
        EXPECT_EQ(w.cy, g.cy);
        EXPECT_EQ(w.text, g.text);
    }
}

TEST(DialogTemplates, PropertyPage) {
    DialogTemplate dlg;
    ASSERT_TRUE(ReadDialogTemplate(IDD_PROPPAGE, dlg));
    // A child window without caption or border.
    EXPECT_EQ(static_cast<DWORD>(WS_CHILD | DS_SETFONT), dlg.style) << std::hex << dlg.style;
    EXPECT_EQ(0, dlg.x);
    EXPECT_EQ(0, dlg.y);
    EXPECT_EQ(250, dlg.cx);
    EXPECT_EQ(110, dlg.cy);
    EXPECT_EQ(8, dlg.pointSize);
    EXPECT_EQ(L"MS Sans Serif", dlg.face);
    ExpectTemplateItems(dlg, kPageItems);
}

TEST(DialogTemplates, AboutBox) {
    DialogTemplate dlg;
    ASSERT_TRUE(ReadDialogTemplate(IDD_ABOUTBOX, dlg));
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT), dlg.style)
        << std::hex << dlg.style;
    EXPECT_EQ(34, dlg.x);
    EXPECT_EQ(22, dlg.y);
    EXPECT_EQ(223, dlg.cx);
    EXPECT_EQ(47, dlg.cy);
    EXPECT_EQ(L"About Tarvel Control", dlg.caption);
    EXPECT_EQ(8, dlg.pointSize);
    EXPECT_EQ(L"MS Sans Serif", dlg.face);
    ExpectTemplateItems(dlg, kAboutItems);
}

// ---- The dialogs as windows ----

std::wstring TextOf(HWND w) {
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return text;
}

// A dialog window destroyed at the end of the test.
class CDialogWindow {
public:
    CDialogWindow(int id, HWND parent)
        : hwnd_(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), parent, nullptr, 0)) {}
    CDialogWindow(const CDialogWindow&) = delete;
    CDialogWindow& operator=(const CDialogWindow&) = delete;
    ~CDialogWindow() { if (hwnd_) DestroyWindow(hwnd_); }
    HWND Get() const { return hwnd_; }

private:
    HWND hwnd_;
};

// Top-level window to hold the child-style property page.
class CParentWindow {
public:
    CParentWindow()
        : hwnd_(CreateWindowExW(0, L"Static", L"page host", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr)) {}
    CParentWindow(const CParentWindow&) = delete;
    CParentWindow& operator=(const CParentWindow&) = delete;
    ~CParentWindow() { if (hwnd_) DestroyWindow(hwnd_); }
    HWND Get() const { return hwnd_; }

private:
    HWND hwnd_;
};

void ExpectClientSize(HWND dialog, LONG cxUnits, LONG cyUnits) {
    RECT expect = {0, 0, cxUnits, cyUnits};
    MapDialogRect(dialog, &expect);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(expect.right, client.right);
    EXPECT_EQ(expect.bottom, client.bottom);
}

// Every item with an id is created, in template order, with its text.
void ExpectWindowItems(HWND dialog, const std::vector<TemplateItem>& items) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    ASSERT_EQ(items.size(), children.size());
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "item " << i << " id " << items[i].id);
        EXPECT_EQ(items[i].id, static_cast<WORD>(GetDlgCtrlID(children[i])));
        if (items[i].id != kNoId) {
            EXPECT_EQ(children[i], GetDlgItem(dialog, items[i].id));
        }
        if (!items[i].text.empty()) {
            EXPECT_EQ(items[i].text, TextOf(children[i]));
        }
    }
}

TEST(Dialogs, PropertyPageCreatesAsChild) {
    CParentWindow parent;
    ASSERT_NE(nullptr, parent.Get());
    CDialogWindow page(IDD_PROPPAGE, parent.Get());
    ASSERT_NE(nullptr, page.Get()) << GetLastError();
    EXPECT_EQ(parent.Get(), GetParent(page.Get()));
    ExpectClientSize(page.Get(), 250, 110);
    ExpectWindowItems(page.Get(), kPageItems);
    // The page fills the lists itself: the template leaves every combo box empty and unsorted.
    for (int id : {IDC_PORT_COMBO, IDC_PARITY_COMBO, IDC_STOPBITS_COMBO, IDC_BAUD_COMBO, IDC_DATABITS_COMBO}) {
        EXPECT_EQ(0, SendDlgItemMessageW(page.Get(), id, CB_GETCOUNT, 0, 0)) << id;
        SendDlgItemMessageW(page.Get(), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"b"));
        SendDlgItemMessageW(page.Get(), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"a"));
        wchar_t first[8] = {};
        SendDlgItemMessageW(page.Get(), id, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(first));
        EXPECT_STREQ(L"b", first) << id;
    }
}

TEST(Dialogs, AboutBoxCreates) {
    CDialogWindow about(IDD_ABOUTBOX, nullptr);
    ASSERT_NE(nullptr, about.Get()) << GetLastError();
    EXPECT_EQ(L"About Tarvel Control", TextOf(about.Get()));
    ExpectClientSize(about.Get(), 223, 47);
    ExpectWindowItems(about.Get(), kAboutItems);
    // "Close" is the default button, so Enter closes the box without visiting the site.
    EXPECT_EQ(MAKELRESULT(IDCANCEL, DC_HASDEFID), SendMessageW(about.Get(), DM_GETDEFID, 0, 0));
}

// ---- Toolbox bitmap ----

const char* const kToolboxRows[15] = {
    "ffffffffffffffff", "ffffffffffffffff", "ffffffffffffffff", "ffffffffffffffff", "000fff000ff00f00",
    "0f00f00f00f00000", "0ffff00f00f00000", "0ffff00f00f00f00", "0f00f00f00f00f00", "000fff000ff00f00",
    "ffffffffffffffff", "ffffffffffffffff", "ffffffffffffffff", "ffffffffffffffff", "ffffffffffffffff",
};

TEST(ToolboxBitmap, SixteenByFifteenFourBitsStandardPalette) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_BITMAP), MAKEINTRESOURCEW(IDB_TOOLBOX),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, res);
    const auto* info = static_cast<const BITMAPINFO*>(LockResource(LoadResource(module, res)));
    ASSERT_NE(nullptr, info);
    const BITMAPINFOHEADER& h = info->bmiHeader;
    ASSERT_EQ(sizeof(BITMAPINFOHEADER), h.biSize);
    EXPECT_EQ(16, h.biWidth);
    EXPECT_EQ(15, h.biHeight);  // bottom-up
    EXPECT_EQ(4, h.biBitCount);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), h.biCompression);
    const RGBQUAD& black = info->bmiColors[0];
    const RGBQUAD& white = info->bmiColors[15];
    EXPECT_EQ(0, black.rgbRed | black.rgbGreen | black.rgbBlue);
    EXPECT_EQ(255, white.rgbRed & white.rgbGreen & white.rgbBlue);

    const auto* bits = reinterpret_cast<const BYTE*>(info->bmiColors + 16);
    const int stride = 8;  // 16 pixels at 4 bits, already a multiple of 4 bytes
    for (int y = 0; y < 15; ++y) {
        std::string row;
        const BYTE* line = bits + (14 - y) * stride;
        for (int x = 0; x < 16; ++x) {
            const int index = x % 2 ? line[x / 2] & 0xF : line[x / 2] >> 4;
            row += "0123456789abcdef"[index];
        }
        EXPECT_EQ(kToolboxRows[y], row) << "row " << y;
    }
}

TEST(ToolboxBitmap, LoadsAsABitmap) {
    HBITMAP bmp = static_cast<HBITMAP>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_TOOLBOX), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(nullptr, bmp);
    BITMAP info = {};
    ASSERT_TRUE(GetObjectW(bmp, sizeof info, &info));
    EXPECT_EQ(16, info.bmWidth);
    EXPECT_EQ(15, info.bmHeight);
    EXPECT_EQ(4, info.bmBitsPixel);
    DeleteObject(bmp);
}

}  // namespace
