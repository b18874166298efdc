// What every test program that creates the control needs once before its first test: OLE,
// the framework's module state and the version text. Including this header registers it; the
// inline variable keeps it to one registration per program.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>

#include "control/version_text.h"
#include "framework/fw_module.h"

struct CControlTestEnvironment : ::testing::Environment {
    void SetUp() override
    {
        OleInitialize(nullptr);
        FrameworkModuleInit(GetModuleHandleW(nullptr));
        BuildModuleVersionText(GetModuleHandleW(nullptr));
    }
};
inline const auto* const g_controlTestEnvironment = ::testing::AddGlobalTestEnvironment(new CControlTestEnvironment);
