#include "host_object.h"

#include "common/com_raii.h"
#include "script_host.h"
#include "script_text.h"

namespace {

enum : DISPID {
    DISPID_HOST_ECHO = 1,
    DISPID_HOST_SLEEP,
    DISPID_HOST_QUIT,
    DISPID_HOST_ARG,
    DISPID_HOST_ARGCOUNT,
    DISPID_HOST_CREATECONTROL,
};

struct CMember {
    const wchar_t* name;
    DISPID id;
};

const CMember kMembers[] = {
    {L"Echo", DISPID_HOST_ECHO},           {L"Sleep", DISPID_HOST_SLEEP},
    {L"Quit", DISPID_HOST_QUIT},           {L"Arg", DISPID_HOST_ARG},
    {L"ArgCount", DISPID_HOST_ARGCOUNT},   {L"CreateControl", DISPID_HOST_CREATECONTROL},
};

// Argument i in call order (DISPPARAMS keeps them last to first).
const VARIANT& Argument(const DISPPARAMS& params, UINT i)
{
    return params.rgvarg[params.cArgs - 1 - i];
}

HRESULT ArgumentAs(const DISPPARAMS& params, UINT i, VARTYPE type, CVariant& out, UINT* argError)
{
    HRESULT hr = out.CopyAs(Argument(params, i), type);
    if (FAILED(hr) && argError) *argError = params.cArgs - 1 - i;
    return hr == DISP_E_OVERFLOW ? hr : FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

}  // namespace

STDMETHODIMP CHostObject::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CHostObject::Release()
{
    const LONG left = InterlockedDecrement(&refs);
    if (left == 0) delete this;
    return ULONG(left);
}

STDMETHODIMP CHostObject::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP CHostObject::GetTypeInfo(UINT, LCID, ITypeInfo** info)
{
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CHostObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (const CMember& m : kMembers) {
        if (names[0] && lstrcmpiW(names[0], m.name) == 0) {
            ids[0] = m.id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;  // no named arguments
        }
    }
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP CHostObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 EXCEPINFO*, UINT* argError)
{
    if (!params) return E_INVALIDARG;
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
    // Once the script is ending every call fails, so that the script unwinds at once.
    if (host.Stopping()) return E_ABORT;
    if (result) VariantInit(result);
    const UINT argc = params->cArgs;
    CVariant value;
    HRESULT hr = S_OK;
    switch (id) {
    case DISPID_HOST_ECHO:
        return DoEcho(*params);
    case DISPID_HOST_SLEEP:
        if (argc != 1) return DISP_E_BADPARAMCOUNT;
        if (FAILED(hr = ArgumentAs(*params, 0, VT_I4, value, argError))) return hr;
        return host.Sleep(V_I4(&value) < 0 ? 0 : DWORD(V_I4(&value)));
    case DISPID_HOST_QUIT:
        if (argc > 1) return DISP_E_BADPARAMCOUNT;
        if (argc == 1 && FAILED(hr = ArgumentAs(*params, 0, VT_I4, value, argError))) return hr;
        return host.Quit(argc == 1 ? int(V_I4(&value)) : 0);
    case DISPID_HOST_ARG: {
        if (argc != 1) return DISP_E_BADPARAMCOUNT;
        if (FAILED(hr = ArgumentAs(*params, 0, VT_I4, value, argError))) return hr;
        const auto& args = host.Arguments();
        const LONG i = V_I4(&value);
        const wchar_t* text = (i >= 0 && size_t(i) < args.size()) ? args[size_t(i)].c_str() : L"";
        if (result) CVariant(text).Detach(result);
        return S_OK;
    }
    case DISPID_HOST_ARGCOUNT:
        if (argc != 0) return DISP_E_BADPARAMCOUNT;
        if (result) CVariant(long(host.Arguments().size())).Detach(result);
        return S_OK;
    case DISPID_HOST_CREATECONTROL:
        return DoCreateControl(*params, result, argError);
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT CHostObject::DoEcho(const DISPPARAMS& params)
{
    std::wstring line;
    for (UINT i = 0; i < params.cArgs; ++i) {
        std::wstring text;
        if (!VariantToText(Argument(params, i), text)) return DISP_E_TYPEMISMATCH;
        if (i) line += L' ';
        line += text;
    }
    host.Echo(line);
    return S_OK;
}

HRESULT CHostObject::DoCreateControl(const DISPPARAMS& params, VARIANT* result, UINT* argError)
{
    if (params.cArgs != 2) return DISP_E_BADPARAMCOUNT;
    CVariant progId, name;
    HRESULT hr = ArgumentAs(params, 0, VT_BSTR, progId, argError);
    if (SUCCEEDED(hr)) hr = ArgumentAs(params, 1, VT_BSTR, name, argError);
    if (FAILED(hr)) return hr;
    CVariant control;
    hr = host.CreateControl(V_BSTR(&progId) ? V_BSTR(&progId) : L"", V_BSTR(&name) ? V_BSTR(&name) : L"",
                            control.Put());
    if (SUCCEEDED(hr) && result) control.Detach(result);
    return hr;
}
