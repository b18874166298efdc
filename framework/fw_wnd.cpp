#include "fw_wnd.h"

#include <cstdio>

namespace {

const wchar_t* kWindowPropName = L"FwWndObject";

// Registers the framework's window class for a module on first use. The class
// name carries the instance handle and the state record so that two modules
// (or two states of one module) never share, and never unregister, each
// other's class.
ATOM EnsureWindowClass(CModuleState& module, WNDPROC proc) {
    if (module.WindowClass()) return module.WindowClass();
    HINSTANCE instance = module.Instance() ? module.Instance() : GetModuleHandleW(nullptr);
    wchar_t name[64];
    swprintf(name, 64, L"FwWindow.%p.%p", static_cast<void*>(instance), static_cast<void*>(&module));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = name;
    ATOM atom = RegisterClassExW(&wc);
    if (!atom && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        WNDCLASSEXW existing = {};
        existing.cbSize = sizeof existing;
        atom = static_cast<ATOM>(GetClassInfoExW(instance, name, &existing));
    }
    if (!module.Instance()) module.SetInstance(instance);
    module.SetWindowClass(atom);
    return atom;
}

}  // namespace

std::wstring LoadModuleString(UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW returns a pointer into the resource itself.
    int length = LoadStringW(CurrentModuleState().ResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return std::wstring();
    return std::wstring(text, size_t(length));
}

CWnd::~CWnd() { DestroyWindowFw(); }

bool CWnd::CreateWindowFw(DWORD exStyle, const wchar_t* title, DWORD style, const RECT& rect, HWND parent,
                          UINT_PTR idOrMenu) {
    if (hwnd_) return false;
    module_ = &CurrentModuleState();
    ATOM atom = EnsureWindowClass(*module_, StaticWindowProc);
    if (!atom) return false;
    HWND hwnd = CreateWindowExW(exStyle, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom)), title ? title : L"", style, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, parent,
                                reinterpret_cast<HMENU>(idOrMenu), module_->Instance(), this);
    return hwnd != nullptr;
}

void CWnd::DestroyWindowFw() {
    if (hwnd_) DestroyWindow(hwnd_);
}

CWnd* CWnd::FromHandle(HWND hwnd) { return static_cast<CWnd*>(GetPropW(hwnd, kWindowPropName)); }

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) { return DefaultProc(msg, wParam, lParam); }

LRESULT CALLBACK CWnd::StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CWnd* self = FromHandle(hwnd);
    if (!self && msg == WM_NCCREATE) {
        self = static_cast<CWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (self) {
            self->hwnd_ = hwnd;
            SetPropW(hwnd, kWindowPropName, self);
        }
    }
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);

    CModuleStateGuard guard(*self->module_);
    // The system's message dispatch cannot carry a C++ exception: a message whose
    // handler failed is answered as not handled.
    LRESULT result = 0;
    CallAtBorder([&] {
        result = self->WindowProc(msg, wParam, lParam);
        return S_OK;
    });
    if (msg == WM_NCDESTROY) {
        RemovePropW(hwnd, kWindowPropName);
        self->hwnd_ = nullptr;
        self->OnFinalMessage();
    }
    return result;
}

CDialogBase::~CDialogBase() { DestroyDialog(); }

INT_PTR CDialogBase::DoModal(HWND parent) {
    if (hwnd_) return -1;
    module_ = &CurrentModuleState();
    modal_ = true;
    INT_PTR result = DialogBoxParamW(module_->ResourceHandle(), MAKEINTRESOURCEW(templateId_), parent,
                                     StaticDialogProc, reinterpret_cast<LPARAM>(this));
    modal_ = false;
    return result;
}

bool CDialogBase::CreateModeless(HWND parent) {
    if (hwnd_) return false;
    module_ = &CurrentModuleState();
    modal_ = false;
    return CreateDialogParamW(module_->ResourceHandle(), MAKEINTRESOURCEW(templateId_), parent, StaticDialogProc,
                              reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialogBase::EndDialog(INT_PTR result) {
    if (!hwnd_) return;
    if (modal_)
        ::EndDialog(hwnd_, result);
    else
        DestroyWindow(hwnd_);
}

void CDialogBase::DestroyDialog() {
    if (hwnd_ && !modal_) DestroyWindow(hwnd_);
}

bool CDialogBase::OnCommand(WORD id, WORD code, HWND control) {
    (void)code;
    (void)control;
    if (modal_ && (id == IDOK || id == IDCANCEL)) {
        EndDialog(id);
        return true;
    }
    return false;
}

INT_PTR CDialogBase::DialogProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE : FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK CDialogBase::StaticDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CDialogBase* self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self && msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogBase*>(lParam);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self) return FALSE;

    CModuleStateGuard guard(*self->module_);
    // As for windows: a handler that failed leaves the message to the dialog manager.
    INT_PTR result = FALSE;
    CallAtBorder([&] {
        result = self->DialogProc(msg, wParam, lParam);
        return S_OK;
    });
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->hwnd_ = nullptr;
        if (!self->modal_) self->OnDialogDestroyed();
    }
    return result;
}
