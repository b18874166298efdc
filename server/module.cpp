// The module: start-up and shut-down, the two class factories and the four exports.
#include <windows.h>
#include <olectl.h>

#include "common/tarvel_ids.h"
#include "control/tarvel_ctrl.h"
#include "control/tarvel_proppage.h"
#include "control/version_text.h"
#include "framework/fw_module.h"
#include "res/resource_ids.h"
#include "server/class_registration.h"
#include "server/class_table.h"
#include "server/registration.h"

namespace {

class CTarvelCtrlFactory : public CClassFactory<CTarvelCtrl> {
public:
    CTarvelCtrlFactory() : CClassFactory<CTarvelCtrl>(CLSID_Tarvel) {}
    HRESULT UpdateRegistry(bool registering) override
    {
        if (!registering) {
            UnregisterControlClass(kTarvelControlClass.clsid, kTarvelControlClass.progId);
            return S_OK;
        }
        return RegisterControlClass(Module().Instance(), kTarvelControlClass) ? S_OK : SELFREG_E_CLASS;
    }
};

class CTarvelPropPageFactory : public CClassFactory<CTarvelPropPage> {
public:
    CTarvelPropPageFactory() : CClassFactory<CTarvelPropPage>(CLSID_TarvelPropPage) {}
    HRESULT UpdateRegistry(bool registering) override
    {
        if (!registering) {
            UnregisterPropertyPageClass(kTarvelPageClass.clsid);
            return S_OK;
        }
        return RegisterPropertyPageClass(Module().Instance(), kTarvelPageClass.clsid, kTarvelPageClass.typeNameId)
                   ? S_OK
                   : SELFREG_E_CLASS;
    }
};

// Static objects, constructed at load in this order: each factory enters the module's list.
CTarvelCtrlFactory g_ctrlFactory;
CTarvelPropPageFactory g_pageFactory;

RegistrationHooks ModuleHooks()
{
    return RegistrationHooks{[](bool registering) { return SUCCEEDED(FrameworkUpdateRegistry(registering)); }};
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        DisableThreadLibraryCalls(instance);
        FrameworkModuleInit(instance);
        CModuleStateGuard guard(FrameworkModuleState());
        CSerialPort::SetResourceModule(instance);
        // Out of memory this early leaves the version text empty; the module still loads.
        CallAtBorder([instance] {
            BuildModuleVersionText(instance);
            return S_OK;
        });
        break;
    }
    case DLL_PROCESS_DETACH:
        FrameworkModuleTerm();
        break;
    default:
        break;
    }
    return TRUE;
}

// The exports are called by C code (COM, regsvr32, installers): each body runs through
// CallAtBorder so that no exception reaches the caller.

STDAPI DllCanUnloadNow()
{
    return CallAtBorder([] { return FrameworkDllCanUnloadNow(); });
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (ppv) *ppv = nullptr;
    return CallAtBorder([&] { return FrameworkDllGetClassObject(clsid, riid, ppv); });
}

STDAPI DllRegisterServer()
{
    CModuleStateGuard guard(FrameworkModuleState());
    return CallAtBorder([] { return RegisterModule(FrameworkModuleState().Instance(), ModuleHooks()); });
}

STDAPI DllUnregisterServer()
{
    CModuleStateGuard guard(FrameworkModuleState());
    return CallAtBorder([] {
        RemoveRegistration(ModuleHooks());
        return S_OK;
    });
}
