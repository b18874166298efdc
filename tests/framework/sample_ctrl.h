// A small control built on the framework for its tests: a few properties of
// different types, two read-only ones, methods, one event, persistence and a
// plain drawing. Nothing in it is specific to any real product.
#pragma once
#include <string>

#include "fw_olecontrol.h"
#include "sample_ids.h"

extern const CLSID CLSID_SampleCtrl;
extern const CLSID CLSID_SamplePage;
extern const IID DIID_SampleDispatch;
extern const IID DIID_SampleEvents;

constexpr DISPID DISPID_SAMPLE_SPEED = 1;
constexpr DISPID DISPID_SAMPLE_ENABLED = 2;
constexpr DISPID DISPID_SAMPLE_SMALL = 3;
constexpr DISPID DISPID_SAMPLE_LABEL = 4;
constexpr DISPID DISPID_SAMPLE_NAME = 5;     // read-only, writes ignored
constexpr DISPID DISPID_SAMPLE_SECRET = 6;   // read-only, writes rejected
constexpr DISPID DISPID_SAMPLE_ANY = 7;      // VARIANT property
constexpr DISPID DISPID_SAMPLE_PING = 40;    // Ping(data): fires Pinged(7, data), returns sinks reached
constexpr DISPID DISPID_SAMPLE_ADD = 41;     // Add(a, b [, c]) -> a + b + c
constexpr DISPID DISPID_SAMPLE_FAIL = 42;    // raises an automation exception on purpose
constexpr DISPID DISPID_SAMPLE_THROW = 43;   // a handler that throws a C++ exception
constexpr DISPID DISPID_SAMPLE_EVENT_PINGED = 1;

constexpr DWORD kSampleVersion = 0x00020003;
constexpr COLORREF kSampleFill = RGB(10, 200, 30);
// Extents above this (HIMETRIC) are refused by OnSetExtent.
constexpr LONG kSampleMaxExtent = 100000;

class CSampleCtrl : public COleControl {
public:
    CSampleCtrl();

    long GetSpeed() const { return speed_; }
    void SetSpeed(long v);
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool v) { enabled_ = v; SetModifiedFlag(); }
    short GetSmall() const { return small_; }
    void SetSmall(short v) { small_ = v; }
    CBstr GetLabel() const { return CBstr(label_.c_str()); }
    void SetLabel(const wchar_t* v) { label_ = v; SetModifiedFlag(); }
    CBstr GetName() const { return CBstr(L"sample"); }
    long GetSecret() const { return 42; }
    CVariant GetAny() const { return any_; }
    void SetAny(const VARIANT& v) { any_ = CVariant(v); }

    HRESULT Ping(CDispCall& call);
    HRESULT Add(CDispCall& call);
    HRESULT Fail(CDispCall& call);
    HRESULT Throw(CDispCall& call);

    // What the tests look at.
    int doubleClicks = 0;
    int clientSiteChanges = 0;
    int ambientChanges = 0;
    DWORD lastExchangeVersion = 0;
    bool drewMetafile = false;
    CModuleState* moduleInCallback = nullptr;

    // A library for the type-information tests; none (not registered) by default.
    static ITypeLib* typeLibrary;
    HRESULT GetTypeLib(LCID lcid, ITypeLib** lib) override;

    const DispatchEntry* GetDispatchMap() const override;
    void DoPropExchange(CPropExchange* px) override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    void OnDrawMetafile(HDC dc, const RECT& bounds) override;
    BOOL OnSetExtent(const SIZEL* size) override;
    void OnSetClientSite() override {
        ++clientSiteChanges;
        moduleInCallback = &CurrentModuleState();
    }
    void OnAmbientChanged(DISPID) override { ++ambientChanges; }
    const CLSID& GetClassID() const override { return CLSID_SampleCtrl; }
    UINT GetUserTypeNameID() override { return IDS_SAMPLE_TYPE; }
    const CLSID* GetPropPageIDs(ULONG& count) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    long speed_ = 1;  // construction default; the reset default is 9600
    bool enabled_ = false;
    short small_ = 0;
    std::wstring label_ = L"new";
    CVariant any_;
};
