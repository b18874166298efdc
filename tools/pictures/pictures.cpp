// Shows the control's user interface as Windows draws it, for screenshots:
//   tarvel_pictures page SECONDS         the property page in a frame window "Tarvel Control Properties"
//   tarvel_pictures about SECONDS        the about box
//   tarvel_pictures placeholder OUT.bmp  the design-time drawing through IViewObject::Draw
// The dialogs and strings come from this exe's own resources.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/about_box.h"
#include "control/tarvel_ctrl.h"
#include "control/tarvel_proppage.h"
#include "control/version_text.h"
#include "framework/fw_module.h"

namespace {

// The frame's side of the page: nothing to record.
class CPageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite)) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the stack of ShowPage
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStatusChange(DWORD) override { return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { *lcid = 0x0409; return S_OK; }
    STDMETHODIMP GetPageContainer(IUnknown** c) override { *c = nullptr; return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
};

void CALLBACK QuitOnTimer(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }

void CALLBACK EndAboutOnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND about = FindWindowW(nullptr, L"About Tarvel Control");
    if (about) EndDialog(about, IDCANCEL);
}

// Runs the message loop until `seconds` pass (then posts WM_QUIT) or the window closes.
void RunFor(int seconds)
{
    SetTimer(nullptr, 0, static_cast<UINT>(seconds) * 1000, QuitOnTimer);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CTLCOLORSTATIC || msg == WM_CTLCOLORDLG)
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A plain frame like the one a container shows: the page on top, OK / Cancel / Apply below.
int ShowPage(int seconds)
{
    CTarvelCtrl* ctl = new CTarvelCtrl;
    CTarvelPropPage* page = new CTarvelPropPage;
    CPageSite site;
    page->SetPageSite(&site);
    IUnknown* object = ctl->GetControllingUnknown();
    page->SetObjects(1, &object);
    PROPPAGEINFO info = {};
    info.cb = sizeof info;
    page->GetPageInfo(&info);
    const SIZE pageSize = info.size;
    CoTaskMemFree(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);

    WNDCLASSW wc = {};
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = L"TarvelPicturesFrame";
    RegisterClassW(&wc);
    const int margin = 8, buttonW = 75, buttonH = 23;
    const int clientW = pageSize.cx + 2 * margin;
    const int clientH = pageSize.cy + 3 * margin + buttonH;
    RECT outer = {0, 0, clientW, clientH};
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_DLGFRAME;
    AdjustWindowRect(&outer, style, FALSE);
    HWND frame = CreateWindowW(wc.lpszClassName, L"Tarvel Control Properties", style, 40, 40, outer.right - outer.left,
                               outer.bottom - outer.top, nullptr, nullptr, wc.hInstance, nullptr);
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const wchar_t* labels[] = {L"OK", L"Cancel", L"Apply"};
    for (int i = 0; i < 3; ++i) {
        const int x = clientW - margin - (3 - i) * (buttonW + 6) + 6;
        HWND button = CreateWindowW(L"BUTTON", labels[i], WS_CHILD | WS_VISIBLE | (i == 0 ? BS_DEFPUSHBUTTON : 0) |
                                        (i == 2 ? WS_DISABLED : 0),
                                    x, clientH - margin - buttonH, buttonW, buttonH, frame, nullptr, wc.hInstance, nullptr);
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    const RECT where = {margin, margin, margin + pageSize.cx, margin + pageSize.cy};
    page->Activate(frame, &where, FALSE);
    page->Show(SW_SHOW);
    ShowWindow(frame, SW_SHOW);
    UpdateWindow(frame);
    RunFor(seconds);

    page->Deactivate();
    page->SetObjects(0, nullptr);
    page->SetPageSite(nullptr);
    page->Release();
    ctl->Release();
    if (IsWindow(frame)) DestroyWindow(frame);
    return 0;
}

// The about box, ended by a thread timer that its modal loop dispatches.
int ShowAbout(int seconds)
{
    SetTimer(nullptr, 0, static_cast<UINT>(seconds) * 1000, EndAboutOnTimer);
    ShowAboutBox();
    return 0;
}

// The design-time drawing at the control's real size (48 x 48), written as a 24-bit BMP.
int DrawPlaceholder(const char* path)
{
    constexpr int kSize = 48;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = kSize;
    bmi.bmiHeader.biHeight = kSize;  // bottom-up, as a BMP file stores it
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP dib = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dc || !dib) return 1;
    HGDIOBJ old = SelectObject(dc, dib);
    RECT all = {0, 0, kSize, kSize};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

    CTarvelCtrl* ctl = new CTarvelCtrl;
    IViewObject* view = nullptr;
    HRESULT hr = ctl->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view));
    if (SUCCEEDED(hr)) {
        const RECTL bounds = {0, 0, kSize, kSize};
        hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
        view->Release();
    }
    ctl->Release();
    GdiFlush();
    SelectObject(dc, old);

    const DWORD stride = (kSize * 3 + 3) & ~3u;
    const DWORD imageSize = stride * kSize;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof bmi.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    bool written = false;
    if (FILE* out = std::fopen(path, "wb")) {
        written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                  std::fwrite(&bmi.bmiHeader, sizeof bmi.bmiHeader, 1, out) == 1 &&
                  std::fwrite(bits, imageSize, 1, out) == 1;
        written = (std::fclose(out) == 0) && written;
    }
    DeleteObject(dib);
    DeleteDC(dc);
    if (FAILED(hr)) std::fprintf(stderr, "IViewObject::Draw failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) && written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tarvel_pictures page|about SECONDS | placeholder OUT.bmp\n");
        return 2;
    }
    OleInitialize(nullptr);
    FrameworkModuleInit(GetModuleHandleW(nullptr));
    BuildModuleVersionText(GetModuleHandleW(nullptr));
    int rc = 2;
    if (std::strcmp(argv[1], "page") == 0) rc = ShowPage(std::atoi(argv[2]));
    else if (std::strcmp(argv[1], "about") == 0) rc = ShowAbout(std::atoi(argv[2]));
    else if (std::strcmp(argv[1], "placeholder") == 0) rc = DrawPlaceholder(argv[2]);
    FrameworkModuleTerm();
    OleUninitialize();
    return rc;
}
