// Window and dialog bases with message routing to virtual handlers.
#pragma once
#include <windows.h>

#include <string>

#include "fw_module.h"

// A window of the framework's own window class (double-clicks enabled, arrow
// cursor, no background brush) whose messages go to the virtual WindowProc of
// the C++ object that created it. Messages run with the creating module current.
class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // Creates the window; false on failure (GetLastError tells why).
    bool CreateWindowFw(DWORD exStyle, const wchar_t* title, DWORD style, const RECT& rect, HWND parent,
                        UINT_PTR idOrMenu = 0);
    void DestroyWindowFw();
    HWND Hwnd() const { return hwnd_; }

    // The object behind a window created by CreateWindowFw; null for other windows.
    static CWnd* FromHandle(HWND hwnd);

protected:
    // Every message of the window. The default passes it to DefWindowProcW.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT DefaultProc(UINT msg, WPARAM wParam, LPARAM lParam) { return DefWindowProcW(hwnd_, msg, wParam, lParam); }
    // After WM_NCDESTROY; Hwnd() is null by then.
    virtual void OnFinalMessage() {}

private:
    static LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    CModuleState* module_ = nullptr;
};

// A dialog box from a dialog template resource of the current module, modal
// (DoModal) or modeless (CreateModeless). Messages run with the module current.
class CDialogBase {
public:
    explicit CDialogBase(UINT templateId) : templateId_(templateId) {}
    virtual ~CDialogBase();
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // Runs the dialog modally; returns the EndDialog result, or -1 when the
    // template cannot be loaded or the dialog not created.
    INT_PTR DoModal(HWND parent);
    // Creates the dialog without a modal loop (a child when the template says
    // WS_CHILD); false on failure.
    bool CreateModeless(HWND parent);
    // Ends a modal dialog with the given result, or destroys a modeless one.
    void EndDialog(INT_PTR result);
    void DestroyDialog();

    HWND Hwnd() const { return hwnd_; }
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    UINT TemplateId() const { return templateId_; }

protected:
    // WM_INITDIALOG: return TRUE to let the system set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // WM_COMMAND: return true when handled. The default ends a modal dialog on
    // IDOK and IDCANCEL.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    // Every message; the default dispatches WM_INITDIALOG and WM_COMMAND and
    // answers FALSE otherwise.
    virtual INT_PTR DialogProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // After WM_NCDESTROY of a modeless dialog; Hwnd() is null by then.
    virtual void OnDialogDestroyed() {}

private:
    static INT_PTR CALLBACK StaticDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    UINT templateId_;
    HWND hwnd_ = nullptr;
    bool modal_ = false;
    CModuleState* module_ = nullptr;
};

// Loads a string resource of the current module; empty when it is missing.
std::wstring LoadModuleString(UINT id);
