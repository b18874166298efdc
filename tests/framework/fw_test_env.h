// Shared set-up of the framework tests: OLE initialised once for the program,
// the exe registered as the framework's module, and small dispatch helpers.
#pragma once
#include <gtest/gtest.h>

#include "fw_module.h"
#include "sample_ctrl.h"
#include "test_com.h"

// Creates a sample control through its own construction (one reference).
struct CSampleHolder {
    CSampleHolder() : ctrl(new CSampleCtrl) { unknown = CComRef<IUnknown>::Adopt(static_cast<IDispatch*>(ctrl)); }
    template <class I>
    CComRef<I> As(REFIID iid) const {
        CComRef<I> out;
        EXPECT_EQ(S_OK, unknown->QueryInterface(iid, out.PutVoid()));
        return out;
    }
    CSampleCtrl* ctrl;
    CComRef<IUnknown> unknown;
};

HRESULT PutProperty(IDispatch* d, DISPID id, const VARIANT& value, bool namedArg = true);
HRESULT GetProperty(IDispatch* d, DISPID id, CVariant& out, WORD flags = DISPATCH_PROPERTYGET);
HRESULT CallMethod(IDispatch* d, DISPID id, std::vector<CVariant> args, CVariant& result,
                   EXCEPINFO* info = nullptr, UINT* argErr = nullptr);
