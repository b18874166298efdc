// CPropertyPageBase: a property page (IPropertyPage2) on a dialog template of
// the module. The frame (OleCreatePropertyFrame or a container's own) drives it;
// the derived page fills its controls and moves values between them and the
// edited objects, which it reaches only through their IDispatch, by name.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <set>
#include <string>
#include <vector>

#include "../common/com_raii.h"
#include "fw_module.h"
#include "fw_wnd.h"

class CPropertyPageBase : public CDialogBase, public IPropertyPage2 {
public:
    // dialogId: a child dialog template (WS_CHILD, no caption or border).
    // titleId: string resource of the tab caption. The object starts with one
    // reference, owned by its creator.
    CPropertyPageBase(UINT dialogId, UINT titleId);
    ~CPropertyPageBase() override;

    // ---- Hooks for the derived page ----------------------------------------
    // After the dialog is created and before the first load: fill lists etc.
    virtual void OnInitPage() {}
    // Moves values between dialog and edited objects: saving == false loads the
    // controls from the objects, true writes what the user changed. Returning
    // false from a save makes Apply fail (E_FAIL) and keeps the page dirty.
    virtual bool DoDataExchange(bool saving) { (void)saving; return true; }
    // The frame's Help button; return true when handled.
    virtual bool OnHelp(const wchar_t* helpDir) { (void)helpDir; return false; }
    // IPropertyPage2::EditProperty: focus the control of a property.
    virtual HRESULT OnEditProperty(DISPID dispid) { (void)dispid; return E_NOTIMPL; }

    // ---- Services --------------------------------------------------------------
    size_t ObjectCount() const { return objects_.size(); }
    IDispatch* Object(size_t i) const { return objects_[i].Get(); }
    // Reads a property of the first edited object by name.
    HRESULT GetPropertyByName(const wchar_t* name, CVariant& value) const;
    bool GetLongProperty(const wchar_t* name, long& value) const;
    bool GetBoolProperty(const wchar_t* name, bool& value) const;
    bool GetStringProperty(const wchar_t* name, std::wstring& value) const;
    // Writes a property of every edited object by name; the first failure is returned.
    HRESULT SetPropertyByName(const wchar_t* name, const VARIANT& value);

    // Which dialog controls the user changed since the last load or apply.
    // CBN_SELCHANGE, CBN_EDITCHANGE, BN_CLICKED and EN_CHANGE mark a control
    // changed and the page dirty (not while the page itself loads).
    bool IsControlChanged(int id) const { return changed_.count(id) != 0; }
    void SetControlChanged(int id, bool changed = true);
    void ClearChanges() { changed_.clear(); }
    bool IsDirty() const { return dirty_; }
    // Sets the dirty flag and, when set, tells the frame (which enables Apply).
    void SetDirty(bool dirty);
    // Runs a load exchange with change tracking suspended and clears the changes.
    void LoadPage();
    CModuleState& Module() const { return objectCounter_.State(); }

    // ---- IUnknown ----
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // ---- IPropertyPage / IPropertyPage2 ----
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
    STDMETHODIMP Show(UINT cmdShow) override;
    STDMETHODIMP Move(LPCRECT rect) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR helpDir) override;
    STDMETHODIMP TranslateAccelerator(MSG* msg) override;
    STDMETHODIMP EditProperty(DISPID dispid) override;

protected:
    BOOL OnInitDialog() final;
    INT_PTR DialogProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void TrackChange(WORD id, WORD code, HWND control);
    SIZE DialogSizeInPixels();

    CModuleObjectCounter objectCounter_;
    volatile LONG refs_ = 1;
    UINT titleId_;
    CComRef<IPropertyPageSite> site_;
    std::vector<CComRef<IDispatch>> objects_;
    std::set<int> changed_;
    bool dirty_ = false;
    bool loading_ = false;
};
