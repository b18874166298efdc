// Both real modules registered in this 64-bit prefix, as on a 64-bit Windows that runs
// 32-bit and 64-bit hosts: the x86 Tarvel.ocx of the sibling x86 build and this build's x64
// one, each registered with regsvr32, each used by a host of its own architecture
// (tarvel_progid_host: ProgID, type information, events bound through class information,
// CommEvent). Built into the x64 acceptance tests only.
#include "tests/acceptance/acceptance_support.h"

#include <cstdlib>

namespace {

struct CArchitecture {
    const char* name;
    std::string module;  // Unix paths of the build
    std::string host;
};

bool Exists(const std::string& unixPath)
{
    return GetFileAttributesW(WindowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

class SideBySide : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* no32 = getenv("TARVEL_NO_32BIT");
        if (!TARVEL_X86_RUNS || (no32 && std::string(no32) == "1"))
            GTEST_SKIP() << "this machine cannot run 32-bit Windows programs";
        for (const CArchitecture* a : {&x86, &x64}) {
            ASSERT_TRUE(Exists(a->module)) << a->module << ": build the " << a->name << " tree first";
            ASSERT_TRUE(Exists(a->host)) << a->host << ": build the " << a->name << " tree first";
        }
        ASSERT_TRUE(pair.Lease()) << "no virtual port pair";
        ran = true;
    }
    void TearDown() override
    {
        if (!ran) return;
        // The other tests of this prefix expect the x64 module alone.
        Regsvr32(x86, false);
        RegisterModuleWithRegsvr32();
    }

    static DWORD Regsvr32(const CArchitecture& a, bool registering)
    {
        const CChildResult r =
            RunChild(std::wstring(L"regsvr32.exe /s ") + (registering ? L"" : L"/u ") + L"\"" +
                         WindowsPath(a.module) + L"\"",
                     60000);
        return r.started && r.finished ? r.exitCode : DWORD(-1);
    }

    // Runs the architecture's host on the leased pair's first end; its report on failure.
    ::testing::AssertionResult HostWorks(const CArchitecture& a)
    {
        const CChildResult r =
            RunChild(L"\"" + WindowsPath(a.host) + L"\" " + std::to_wstring(pair.PortA()), 60000);
        if (r.started && r.finished && r.exitCode == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << a.name << " host: exit " << r.exitCode << ": " << r.output;
    }

    CArchitecture x86{"x86", TARVEL_X86_BUILD_DIR "/server/Tarvel.ocx",
                      TARVEL_X86_BUILD_DIR "/tests/acceptance/tarvel_progid_host.exe"};
    CArchitecture x64{"x64", TARVEL_OCX_PATH, TARVEL_PROGID_HOST_PATH};
    CNullModemPair pair;
    bool ran = false;
};

TEST_F(SideBySide, BothHostsWorkWhicheverModuleIsRegisteredFirst)
{
    for (const auto& order : {std::make_pair(&x86, &x64), std::make_pair(&x64, &x86)}) {
        SCOPED_TRACE(std::string(order.first->name) + " registered first");
        Regsvr32(x86, false);
        Regsvr32(x64, false);
        ASSERT_EQ(Regsvr32(*order.first, true), 0u);
        ASSERT_EQ(Regsvr32(*order.second, true), 0u);
        EXPECT_TRUE(HostWorks(x86));
        EXPECT_TRUE(HostWorks(x64));
    }
}

TEST_F(SideBySide, UnregisteringOneModuleLeavesTheOtherWorking)
{
    for (const auto& which : {std::make_pair(&x86, &x64), std::make_pair(&x64, &x86)}) {
        const CArchitecture& gone = *which.first;
        const CArchitecture& stays = *which.second;
        SCOPED_TRACE(std::string(gone.name) + " unregistered");
        ASSERT_EQ(Regsvr32(x86, true), 0u);
        ASSERT_EQ(Regsvr32(x64, true), 0u);
        ASSERT_EQ(Regsvr32(gone, false), 0u);
        EXPECT_TRUE(HostWorks(stays));
    }
}

}  // namespace
