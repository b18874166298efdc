#include "fw_proppage.h"

#include <new>

#define FW_ENTRY() CModuleStateGuard moduleGuard_(objectCounter_.State())

namespace {

HRESULT DispIdOf(IDispatch* d, const wchar_t* name, DISPID& id) {
    LPOLESTR n = const_cast<LPOLESTR>(name);
    return d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
}

bool ClassIs(HWND hwnd, const wchar_t* className) {
    wchar_t buffer[32] = {};
    if (!GetClassNameW(hwnd, buffer, 32)) return false;
    return CompareStringOrdinal(buffer, -1, className, -1, TRUE) == CSTR_EQUAL;
}

// A dialog procedure for measuring a template: it only has to exist.
INT_PTR CALLBACK MeasureProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

}  // namespace

CPropertyPageBase::CPropertyPageBase(UINT dialogId, UINT titleId) : CDialogBase(dialogId), titleId_(titleId) {}

CPropertyPageBase::~CPropertyPageBase() {
    FW_ENTRY();
    DestroyDialog();
}

// ---- Services ----------------------------------------------------------------

HRESULT CPropertyPageBase::GetPropertyByName(const wchar_t* name, CVariant& value) const {
    value.Clear();
    if (objects_.empty()) return E_UNEXPECTED;
    IDispatch* d = objects_.front().Get();
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = DispIdOf(d, name, id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
}

bool CPropertyPageBase::GetLongProperty(const wchar_t* name, long& value) const {
    CVariant v;
    if (FAILED(GetPropertyByName(name, v)) || FAILED(v.ChangeType(VT_I4))) return false;
    value = v.lVal;
    return true;
}

bool CPropertyPageBase::GetBoolProperty(const wchar_t* name, bool& value) const {
    CVariant v;
    if (FAILED(GetPropertyByName(name, v)) || FAILED(v.ChangeType(VT_BOOL))) return false;
    value = v.boolVal != VARIANT_FALSE;
    return true;
}

bool CPropertyPageBase::GetStringProperty(const wchar_t* name, std::wstring& value) const {
    CVariant v;
    if (FAILED(GetPropertyByName(name, v)) || FAILED(v.ChangeType(VT_BSTR))) return false;
    value.assign(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
    return true;
}

HRESULT CPropertyPageBase::SetPropertyByName(const wchar_t* name, const VARIANT& value) {
    if (objects_.empty()) return E_UNEXPECTED;
    HRESULT first = S_OK;
    for (const CComRef<IDispatch>& d : objects_) {
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = DispIdOf(d.Get(), name, id);
        if (SUCCEEDED(hr)) {
            VARIANT arg = value;  // shallow: Invoke does not take ownership
            DISPID named = DISPID_PROPERTYPUT;
            DISPPARAMS params = {&arg, &named, 1, 1};
            hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                           nullptr);
        }
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
}

void CPropertyPageBase::SetControlChanged(int id, bool changed) {
    if (changed)
        changed_.insert(id);
    else
        changed_.erase(id);
}

void CPropertyPageBase::SetDirty(bool dirty) {
    dirty_ = dirty;
    if (dirty && site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);
}

void CPropertyPageBase::LoadPage() {
    loading_ = true;
    try {
        DoDataExchange(false);
    } catch (...) {
        // A failing load leaves the controls as they are; the page stays usable.
    }
    loading_ = false;
    ClearChanges();
}

void CPropertyPageBase::TrackChange(WORD id, WORD code, HWND control) {
    if (loading_ || !control) return;  // no control: a menu or accelerator command
    bool userChange = false;
    if (ClassIs(control, L"Button"))
        userChange = code == BN_CLICKED;
    else if (ClassIs(control, L"ComboBox"))
        userChange = code == CBN_SELCHANGE || code == CBN_EDITCHANGE;
    else if (ClassIs(control, L"Edit"))
        userChange = code == EN_CHANGE;
    if (!userChange) return;
    SetControlChanged(id);
    SetDirty(true);
}

BOOL CPropertyPageBase::OnInitDialog() {
    loading_ = true;
    try {
        OnInitPage();
    } catch (...) {
    }
    loading_ = false;
    LoadPage();
    return FALSE;  // the frame decides where the focus goes
}

INT_PTR CPropertyPageBase::DialogProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND) TrackChange(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
    return CDialogBase::DialogProc(msg, wParam, lParam);
}

SIZE CPropertyPageBase::DialogSizeInPixels() {
    // Dialog units depend on the template's font: let the dialog manager lay the
    // template out once, hidden, under a throw-away parent (a child template
    // needs one), and measure the result.
    SIZE size = {0, 0};
    HINSTANCE resources = Module().ResourceHandle();
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, resources, nullptr);
    if (!parent) return size;
    HWND dialog = CreateDialogParamW(resources, MAKEINTRESOURCEW(TemplateId()), parent, MeasureProc, 0);
    if (dialog) {
        RECT rc;
        GetWindowRect(dialog, &rc);
        size.cx = rc.right - rc.left;
        size.cy = rc.bottom - rc.top;
        DestroyWindow(dialog);
    }
    DestroyWindow(parent);
    return size;
}

