#include "fw_test_env.h"

namespace {

class COleEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        FrameworkModuleInit(GetModuleHandleW(nullptr));
        ole_ = new COleInitGuard;
        ASSERT_TRUE(SUCCEEDED(ole_->Result()));
    }
    void TearDown() override {
        // Every control and page a test created has been released.
        EXPECT_EQ(0, FrameworkModuleState().ObjectCount());
        delete ole_;
        FrameworkModuleTerm();
    }

private:
    COleInitGuard* ole_ = nullptr;
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new COleEnvironment);

}  // namespace

HRESULT PutProperty(IDispatch* d, DISPID id, const VARIANT& value, bool namedArg) {
    VARIANT arg = value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS p = {&arg, namedArg ? &named : nullptr, 1, namedArg ? 1u : 0u};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
}

HRESULT GetProperty(IDispatch* d, DISPID id, CVariant& out, WORD flags) {
    DISPPARAMS p = {nullptr, nullptr, 0, 0};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, out.Put(), nullptr, nullptr);
}

HRESULT CallMethod(IDispatch* d, DISPID id, std::vector<CVariant> args, CVariant& result, EXCEPINFO* info,
                   UINT* argErr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS p = {reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &p, result.Put(), info, argErr);
}
