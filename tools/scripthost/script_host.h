// A small Windows Script host: runs one VBScript or JScript file in the engine of its
// language, gives the script a named item "Host" (see host_object.h), and lets it create
// ActiveX controls whose events it connects to the script's handlers itself.
//
// Wine's own script hosts cannot bind control events; the engines do not do it for VBScript
// either. This host therefore advises each control's event connection point with a sink of
// its own (event_sink.h), which calls the script's "<item>_<Event>" procedure by name.
//
// Exit code: the code given to Host.Quit; 1 after a script error (also one raised inside an
// event handler); 0 when the script ends by itself. Host.Quit ends the script by making every
// further host call fail, so a JScript catch block cannot keep it running.
#pragma once
#include <windows.h>
#include <activscp.h>

#include <string>
#include <vector>

#include "common/com_raii.h"
#include "script_text.h"

class CHostObject;

class CScriptHost final : public IActiveScriptSite {
public:
    explicit CScriptHost(std::vector<std::wstring> arguments);
    ~CScriptHost();
    CScriptHost(const CScriptHost&) = delete;
    CScriptHost& operator=(const CScriptHost&) = delete;

    // Runs the script text in the given language on this (single-threaded apartment) thread;
    // returns the exit code.
    int Run(ScriptLanguage language, const std::wstring& code);

    // ---- Services for Host and the event sinks ----------------------------------------
    // Prints one line on standard output, flushed.
    void Echo(const std::wstring& line);
    // Waits while pumping window messages, so that controls deliver their events.
    HRESULT Sleep(DWORD milliseconds);
    // Ends the script with an exit code (the first one given wins).
    HRESULT Quit(int code);
    const std::vector<std::wstring>& Arguments() const { return arguments; }
    // Creates a control by ProgID, adds it to the script as a named item and connects its
    // events; result receives its IDispatch.
    HRESULT CreateControl(const std::wstring& progId, const std::wstring& itemName, VARIANT* result);
    // Calls the script's procedure `procedure` (an event handler) if the script defines it.
    HRESULT CallHandler(const std::wstring& procedure, DISPPARAMS* params);
    // True once the script is ending: host calls then fail with E_ABORT.
    bool Stopping() const { return stopping; }

    // ---- IUnknown (the host lives on the stack of its caller: no counting) -------------
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // ---- IActiveScriptSite --------------------------------------------------------------
    STDMETHODIMP GetLCID(LCID* lcid) override;
    STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD returnMask, IUnknown** item, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetDocVersionString(BSTR* version) override;
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError* error) override;
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

private:
    struct CNamedItem {
        std::wstring name;
        CComRef<IUnknown> object;
        CComRef<IConnectionPoint> events;  // null when the object has no events connected
        DWORD cookie = 0;
    };

    // Creates the engine, sites it, and makes it ready to run code with Host visible.
    HRESULT StartEngine(ScriptLanguage language, CComRef<IActiveScriptParse>& parse);
    const CNamedItem* FindItem(const wchar_t* name) const;
    // Records a failure that ends the script with exit code 1 (the first reason wins).
    void Fail(const std::wstring& message);
    void DisconnectItems();

    std::vector<std::wstring> arguments;
    std::vector<CNamedItem> items;
    CComRef<IActiveScript> engine;
    CHostObject* host = nullptr;  // owned reference
    bool stopping = false;
    int exitCode = 0;
};