// ---- IUnknown ------------------------------------------------------------------

STDMETHODIMP CPropertyPageBase::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPage) ||
        IsEqualIID(riid, IID_IPropertyPage2)) {
        *ppv = static_cast<IPropertyPage2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CPropertyPageBase::AddRef() { return ULONG(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) CPropertyPageBase::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) {
        refs_ = 1;
        delete this;
    }
    return ULONG(n);
}

// ---- IPropertyPage2 ------------------------------------------------------------

STDMETHODIMP CPropertyPageBase::SetPageSite(IPropertyPageSite* site) {
    site_ = CComRef<IPropertyPageSite>(site);
    return S_OK;
}

// Every entry point the frame calls runs through CallAtBorder: the frame is
// another module's C code and must get a result code, never an exception.

STDMETHODIMP CPropertyPageBase::Activate(HWND parent, LPCRECT rect, BOOL) {
    FW_ENTRY();
    if (Hwnd()) return E_UNEXPECTED;
    return CallAtBorder([&] {
        if (!CreateModeless(parent)) return E_FAIL;
        if (rect) Move(rect);
        return S_OK;
    });
}

STDMETHODIMP CPropertyPageBase::Deactivate() {
    FW_ENTRY();
    return CallAtBorder([&] {
        DestroyDialog();
        return S_OK;
    });
}

STDMETHODIMP CPropertyPageBase::GetPageInfo(PROPPAGEINFO* info) {
    FW_ENTRY();
    if (!info) return E_POINTER;
    return CallAtBorder([&] {
        std::wstring title = LoadModuleString(titleId_);
        info->cb = sizeof(PROPPAGEINFO);
        info->pszTitle = CCoTaskString::Duplicate(title.data(), title.size());
        if (!info->pszTitle) return E_OUTOFMEMORY;
        info->size = DialogSizeInPixels();
        info->pszDocString = nullptr;
        info->pszHelpFile = nullptr;
        info->dwHelpContext = 0;
        return S_OK;
    });
}

STDMETHODIMP CPropertyPageBase::SetObjects(ULONG count, IUnknown** objects) {
    FW_ENTRY();
    if (count && !objects) return E_POINTER;
    return CallAtBorder([&] {
        std::vector<CComRef<IDispatch>> dispatches;
        for (ULONG i = 0; i < count; ++i) {
            CComRef<IDispatch> d;
            if (!objects[i] || FAILED(objects[i]->QueryInterface(IID_IDispatch, d.PutVoid()))) return E_NOINTERFACE;
            dispatches.push_back(std::move(d));
        }
        objects_ = std::move(dispatches);
        // A frame that changes the selection while the page shows reloads it.
        if (Hwnd() && !objects_.empty()) LoadPage();
        return S_OK;
    });
}

STDMETHODIMP CPropertyPageBase::Show(UINT cmdShow) {
    if (!Hwnd()) return E_UNEXPECTED;
    ShowWindow(Hwnd(), int(cmdShow));
    return S_OK;
}

STDMETHODIMP CPropertyPageBase::Move(LPCRECT rect) {
    if (!rect) return E_POINTER;
    if (!Hwnd()) return E_UNEXPECTED;
    MoveWindow(Hwnd(), rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
    return S_OK;
}

STDMETHODIMP CPropertyPageBase::IsPageDirty() { return dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP CPropertyPageBase::Apply() {
    FW_ENTRY();
    if (!Hwnd() || objects_.empty()) return S_OK;  // nothing shown, nothing to write
    return CallAtBorder([&] {
        if (!DoDataExchange(true)) return E_FAIL;
        ClearChanges();
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP CPropertyPageBase::Help(LPCOLESTR helpDir) {
    FW_ENTRY();
    return CallAtBorder([&] { return OnHelp(helpDir) ? S_OK : E_NOTIMPL; });
}

STDMETHODIMP CPropertyPageBase::TranslateAccelerator(MSG* msg) {
    if (!msg) return E_POINTER;
    if (Hwnd() && IsDialogMessageW(Hwnd(), msg)) return S_OK;
    return S_FALSE;
}

STDMETHODIMP CPropertyPageBase::EditProperty(DISPID dispid) {
    FW_ENTRY();
    return CallAtBorder([&] { return OnEditProperty(dispid); });
}
